// Start-up probe: linked into the installer in place of app/splash_first_picture.cpp, it ends the
// process as soon as the splash's first picture is on screen, so that the process's lifetime is
// the time to the first picture.
#include <windows.h>

#include "app/splash.h"

void splash_first_picture_shown()
{
    ExitProcess(0);
}
