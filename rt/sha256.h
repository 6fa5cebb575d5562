// SHA-256 through the system's CNG provider (bcrypt.dll).
#pragma once

#include <windows.h>
#include <stdint.h>

const uint32_t SHA256_DIGEST_SIZE = 32;
const uint32_t SHA256_HEX_LENGTH = 64;

// One running hash. An all-zero record holds nothing; sha256_release is harmless on it.
struct Sha256 {
    void* algorithm;   // BCRYPT_ALG_HANDLE
    void* hash;        // BCRYPT_HASH_HANDLE
    void* hash_object; // heap block the provider keeps its state in
};

// 0 when the hash is ready for data; 1 otherwise (the record then holds nothing).
int sha256_begin(Sha256* state);
// 0 or 1. Any number of calls between begin and finish.
int sha256_update(Sha256* state, const void* data, uint32_t length);
// Writes the digest and releases the record, also on failure. 0 or 1.
int sha256_finish(Sha256* state, uint8_t digest[SHA256_DIGEST_SIZE]);
void sha256_release(Sha256* state);
// Hashes the whole file from its first byte (the handle needs read access; the file pointer
// ends at the end of the file). 0 or 1.
int sha256_file(HANDLE file, uint8_t digest[SHA256_DIGEST_SIZE]);
// 0 when hex is exactly 64 hex digits (either case) naming digest; 1 otherwise, also for a
// malformed or absent pin, so that a broken pin can never pass.
int sha256_compare_hex(const uint8_t digest[SHA256_DIGEST_SIZE], const char* hex);
