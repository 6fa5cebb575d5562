// The baseline of the download benchmark: the smallest WinINet download loop that does what the
// installer's worker does (same request flags, reads of at most 16,384 bytes, every chunk written
// to a file), timed call by call so that the run shows where its time goes.
//
// Usage: wininet_loop.exe URL OUTPUT [--rule full|arrived|nowait] [--no-write] [--sha256]
//   full     every read asks for 16,384 bytes (the plain loop)
//   arrived  asks InternetQueryDataAvailable first and reads 16,384 bytes once that much has
//            arrived, else only what has
//   nowait   reads with IRF_NO_WAIT (whatever has arrived, up to 16,384 bytes, without waiting);
//            only when that finds nothing, waits in InternetQueryDataAvailable and reads what it
//            reports
//   --no-write  reads only: the network and WinINet alone
//   --sha256    also takes the SHA-256 of every chunk with BCrypt, as the installer does for its pin
// Prints one line: rule=... ms=... bytes=... reads=... query_ms=... read_ms=... write_ms=...
//   hash_ms=...
#include <windows.h>
#include <bcrypt.h>
#include <wininet.h>
#include <stdio.h>
#include <string.h>

static const DWORD CHUNK = 16384;

static double now_ms()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: wininet_loop.exe URL OUTPUT [--rule full|arrived|nowait] [--no-write] [--sha256]\n");
        return 2;
    }
    const wchar_t* rule = L"full";
    bool write = true;
    bool digest = false;
    for (int i = 3; i < argc; ++i) {
        if (!wcscmp(argv[i], L"--rule") && i + 1 < argc) {
            rule = argv[++i];
        } else if (!wcscmp(argv[i], L"--no-write")) {
            write = false;
        } else if (!wcscmp(argv[i], L"--sha256")) {
            digest = true;
        } else {
            fwprintf(stderr, L"unknown argument %ls\n", argv[i]);
            return 2;
        }
    }
    bool query = wcscmp(rule, L"full") != 0;
    bool no_wait = wcscmp(rule, L"nowait") == 0;
    bool half = wcscmp(rule, L"half") == 0;
    bool adaptive = wcscmp(rule, L"adaptive") == 0;
    bool streaming = false; // adaptive: the last whole-chunk read came at once

    double started = now_ms();
    HANDLE file = INVALID_HANDLE_VALUE;
    if (write) {
        file = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "create failed: %lu\n", GetLastError());
            return 1;
        }
    }
    HINTERNET session = InternetOpenW(L"Quorvel Web Installer", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET request = session ? InternetOpenUrlW(session, argv[1], nullptr, 0,
                                                   INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                                : nullptr;
    if (!request) {
        fprintf(stderr, "open failed: %lu\n", GetLastError());
        return 1;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (digest && (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
                   !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))) {
        fprintf(stderr, "no SHA-256\n");
        return 1;
    }
    static char buffer[CHUNK];
    unsigned long long total = 0;
    unsigned long reads = 0;
    double query_ms = 0, read_ms = 0, write_ms = 0, hash_ms = 0;
    int result = 0;
    for (;;) {
        DWORD wanted = CHUNK;
        DWORD got = 0;
        if (no_wait) {
            double t = now_ms();
            INTERNET_BUFFERSA buffers = {};
            buffers.dwStructSize = sizeof buffers;
            buffers.lpvBuffer = buffer;
            buffers.dwBufferLength = CHUNK;
            if (!InternetReadFileExA(request, &buffers, IRF_NO_WAIT, 0)) {
                result = 1;
                break;
            }
            read_ms += now_ms() - t;
            got = buffers.dwBufferLength;
        }
        if (got == 0 && query && !(adaptive && streaming)) {
            double t = now_ms();
            DWORD available = 0;
            if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
                result = 1;
                break;
            }
            query_ms += now_ms() - t;
            if (available != 0 && available < CHUNK) {
                wanted = available;
            }
            if ((half || adaptive) && available >= CHUNK / 2) {
                wanted = CHUNK;
            }
        }
        if (got == 0) {
            double t = now_ms();
            if (!InternetReadFile(request, buffer, wanted, &got)) {
                result = 1;
                break;
            }
            double took = now_ms() - t;
            read_ms += took;
            streaming = wanted == CHUNK && got == CHUNK && took < 20;
        }
        if (got == 0) {
            break;
        }
        ++reads;
        total += got;
        if (write) {
            double t = now_ms();
            DWORD written = 0;
            if (!WriteFile(file, buffer, got, &written, nullptr) || written != got) {
                result = 1;
                break;
            }
            write_ms += now_ms() - t;
        }
        if (hash) {
            double t = now_ms();
            if (!BCRYPT_SUCCESS(BCryptHashData(hash, (PUCHAR)buffer, got, 0))) {
                result = 1;
                break;
            }
            hash_ms += now_ms() - t;
        }
    }
    if (hash) {
        double t = now_ms();
        UCHAR value[32];
        result = BCRYPT_SUCCESS(BCryptFinishHash(hash, value, sizeof value, 0)) ? result : 1;
        hash_ms += now_ms() - t;
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    InternetCloseHandle(request);
    InternetCloseHandle(session);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    double elapsed = now_ms() - started;
    printf("rule=%ls write=%d ms=%.1f bytes=%llu reads=%lu query_ms=%.1f read_ms=%.1f write_ms=%.1f hash_ms=%.1f\n",
           rule, write ? 1 : 0, elapsed, total, reads, query_ms, read_ms, write_ms, hash_ms);
    return result;
}
