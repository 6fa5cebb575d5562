#include "rt/random.h"

#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>

int random_bytes(void* out, uint32_t length)
{
    NTSTATUS status = BCryptGenRandom(nullptr, (PUCHAR)out, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (BCRYPT_SUCCESS(status)) {
        return 0;
    }
    SetLastError(RtlNtStatusToDosError(status));
    return 1;
}
