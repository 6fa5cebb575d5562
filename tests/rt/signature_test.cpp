// The signer check on stand-ins of the setup program that tests/signing/make_signed.sh signed at
// build time; the test prefix trusts its authority (tests/wine/setup.sh), nothing else does.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

#include <string>

#include "rt/signature.h"
#include "tests/rt/rt_test_support.h"

namespace {

using rt_test::signing_file;
using rt_test::widen;

// Opened as the run's lock holds the setup file: read access, others may only read.
HANDLE open_shared_read(const std::string& path)
{
    return CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string publisher()
{
    std::string name;
    return rt_test::read_file(signing_file("publisher.txt"), &name) ? name : std::string();
}

struct Verdict {
    int result;
    DWORD error;
};

// Checks file (by handle, its pointer left at the end as a reader before leaves it) and names
// path to the system.
Verdict check(const std::string& file, const std::string& path, const char* signer)
{
    HANDLE handle = open_shared_read(file);
    if (handle == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open " << file << " (" << GetLastError() << "): built? (tests/signing)";
        return {-1, 0};
    }
    LARGE_INTEGER end = {};
    SetFilePointerEx(handle, end, nullptr, FILE_END);
    SetLastError(0);
    Verdict verdict;
    verdict.result = signer_check(handle, path.c_str(), signer);
    verdict.error = GetLastError();
    CloseHandle(handle);
    return verdict;
}

} // namespace

// What the system says about each file, and whose name counts. Measured under Wine 8: see each
// case's expected error.
TEST(SignerCheck, OnlyATrustedIntactSignatureByExactlyTheNamedSigner)
{
    const std::string name = publisher();
    ASSERT_FALSE(name.empty()) << "publisher.txt missing: is QWI_BUILD_DIR set and the build complete?";
    std::string capitals = name;
    for (char& c : capitals) {
        c = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
    }
    const std::string shorter = name.substr(0, name.size() - 1);
    const std::string ascii_only = "Quorvel Test Publisher Muller Ltd.";
    struct Case {
        const char* file;
        const std::string* signer; // null: no signer at all
        DWORD error;               // 0: accepted
    };
    const Case cases[] = {
        {"signed.exe", &name, ERROR_SUCCESS},
        {"signed.exe", &capitals, ERROR_INVALID_DATA},
        {"signed.exe", &shorter, ERROR_INVALID_DATA},
        {"signed.exe", &ascii_only, ERROR_INVALID_DATA},
        {"signed.exe", nullptr, ERROR_INVALID_DATA},
        {"other_signer.exe", &name, ERROR_INVALID_DATA},     // the name, and more after it
        {"unsigned.exe", &name, (DWORD)TRUST_E_NOSIGNATURE},
        {"untrusted.exe", &name, (DWORD)CERT_E_UNTRUSTEDROOT}, // same names, another authority
        {"expired.exe", &name, (DWORD)CERT_E_EXPIRED},
        {"orphan.exe", &name, (DWORD)CERT_E_CHAINING},      // its authority is nowhere to be found
        {"tampered.exe", &name, (DWORD)TRUST_E_BAD_DIGEST},
    };
    const std::string empty;
    for (const Case& c : cases) {
        const std::string& signer = c.signer ? *c.signer : empty;
        SCOPED_TRACE(std::string(c.file) + " signed by \"" + signer + "\"" + (c.signer ? "" : " (none)"));
        std::string path = signing_file(c.file);
        Verdict verdict = check(path, path, c.signer ? signer.c_str() : nullptr);
        EXPECT_EQ(verdict.result, c.error == ERROR_SUCCESS ? 0 : 1);
        EXPECT_EQ(verdict.error, c.error) << std::hex << "0x" << verdict.error;
    }
    std::string path = signing_file("signed.exe");
    EXPECT_EQ(check(path, path, "").error, (DWORD)ERROR_INVALID_DATA) << "an empty name never matches";
}

// The system reads the file of the handle, not whatever the path names: the path only tells it
// what it looks at.
TEST(SignerCheck, ReadsThroughTheHandleNotThePath)
{
    const std::string name = publisher();
    ASSERT_FALSE(name.empty());
    const std::string good = signing_file("signed.exe");
    const std::string unsigned_file = signing_file("unsigned.exe");
    EXPECT_EQ(check(good, unsigned_file, name.c_str()).error, (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(check(unsigned_file, good, name.c_str()).error, (DWORD)TRUST_E_NOSIGNATURE);
}

namespace {

bool running_under_wine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

} // namespace

// A certificate that its authority revoked, with the authority's list in the machine's "CA" store
// (tests/wine/setup.sh puts it there), is refused without the network being asked. Wine 8 does not
// check revocation at all (measured: this file passes WinVerifyTrust, and the chain it built shows
// no revocation status, neither revoked nor unknown): under Wine the case prints that gap, and
// ctest reports it as skipped instead of passed (cmake/WineTests.cmake). Not GTEST_SKIP: gtest
// hands every result but a success to OutputDebugStringA, and the exception that raises kills
// 32-bit Wine under qemu, with the rest of the run.
TEST(SignerCheck, RevokedCertificateIsRefused)
{
    const std::string name = publisher();
    ASSERT_FALSE(name.empty());
    const std::string revoked = signing_file("revoked.exe");
    Verdict verdict = check(revoked, revoked, name.c_str());
    if (running_under_wine() && verdict.result == 0) {
        printf("KNOWN GAP under Wine: a certificate revoked by a list in the machine's CA store is accepted; "
               "Wine's WinVerifyTrust does not check revocation\n");
        return;
    }
    EXPECT_EQ(verdict.result, 1);
    EXPECT_EQ(verdict.error, (DWORD)CERT_E_REVOKED) << std::hex << "0x" << verdict.error;
}
