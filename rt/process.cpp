#include "rt/process.h"

ProcessGlobals process_globals = {
    nullptr,
    0,
    0,
    nullptr,
    nullptr,
    nullptr,
    {0, 0, (int32_t)CW_USEDEFAULT, (int32_t)CW_USEDEFAULT},
    {0, 0, 400, 130},
    {0, 0, 32, 32},
    {0, 0, 64, 64},
};
