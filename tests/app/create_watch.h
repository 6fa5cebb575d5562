// Watches what the program creates through NtCreateFile, and with which security descriptor: the
// file system under test does not keep access lists, so they are read where the program passes
// them. One watch at a time, on the test's own thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>
#include <winternl.h>

#include "rt/security.h"

// The import slot of NtCreateFile in the test program.
#if defined(_WIN64)
extern "C" void* ntcreatefile_slot __asm__("__imp_NtCreateFile");
#else
extern "C" void* ntcreatefile_slot __asm__("__imp__NtCreateFile@44");
#endif

namespace create_watch {

struct Made {
    std::wstring name;      // as passed: relative to the folder handle it was made in
    bool directory;
    bool descriptor;        // a descriptor was passed
    bool admin_only;        // descriptor_is_admin_only: protected, admin-only writes, owned by admins
    bool users_read;        // an entry lets the Users group read
};

typedef NTSTATUS(NTAPI* NtCreateFileCall)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

inline NtCreateFileCall& original()
{
    static NtCreateFileCall call;
    return call;
}

inline std::vector<Made>*& made_list()
{
    static std::vector<Made>* list;
    return list;
}

inline bool users_may_read(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE, defaulted = FALSE;
    ACL* acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl) {
        return false;
    }
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (GetAce(acl, i, (void**)&entry) && IsWellKnownSid(&entry->SidStart, WinBuiltinUsersSid) &&
            (entry->Mask & FILE_READ_DATA)) {
            return true;
        }
    }
    return false;
}

inline NTSTATUS NTAPI watching(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                               PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                               PVOID ea, ULONG ea_length)
{
    if (disposition == FILE_CREATE && made_list() && object->ObjectName) {
        PSECURITY_DESCRIPTOR descriptor = object->SecurityDescriptor;
        made_list()->push_back({std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t)),
                                (options & FILE_DIRECTORY_FILE) != 0, descriptor != nullptr,
                                descriptor && descriptor_is_admin_only(descriptor),
                                descriptor && users_may_read(descriptor)});
    }
    return original()(handle, access, object, status, size, attributes, share, disposition, options, ea, ea_length);
}

inline void swap_slot(void* value)
{
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(&ntcreatefile_slot, sizeof(void*), PAGE_READWRITE, &old));
    ntcreatefile_slot = value;
    VirtualProtect(&ntcreatefile_slot, sizeof(void*), old, &old);
}

// Records every object created while it lives.
struct Watch {
    std::vector<Made> made;
    Watch()
    {
        original() = (NtCreateFileCall)ntcreatefile_slot;
        made_list() = &made;
        swap_slot((void*)watching);
    }
    ~Watch()
    {
        swap_slot((void*)original());
        made_list() = nullptr;
    }
};

} // namespace create_watch
