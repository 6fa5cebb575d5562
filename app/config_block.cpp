// The configuration block shipped in the executable. It lives alone in its own writable section so
// that the deployment tool (tools/qwi_config.py) can find it through the section table and rewrite
// the text in a built executable; the array must therefore stay exactly CONFIG_BLOCK_SIZE bytes.
#include "app/config.h"

// Unused bytes are zero: the compiler pads the initialiser, and the text keeps its NUL terminator.
__attribute__((section(".qwicfg"), used))
char config_block[CONFIG_BLOCK_SIZE] =
    "https_url http://download.quorvel.com/webinstaller/setup.exe\n"
    "http_url https://download.quorvel.com/webinstaller/setup.exe\n"
    "setup_args \"AID=32197\"\n";
