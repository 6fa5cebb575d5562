// Makes the current Wine prefix trust a test CA: adds a DER certificate to the machine's (or,
// failing that, the user's) "Root" store. Usage: trust_ca.exe [--user] CA.der   Exit code 0 on success.
// Given a file named *.crl, adds that DER revocation list to the "CA" store instead, where the
// system looks for what a certificate authority revoked.
// --user plays a program of the user without elevation: it writes the certificate into the user's
// own root store in the registry (HKCU\Software\Microsoft\SystemCertificates\Root), as any
// such program can, and nowhere else. (Through the system store, CertOpenStore(CURRENT_USER,
// "Root"), Windows asks the user first; Wine 8 reports success and keeps nothing.)
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

static int add_to_user_registry(const BYTE* der, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\Root", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key);
    BOOL added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                           CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (store) {
        CertCloseStore(store, 0);
    }
    RegCloseKey(key);
    return added ? 0 : 1;
}

static bool is_crl_name(const wchar_t* path)
{
    size_t length = wcslen(path);
    return length > 4 && _wcsicmp(path + length - 4, L".crl") == 0;
}

int wmain(int argc, wchar_t** argv)
{
    bool user = argc == 3 && wcscmp(argv[1], L"--user") == 0;
    if (argc != 2 && !user) {
        fwprintf(stderr, L"usage: trust_ca.exe [--user] CA.der | LIST.crl\n");
        return 2;
    }
    const wchar_t* path = argv[argc - 1];
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"trust_ca: cannot open %ls (error %lu)\n", path, GetLastError());
        return 1;
    }
    static BYTE der[65536];
    DWORD size = 0;
    BOOL read = ReadFile(file, der, sizeof der, &size, nullptr);
    CloseHandle(file);
    if (!read || size == 0 || size == sizeof der) {
        fwprintf(stderr, L"trust_ca: cannot read %ls\n", path);
        return 1;
    }
    if (user) {
        if (add_to_user_registry(der, size) != 0) {
            fwprintf(stderr, L"trust_ca: cannot add the certificate to the user's root store (error %lu)\n",
                     GetLastError());
            return 1;
        }
        return 0;
    }
    bool crl = is_crl_name(path);
    if (add_to_store(CERT_SYSTEM_STORE_LOCAL_MACHINE, der, size, crl) != 0
        && add_to_store(CERT_SYSTEM_STORE_CURRENT_USER, der, size, crl) != 0) {
        fwprintf(stderr, L"trust_ca: cannot add the certificate (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
