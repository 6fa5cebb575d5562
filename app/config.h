// The configuration block inside the executable and its parsed form.
#pragma once

#include <stdint.h>

const uint32_t CONFIG_BLOCK_SIZE = 1024;
// Assumed download size until the server announces a usable Content-Length (23 MiB).
const uint64_t DEFAULT_EXPECTED_SIZE = 24117248;

// The block: NUL-terminated UTF-8 text, zero-padded to CONFIG_BLOCK_SIZE bytes, in a section of its
// own (".qwicfg") so that tools can find and rewrite it in a built executable.
extern char config_block[CONFIG_BLOCK_SIZE];

struct InstallerConfig {
    char* setup_args;
    char* http_url;
    char* https_url;
    uint64_t expected_size;
    char* sha256;            // optional pin of the setup program: 64 hex digits
    char* signer;            // optional: the common name of the setup program's signing certificate
};

// Fills config from length bytes of block text. 0 on success. 1 when a value could not be copied:
// parsing stops there, what was stored stays. 1 with ERROR_INVALID_DATA when a signer line holds
// no name a certificate could carry (empty, a control character, not UTF-8, more than 64
// characters): that line is left out and the other lines are read.
int parse_config(const char* text, uint32_t length, InstallerConfig* config);
// Frees every string of config (not the record itself) and nulls the fields.
void config_release(InstallerConfig* config);
