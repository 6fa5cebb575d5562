// The chain parameters' time limits are declared only for those who ask for them.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "rt/signature.h"

#include <string.h>

#include <softpub.h>
#include <wintrust.h>

#include "rt/heap.h"
#include "rt/result.h"
#include "rt/text.h"

// WinVerifyTrust checks the signature and the file's digest and finds the signer's certificate.
// It builds the signer's chain with the user's chain engine, which trusts the roots in the user's
// own store too: any program the user runs, elevated or not, can write one there (the registry
// under HKCU). Its chain is therefore not what decides (machine_chain_verdict is), and it is asked
// for no revocation and allowed no network; the machine's chain asks the network, within one limit
// for the whole check.
static const DWORD REVOCATION_CHECKS = WTD_REVOKE_NONE;
static const DWORD PROVIDER_FLAGS = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

// Revocation is checked for every certificate but the root (a root vouches for itself; no one
// publishes its revocation), from the network when the system has no current list, and all lists
// together may take SIGNER_NETWORK_WAIT_MS: a network that drops the packets (a captive portal, a
// firewall) keeps the user waiting that long at most. Unknown revocation is judged by
// chain_revocation_check, not by the policy.
static const DWORD CHAIN_FLAGS = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
static const DWORD POLICY_FLAGS = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;

static DWORD last_error_or(DWORD fallback)
{
    DWORD error = GetLastError();
    return error ? error : fallback;
}

// What is left of the check's network time; never 0, which would mean the system's default.
static DWORD time_left(DWORD deadline)
{
    LONG left = (LONG)(deadline - GetTickCount());
    return left > 0 ? (DWORD)left : 1;
}

// A revoked certificate is refused whether its list came from the network or the system's cache.
// A status that is unknown only because the lists could not be fetched (an offline machine, a
// network that drops the packets) is accepted, as Windows' Authenticode policy accepts it:
// otherwise a machine without a network could start no setup at all, and an embedded payload is
// started on such machines. Unknown for any other reason (no list named, a list that does not
// verify) is refused.
int chain_revocation_check(const CERT_CHAIN_CONTEXT* chain)
{
    DWORD verdict = ERROR_SUCCESS;
    for (DWORD c = 0; c < chain->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        for (DWORD i = 0; i < simple->cElement; ++i) {
            DWORD status = simple->rgpElement[i]->TrustStatus.dwErrorStatus;
            if (status & CERT_TRUST_IS_REVOKED) {
                return fail_with((DWORD)CERT_E_REVOKED);
            }
            if ((status & CERT_TRUST_REVOCATION_STATUS_UNKNOWN) && !(status & CERT_TRUST_IS_OFFLINE_REVOCATION)) {
                verdict = (DWORD)CERT_E_REVOCATION_FAILURE;
            }
        }
    }
    return verdict == ERROR_SUCCESS ? 0 : fail_with(verdict);
}

// A chain judged by policy (an untrusted root, an expired certificate, the wrong usage all fail),
// refused when it ends short of a root, and judged for revocation.
static DWORD chain_verdict(PCCERT_CHAIN_CONTEXT chain, LPCSTR policy_kind)
{
    if (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) {
        return (DWORD)CERT_E_CHAINING;
    }
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = POLICY_FLAGS;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(policy_kind, chain, &policy, &status)) {
        return last_error_or((DWORD)TRUST_E_FAIL);
    }
    if (status.dwError != ERROR_SUCCESS) {
        return status.dwError;
    }
    return chain_revocation_check(chain) == 0 ? ERROR_SUCCESS : GetLastError();
}

// The certificate's chain as the local machine's chain engine builds it: only roots in the
// machine's stores, which only an administrator can change, are trusted. The signature's own
// certificates (store) help to build the chain but vouch for nothing. At time (null: now), for
// usage.
static DWORD machine_chain_verdict(PCCERT_CONTEXT certificate, HCERTSTORE store, FILETIME* time, const char* usage,
                                   LPCSTR policy_kind, DWORD deadline)
{
    LPSTR usages[1] = {(LPSTR)usage};
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    parameters.dwUrlRetrievalTimeout = time_left(deadline);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, time, store, &parameters, CHAIN_FLAGS, nullptr,
                                 &chain)) {
        return last_error_or((DWORD)CERT_E_CHAINING);
    }
    DWORD verdict = chain_verdict(chain, policy_kind);
    CertFreeCertificateChain(chain);
    return verdict;
}

// The time to judge the signer's chain at. A timestamp tells when the file was signed, and a
// certificate that expired since still vouches for what it signed while it was valid; but only a
// timestamp authority that the machine's roots vouch for may say so. One that only the user's
// store trusts could date a signature back into the lifetime of an expired or stolen certificate.
// Without such a timestamp: now (null).
static FILETIME* judging_time(CRYPT_PROVIDER_SGNR* signer, DWORD deadline)
{
    if (signer->csCounterSigners == 0) {
        return nullptr;
    }
    for (DWORD i = 0; i < signer->csCounterSigners; ++i) {
        CRYPT_PROVIDER_SGNR* stamp = &signer->pasCounterSigners[i];
        CRYPT_PROVIDER_CERT* certificate = WTHelperGetProvCertFromChain(stamp, 0);
        if (!certificate || !certificate->pCert
            || machine_chain_verdict(certificate->pCert, certificate->pCert->hCertStore, &stamp->sftVerifyAsOf,
                                     szOID_PKIX_KP_TIMESTAMP_SIGNING, CERT_CHAIN_POLICY_AUTHENTICODE_TS,
                                     deadline) != ERROR_SUCCESS) {
            return nullptr;
        }
    }
    return &signer->sftVerifyAsOf;
}

// Whether a common name's value is expected, byte for byte in UTF-8. The system hands UTF8String
// and BMPString values over as UTF-16, the ASCII string kinds as bytes; other kinds (T61,
// universal, ...) have no one agreed reading and never match. Neither does a value that holds a
// NUL: wherever the name is shown or compared as text it would end there, and a certificate for
// "Name<NUL>anything" would pass for "Name".
static bool value_equals(const CERT_RDN_ATTR* attribute, const char* expected)
{
    const BYTE* data = attribute->Value.pbData;
    DWORD size = attribute->Value.cbData;
    switch (attribute->dwValueType) {
    case CERT_RDN_NUMERIC_STRING:
    case CERT_RDN_PRINTABLE_STRING:
    case CERT_RDN_IA5_STRING:
    case CERT_RDN_VISIBLE_STRING:
        for (DWORD i = 0; i < size; ++i) {
            if (data[i] == 0 || data[i] >= 0x80) {
                return false;
            }
        }
        return prefix_compare((const char*)data, (int32_t)size, expected) == 0;
    case CERT_RDN_UTF8_STRING:
    case CERT_RDN_BMP_STRING: {
        const wchar_t* units = (const wchar_t*)data;
        int32_t count = (int32_t)(size / sizeof(wchar_t));
        if (count == 0 || size % sizeof(wchar_t) != 0) {
            return false;
        }
        for (int32_t i = 0; i < count; ++i) {
            if (units[i] == 0) {
                return false;
            }
        }
        // A lone surrogate has no UTF-8 form: refused rather than replaced.
        int32_t bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, count, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0 || bytes != (int32_t)strlen(expected)) {
            return false;
        }
        char* text = (char*)heap_alloc((size_t)bytes);
        bool equal = text && WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, count, text, bytes, nullptr, nullptr) == bytes
                     && prefix_compare(text, bytes, expected) == 0;
        heap_free(text);
        return equal;
    }
    default:
        return false;
    }
}

// The subject of the certificate has exactly one common name, and it is expected. A subject may
// carry several; the system's name helpers return the first one only, so a certificate naming the
// publisher and someone else would pass for either.
static DWORD name_verdict(PCCERT_CONTEXT certificate, const char* expected)
{
    const CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    DWORD size = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject->pbData, subject->cbData, 0, nullptr, &size)) {
        return ERROR_INVALID_DATA;
    }
    CERT_NAME_INFO* name = (CERT_NAME_INFO*)heap_alloc(size);
    const CERT_RDN_ATTR* common = nullptr;
    DWORD count = 0;
    if (name && CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject->pbData, subject->cbData, 0, name, &size)) {
        for (DWORD r = 0; r < name->cRDN; ++r) {
            for (DWORD a = 0; a < name->rgRDN[r].cRDNAttr; ++a) {
                const CERT_RDN_ATTR* attribute = &name->rgRDN[r].rgRDNAttr[a];
                if (strcmp(attribute->pszObjId, szOID_COMMON_NAME) == 0) {
                    common = attribute;
                    ++count;
                }
            }
        }
    }
    bool matches = count == 1 && value_equals(common, expected);
    heap_free(name);
    return matches ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// The verdict on a state that WinVerifyTrust accepted: its signer's name, then its signer's chain
// as the machine judges it.
static DWORD signer_verdict(HANDLE state, const char* expected)
{
    CRYPT_PROVIDER_DATA* provider = state ? WTHelperProvDataFromStateData(state) : nullptr;
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!certificate || !certificate->pCert) {
        return (DWORD)TRUST_E_NO_SIGNER_CERT;
    }
    DWORD verdict = name_verdict(certificate->pCert, expected);
    if (verdict != ERROR_SUCCESS) {
        return verdict;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, provider->hMsg);
    if (!store) {
        return last_error_or((DWORD)TRUST_E_NO_SIGNER_CERT);
    }
    DWORD deadline = GetTickCount() + SIGNER_NETWORK_WAIT_MS;
    FILETIME* time = judging_time(signer, deadline);
    verdict = machine_chain_verdict(certificate->pCert, store, time, szOID_PKIX_KP_CODE_SIGNING,
                                    CERT_CHAIN_POLICY_AUTHENTICODE, deadline);
    CertCloseStore(store, 0);
    return verdict;
}

int signer_check(HANDLE file, const char* path, const char* signer)
{
    if (!signer || !*signer) {
        return fail_with(ERROR_INVALID_DATA);
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
