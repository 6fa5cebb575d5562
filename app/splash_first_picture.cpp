// What the program does once the splash's first picture is on screen: nothing. Kept alone in its
// file so that the start-up benchmark (bench/first_picture_exit.cpp) can stand in for it at link
// time.
#include "app/splash.h"

void splash_first_picture_shown()
{
}
