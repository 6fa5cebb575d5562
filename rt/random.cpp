#include "rt/random.h"

#include <windows.h>
#include <bcrypt.h>

int random_bytes(void* out, uint32_t length)
{
    NTSTATUS status = BCryptGenRandom(nullptr, (PUCHAR)out, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return BCRYPT_SUCCESS(status) ? 0 : 1;
}
