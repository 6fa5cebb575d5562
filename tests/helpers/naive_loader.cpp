// The control case of the DLL-planting test: a program that imports msimg32.dll the ordinary way,
// so the loader resolves it at start-up, before any code of the program could restrict the search.
// If a planted msimg32.dll next to it is loaded, the planting set-up of the test works.
#include <windows.h>

int wmain()
{
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, 0};
    (void)AlphaBlend(nullptr, 0, 0, 0, 0, nullptr, 0, 0, 0, 0, blend); // only the import matters
    return 0;
}
