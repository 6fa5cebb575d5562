// Makes the current Wine prefix trust a test CA: adds a DER certificate to the machine's (or,
// failing that, the user's) "Root" store. Usage: trust_ca.exe CA.der   Exit code 0 on success.
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

static int add_to_root(DWORD location, const BYTE* der, DWORD size)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, L"Root");
    if (!store) {
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: trust_ca.exe CA.der\n");
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
    if (add_to_root(CERT_SYSTEM_STORE_LOCAL_MACHINE, der, size) != 0
        && add_to_root(CERT_SYSTEM_STORE_CURRENT_USER, der, size) != 0) {
        fwprintf(stderr, L"trust_ca: cannot add the certificate (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
