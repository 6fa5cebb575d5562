// Makes the current Wine prefix trust a test CA: adds a DER certificate to the machine's (or,
// failing that, the user's) "Root" store. Usage: trust_ca.exe CA.der   Exit code 0 on success.
// Given a file named *.crl, adds that DER revocation list to the "CA" store instead, where the
// system looks for what a certificate authority revoked.
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

static int add_to_store(DWORD location, const BYTE* der, DWORD size, bool crl)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, crl ? L"CA" : L"Root");
    if (!store) {
        return 1;
    }
    BOOL added = crl ? CertAddEncodedCRLToStore(store, X509_ASN_ENCODING, der, size,
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr)
                     : CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}

static bool is_crl_name(const wchar_t* path)
{
    size_t length = wcslen(path);
    return length > 4 && _wcsicmp(path + length - 4, L".crl") == 0;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: trust_ca.exe CA.der | LIST.crl\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"trust_ca: cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    static BYTE der[65536];
    DWORD size = 0;
    BOOL read = ReadFile(file, der, sizeof der, &size, nullptr);
    CloseHandle(file);
    if (!read || size == 0 || size == sizeof der) {
        fwprintf(stderr, L"trust_ca: cannot read %ls\n", argv[1]);
        return 1;
    }
    bool crl = is_crl_name(argv[1]);
    if (add_to_store(CERT_SYSTEM_STORE_LOCAL_MACHINE, der, size, crl) != 0
        && add_to_store(CERT_SYSTEM_STORE_CURRENT_USER, der, size, crl) != 0) {
        fwprintf(stderr, L"trust_ca: cannot add the certificate (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
