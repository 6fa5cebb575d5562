#include "rt/signature.h"

#include <string.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "rt/heap.h"
#include "rt/text.h"

// Revocation is checked for every certificate but the root (a root vouches for itself; no one
// publishes its revocation), from what the system has cached only. Fetching lists from the
// network can hang for the retrieval timeouts of each certificate on a network that drops the
// packets (a captive portal, a firewall), and an embedded payload is started on machines that are
// not online at all. A certificate found revoked in the cache is refused; one whose status is
// unknown (nothing cached) is accepted, as Windows' Authenticode policy accepts it offline:
// otherwise a machine that has never fetched the publisher's lists could start no setup at all.
static const DWORD REVOCATION_CHECKS = WTD_REVOKE_WHOLECHAIN;
static const DWORD PROVIDER_FLAGS = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
static const DWORD REVOCATION_UNKNOWN_ACCEPTED = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;

// The common name in the subject of a certificate, as a new heap UTF-8 string; null when there is
// none or it cannot be read.
static char* common_name(PCCERT_CONTEXT certificate)
{
    void* attribute = (void*)szOID_COMMON_NAME;
    DWORD units = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, attribute, nullptr, 0);
    if (units <= 1) { // only the terminator: no common name
        return nullptr;
    }
    wchar_t* wide = (wchar_t*)heap_alloc(units * sizeof(wchar_t));
    char* name = nullptr;
    if (wide && CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, attribute, wide, units) == units) {
        name = wide_to_utf8_alloc(wide);
    }
    heap_free(wide);
    return name;
}

// The certificate chain of the signer, judged once more by the system's Authenticode chain policy
// and refused when it ends short of a root. WinVerifyTrust has judged the chain already; asking
// the policy again costs little and keeps the verdict on what starts elevated from resting on one
// provider's answer alone (an untrusted root, an expired certificate, a missing issuer all fail here).
static DWORD chain_verdict(PCCERT_CHAIN_CONTEXT chain)
{
    if (!chain) {
        return (DWORD)CERT_E_CHAINING;
    }
    if (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) {
        return (DWORD)CERT_E_CHAINING;
    }
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = REVOCATION_UNKNOWN_ACCEPTED;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status)) {
        DWORD error = GetLastError();
        return error ? error : (DWORD)TRUST_E_FAIL;
    }
    return status.dwError;
}

// The verdict on a state that WinVerifyTrust accepted: its signer's chain, then its signer's name.
static DWORD signer_verdict(HANDLE state, const char* expected)
{
    CRYPT_PROVIDER_DATA* provider = state ? WTHelperProvDataFromStateData(state) : nullptr;
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!certificate || !certificate->pCert) {
        return (DWORD)TRUST_E_NO_SIGNER_CERT;
    }
    DWORD verdict = chain_verdict(signer->pChainContext);
    if (verdict != ERROR_SUCCESS) {
        return verdict;
    }
    char* name = common_name(certificate->pCert);
    verdict = name && prefix_compare(name, (int32_t)strlen(name), expected) == 0 ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    heap_free(name);
    return verdict;
}

int signer_check(HANDLE file, const char* path, const char* signer)
{
    if (!signer || !*signer) {
        SetLastError(ERROR_INVALID_DATA);
        return 1;
    }
    // The system's reader may go by the file pointer; whoever read the file before left it at
    // the end.
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return 1;
    }
    wchar_t local_path[PATH_BUFFER_UNITS];
    wchar_t* wide_path = path_to_wide(local_path, path);
    if (!wide_path) {
        return 1;
    }

    WINTRUST_FILE_INFO file_info = {};
    file_info.cbStruct = sizeof file_info;
    file_info.pcwszFilePath = wide_path;
    file_info.hFile = file; // read through the handle that was checked, never reopened
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = REVOCATION_CHECKS;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = PROVIDER_FLAGS;
    data.dwUIContext = WTD_UICONTEXT_EXECUTE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG verdict = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);

    DWORD error = verdict == ERROR_SUCCESS ? signer_verdict(data.hWVTStateData, signer) : (DWORD)verdict;
    // The state holds the signer's certificates until it is closed, whatever the verdict.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);

    path_release(wide_path, local_path);
    SetLastError(error);
    return error == ERROR_SUCCESS ? 0 : 1;
}
