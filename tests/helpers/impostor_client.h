// Runs tests/helpers/impostor.exe from a unit test: started with its arguments, ready once it
// wrote its ready file, stopped through a named event when the test is done with it.
#pragma once

#include <windows.h>

#include <string>

namespace impostor {

// The helper of this build as a Windows path; empty when QWI_BUILD_DIR is not set or it is not built.
inline std::wstring program()
{
    wchar_t build[1024];
    DWORD n = GetEnvironmentVariableW(L"QWI_BUILD_DIR", build, 1024);
    if (n == 0 || n >= 1024) {
        return L"";
    }
    std::wstring path = L"Z:" + std::wstring(build, n) + L"/tests/helpers/impostor.exe";
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? L"" : path;
}

// One running impostor; stopped (and waited for) when it goes out of scope.
class Running {
public:
    // Starts the helper with arguments (see impostor.cpp) and waits up to 20 s until everything
    // asked for holds. ok() tells whether it did; error() why not.
    explicit Running(const std::wstring& arguments)
    {
        std::wstring exe = program();
        if (exe.empty()) {
            error_ = "impostor.exe not found (QWI_BUILD_DIR)";
            return;
        }
        static int serial = 0;
        std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        std::wstring event_name = L"Local\\qwi-impostor-stop-" + tag;
        // Open to everyone: an impostor started without elevation must be able to wait on it.
        SECURITY_DESCRIPTOR open_to_all;
        InitializeSecurityDescriptor(&open_to_all, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&open_to_all, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, &open_to_all, FALSE};
        stop_ = CreateEventW(&attributes, TRUE, FALSE, event_name.c_str());
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        ready_ = std::wstring(temp) + L"qwi-impostor-ready-" + tag + L".txt";
        DeleteFileW(ready_.c_str());
        std::wstring command = L"\"" + exe + L"\" " + arguments + L" --stop-event " + event_name + L" --ready \"" +
                               ready_ + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (!stop_ || !CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                      &startup, &started)) {
            error_ = "the impostor did not start: " + std::to_string(GetLastError());
            return;
        }
        CloseHandle(started.hThread);
        process_ = started.hProcess;
        for (int waited = 0; waited < 20000; waited += 20) {
            if (GetFileAttributesW(ready_.c_str()) != INVALID_FILE_ATTRIBUTES) {
                Sleep(50); // the file is written and closed right after it is made
                ok_ = true;
                return;
            }
            if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(process_, &code);
                error_ = "the impostor ended before it was ready: exit code " + std::to_string(code);
                return;
            }
        }
        error_ = "the impostor was not ready within 20 s";
    }

    ~Running()
    {
        if (stop_) {
            SetEvent(stop_);
        }
        if (process_) {
            if (WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0) {
                TerminateProcess(process_, 1);
            }
            CloseHandle(process_);
        }
        if (stop_) {
            CloseHandle(stop_);
        }
        if (!ready_.empty()) {
            DeleteFileW(ready_.c_str());
        }
    }

    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    HANDLE process_ = nullptr;
    HANDLE stop_ = nullptr;
    std::wstring ready_;
    bool ok_ = false;
    std::string error_;
};

}  // namespace impostor
