// Environment blocks for the programs the installer starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "rt/environment.h"
#include "rt/heap.h"

namespace {

std::wstring block_of(const std::vector<std::wstring>& entries)
{
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

std::vector<std::wstring> entries_of(const wchar_t* block)
{
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
        entries.push_back(entry);
    }
    return entries;
}

} // namespace

TEST(EnvironmentBlockEdit, DropsByNameOrPrefixAndSetsInPlace)
{
    const char* dropped[] = {"COR_ENABLE_PROFILING", "COR_PROFILER*", "DOTNET_*"};
    const char* set[] = {"TMP=C:\\Windows\\Temp\\run\\temp", "TEMP=C:\\Windows\\Temp\\run\\temp",
                         "NEW=\xD0\x9F\xD1\x83\xD1\x82\xD1\x8C"}; // "Путь"
    const struct {
        const char* what;
        std::vector<std::wstring> source;
        std::vector<std::wstring> expected;
    } cases[] = {
        {"nothing to drop: order kept, settings replace in place or are appended",
         {L"=C:=C:\\Users", L"PATH=C:\\Windows", L"tmp=C:\\Users\\u\\Temp", L"USERNAME=u"},
         {L"=C:=C:\\Users", L"PATH=C:\\Windows", L"TMP=C:\\Windows\\Temp\\run\\temp", L"USERNAME=u",
          L"TEMP=C:\\Windows\\Temp\\run\\temp", L"NEW=\x041F\x0443\x0442\x044C"}},
        {"names compare without case; a prefix drops every name it begins",
         {L"cor_enable_profiling=1", L"COR_PROFILER={guid}", L"Cor_Profiler_Path_64=C:\\evil.dll",
          L"DOTNET_STARTUP_HOOKS=C:\\evil.dll", L"dotnet_root=C:\\evil", L"KEEP=1"},
         {L"KEEP=1", L"TMP=C:\\Windows\\Temp\\run\\temp", L"TEMP=C:\\Windows\\Temp\\run\\temp",
          L"NEW=\x041F\x0443\x0442\x044C"}},
        {"near names stay: an exact name is no prefix, a prefix needs its whole text",
         {L"COR_ENABLE_PROFILING_X=1", L"COR_PROFILE=1", L"DOTNET=1", L"XDOTNET_A=1"},
         {L"COR_ENABLE_PROFILING_X=1", L"COR_PROFILE=1", L"DOTNET=1", L"XDOTNET_A=1",
          L"TMP=C:\\Windows\\Temp\\run\\temp", L"TEMP=C:\\Windows\\Temp\\run\\temp", L"NEW=\x041F\x0443\x0442\x044C"}},
        {"a name twice: the setting stands once, where the first stood",
         {L"TEMP=a", L"A=1", L"Temp=b"},
         {L"TEMP=C:\\Windows\\Temp\\run\\temp", L"A=1", L"TMP=C:\\Windows\\Temp\\run\\temp",
          L"NEW=\x041F\x0443\x0442\x044C"}},
        {"an empty environment gets the settings only",
         {},
         {L"TMP=C:\\Windows\\Temp\\run\\temp", L"TEMP=C:\\Windows\\Temp\\run\\temp", L"NEW=\x041F\x0443\x0442\x044C"}},
    };
    for (const auto& c : cases) {
        std::wstring source = block_of(c.source);
        wchar_t* edited = environment_block_edit(source.c_str(), dropped, 3, set, 3);
        ASSERT_NE(edited, nullptr) << c.what;
        EXPECT_EQ(entries_of(edited), c.expected) << c.what;
        heap_free(edited);
    }
}

TEST(EnvironmentBlockEdit, RefusesTooManySettingsAndBrokenText)
{
    const std::wstring source = block_of({L"A=1"});
    const char* many[ENVIRONMENT_MAX_SET + 1] = {};
    for (const char*& setting : many) {
        setting = "X=1";
    }
    EXPECT_EQ(environment_block_edit(source.c_str(), nullptr, 0, many, ENVIRONMENT_MAX_SET + 1), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    const char* broken[] = {"TMP=\xC3"}; // a cut UTF-8 sequence
    EXPECT_EQ(environment_block_edit(source.c_str(), nullptr, 0, broken, 1), nullptr);
}
