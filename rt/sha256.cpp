#include "rt/sha256.h"

#include <bcrypt.h>
#include <winternl.h>

#include "rt/heap.h"
#include "rt/result.h"

static const uint32_t FILE_HASH_CHUNK = 65536;

// True for a provider's success; otherwise false with its status as the last error.
static bool nt_ok(NTSTATUS status)
{
    if (status >= 0) {
        return true;
    }
    SetLastError(RtlNtStatusToDosError(status));
    return false;
}

int sha256_begin(Sha256* state)
{
    state->algorithm = nullptr;
    state->hash = nullptr;
    state->hash_object = nullptr;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!nt_ok(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return 1;
    state->algorithm = algorithm;
    // The provider keeps its state in memory that we hand it; older systems insist on it.
    DWORD object_size = 0;
    ULONG got = 0;
    if (!nt_ok(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_size,
                                 sizeof(object_size), &got, 0))
        || object_size == 0) {
        sha256_release(state);
        return fail_with(ERROR_INVALID_FUNCTION);
    }
    state->hash_object = heap_alloc(object_size);
    if (!state->hash_object) {
        sha256_release(state);
        return 1;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!nt_ok(BCryptCreateHash(algorithm, &hash, (PUCHAR)state->hash_object, object_size,
                                nullptr, 0, 0))) {
        sha256_release(state);
        return 1;
    }
    state->hash = hash;
    return 0;
}

int sha256_update(Sha256* state, const void* data, uint32_t length)
{
    if (!state->hash)
        return fail_with(ERROR_INVALID_HANDLE);
    if (length == 0)
        return 0;
    return nt_ok(BCryptHashData(state->hash, (PUCHAR)data, length, 0)) ? 0 : 1;
}

int sha256_finish(Sha256* state, uint8_t digest[SHA256_DIGEST_SIZE])
{
    int result = 1;
    if (state->hash && nt_ok(BCryptFinishHash(state->hash, digest, SHA256_DIGEST_SIZE, 0)))
        result = 0;
    sha256_release(state);
    return result;
}

void sha256_release(Sha256* state)
{
    if (state->hash)
        (void)BCryptDestroyHash(state->hash); // nothing to do about a failed release
    if (state->algorithm)
        (void)BCryptCloseAlgorithmProvider(state->algorithm, 0);
    heap_free(state->hash_object);
    state->hash = nullptr;
    state->algorithm = nullptr;
    state->hash_object = nullptr;
}

int sha256_file(HANDLE file, uint8_t digest[SHA256_DIGEST_SIZE])
{
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return 1;
    char* chunk = (char*)heap_alloc(FILE_HASH_CHUNK);
    if (!chunk)
        return 1;
    Sha256 state;
    int result = sha256_begin(&state);
    while (result == 0) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, FILE_HASH_CHUNK, &got, nullptr)) {
            result = 1;
            break;
        }
        if (got == 0)
            break;
        result = sha256_update(&state, chunk, got);
    }
    if (result == 0)
        result = sha256_finish(&state, digest);
    DWORD error = GetLastError();
    sha256_release(&state);
    heap_free(chunk);
    SetLastError(error);
    return result;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int sha256_compare_hex(const uint8_t digest[SHA256_DIGEST_SIZE], const char* hex)
{
    if (!hex)
        return 1;
    int differs = 0;
    for (uint32_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        // A NUL ends the text early and fails the digit test before anything beyond it is read.
        int high = hex_value(hex[2 * i]);
        if (high < 0)
            return 1;
        int low = hex_value(hex[2 * i + 1]);
        if (low < 0)
            return 1;
        if (digest[i] != (uint8_t)(high * 16 + low))
            differs = 1;
    }
    if (hex[SHA256_HEX_LENGTH] != '\0')
        return 1;
    return differs;
}
