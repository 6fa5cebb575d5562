// The signer check on stand-ins of the setup program that tests/signing/make_signed.sh signed at
// build time; the test prefix trusts its authority (tests/wine/setup.sh), nothing else does.
#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "rt/signature.h"
#include "tests/rt/rt_test_support.h"

namespace {

using rt_test::signing_file;
using rt_test::widen;

bool running_under_wine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

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

// A subject counts only with exactly one common name, and that name whole: the system's name
// helpers read the first common name only, and only up to a NUL, so each of these files would
// pass for the publisher through them. The accepted rows read the other string kinds a name comes
// in, so that the refusals are not a name the check cannot read at all.
TEST(SignerCheck, OnlyOneWholeCommonNameCounts)
{
    const std::string name = publisher();
    ASSERT_FALSE(name.empty());
    const std::string other = "Quorvel Test Other Name";
    const std::string printable = "Quorvel Test Printable Publisher";
    const std::string printable_lower = "quorvel test printable publisher";
    struct Case {
        const char* file;
        const std::string* signer;
        DWORD error; // 0: accepted
    };
    const Case cases[] = {
        {"two_names.exe", &name, ERROR_INVALID_DATA},      // the publisher's name first
        {"two_names.exe", &other, ERROR_INVALID_DATA},
        {"two_names_last.exe", &name, ERROR_INVALID_DATA}, // the publisher's name second
        {"nul_name.exe", &name, ERROR_INVALID_DATA},       // "<name><NUL> Evil", a BMPString
        {"nul_name_utf8.exe", &name, ERROR_INVALID_DATA},  // the same as a UTF8String
        {"no_name.exe", &name, ERROR_INVALID_DATA},        // the name as organisation only
        {"bmp_name.exe", &name, ERROR_SUCCESS},
        {"printable.exe", &printable, ERROR_SUCCESS},
        {"printable.exe", &printable_lower, ERROR_INVALID_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " signed by \"" + *c.signer + "\"");
        std::string path = signing_file(c.file);
        Verdict verdict = check(path, path, c.signer->c_str());
        EXPECT_EQ(verdict.result, c.error == ERROR_SUCCESS ? 0 : 1);
        EXPECT_EQ(verdict.error, c.error) << std::hex << "0x" << verdict.error;
    }
}

namespace {

// The system's verdict on the signer's chain as WinVerifyTrust built it, with the user's chain
// engine: what the signer check used to rely on.
DWORD user_engine_verdict(const std::string& file)
{
    HANDLE handle = open_shared_read(file);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    std::wstring wide = widen(file);
    WINTRUST_FILE_INFO file_info = {};
    file_info.cbStruct = sizeof file_info;
    file_info.pcwszFilePath = wide.c_str();
    file_info.hFile = handle;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    DWORD verdict = (DWORD)WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    if (verdict == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        verdict = signer && signer->pChainContext
                          && CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext,
                                                              &policy, &status)
                      ? status.dwError
                      : (DWORD)TRUST_E_NO_SIGNER_CERT;
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    CloseHandle(handle);
    return verdict;
}

} // namespace

// A root counts only from the machine's stores. The test prefix trusts user_root.exe's authority in
// the user's own root store only (written to the registry, as any program of the user can:
// tests/wine/setup.sh), so the user's chain engine accepts that file, and the check must not.
TEST(SignerCheck, OnlyTheMachinesRootsCount)
{
    const std::string name = publisher();
    ASSERT_FALSE(name.empty());
    const std::string user_trusted = signing_file("user_root.exe");
    ASSERT_EQ(user_engine_verdict(user_trusted), (DWORD)ERROR_SUCCESS)
        << "the user's store does not trust user_ca.der: the case would prove nothing (tests/wine/setup.sh)";
    struct Case {
        const char* file;
        DWORD error;
    };
    const Case cases[] = {
        {"user_root.exe", (DWORD)CERT_E_UNTRUSTEDROOT},
        {"signed.exe", ERROR_SUCCESS}, // its authority is in the machine's root store
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = signing_file(c.file);
        Verdict verdict = check(path, path, name.c_str());
        EXPECT_EQ(verdict.result, c.error == ERROR_SUCCESS ? 0 : 1);
        EXPECT_EQ(verdict.error, c.error) << std::hex << "0x" << verdict.error;
    }
}

// The revocation rule on chains as the system reports them: a revoked certificate anywhere is
// refused, whatever else is known; an unknown status passes only where the lists were out of reach.
TEST(ChainRevocation, RevokedNeverUnknownOnlyWhenOffline)
{
    const DWORD revoked = CERT_TRUST_IS_REVOKED;
    const DWORD unknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
    const DWORD offline = CERT_TRUST_IS_OFFLINE_REVOCATION;
    struct Case {
        const char* what;
        std::vector<DWORD> elements; // each certificate's error status, the signer's first
        DWORD error;
    };
    const Case cases[] = {
        {"all known good", {0, 0}, ERROR_SUCCESS},
        {"lists out of reach", {unknown | offline, unknown | offline}, ERROR_SUCCESS},
        {"offline without unknown", {offline, 0}, ERROR_SUCCESS},
        {"unknown, lists fetched", {unknown, 0}, (DWORD)CERT_E_REVOCATION_FAILURE},
        {"issuer unknown, lists fetched", {unknown | offline, unknown}, (DWORD)CERT_E_REVOCATION_FAILURE},
        {"revoked", {revoked, 0}, (DWORD)CERT_E_REVOKED},
        {"revoked issuer", {0, revoked}, (DWORD)CERT_E_REVOKED},
        {"revoked, from a cache while offline", {revoked | unknown | offline, 0}, (DWORD)CERT_E_REVOKED},
        {"revoked after an unknown one", {unknown, revoked}, (DWORD)CERT_E_REVOKED},
        {"untrusted root, revocation fine", {0, CERT_TRUST_IS_UNTRUSTED_ROOT}, ERROR_SUCCESS}, // the policy's part
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<CERT_CHAIN_ELEMENT> elements(c.elements.size());
        std::vector<PCERT_CHAIN_ELEMENT> pointers;
        CERT_SIMPLE_CHAIN simple = {};
        simple.cbSize = sizeof simple;
        for (size_t i = 0; i < elements.size(); ++i) {
            elements[i].cbSize = sizeof elements[i];
            elements[i].TrustStatus.dwErrorStatus = c.elements[i];
            simple.TrustStatus.dwErrorStatus |= c.elements[i];
            pointers.push_back(&elements[i]);
        }
        simple.cElement = (DWORD)pointers.size();
        simple.rgpElement = pointers.data();
        PCERT_SIMPLE_CHAIN chains[] = {&simple};
        CERT_CHAIN_CONTEXT chain = {};
        chain.cbSize = sizeof chain;
        chain.TrustStatus = simple.TrustStatus;
        chain.cChain = 1;
        chain.rgpChain = chains;
        SetLastError(0);
        int result = chain_revocation_check(&chain);
        DWORD error = GetLastError();
        EXPECT_EQ(result, c.error == ERROR_SUCCESS ? 0 : 1);
        if (c.error != ERROR_SUCCESS) {
            EXPECT_EQ(error, c.error) << std::hex << "0x" << error;
        }
    }
}


// A certificate that its authority revoked, with the authority's list in the machine's "CA" store
// (tests/wine/setup.sh puts it there), is refused without the network being asked (its
// distribution point is a closed port). Wine 8's chain engine reads no list from the CA store
// (measured: the certificate comes out "offline", not revoked; see the README's test section):
// under Wine the case prints that gap, and ctest reports it as skipped instead of passed
// (cmake/WineTests.cmake). Not GTEST_SKIP: gtest hands every result but a success to
// OutputDebugStringA, and the exception that raises kills 32-bit Wine under qemu, with the rest of
// the run.
TEST(SignerCheck, RevokedCertificateIsRefused)
{
    const std::string name = publisher();
    ASSERT_FALSE(name.empty());
    const std::string revoked = signing_file("revoked.exe");
    Verdict verdict = check(revoked, revoked, name.c_str());
    if (running_under_wine() && verdict.result == 0) {
        printf("KNOWN GAP under Wine: a certificate revoked by a list in the machine's CA store is accepted; "
               "Wine's chain engine does not read revocation lists from the store\n");
        return;
    }
    EXPECT_EQ(verdict.result, 1);
    EXPECT_EQ(verdict.error, (DWORD)CERT_E_REVOKED) << std::hex << "0x" << verdict.error;
}
