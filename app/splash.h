// The splash window: a layered card with a progress bar.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "rt/process.h"

namespace Gdiplus { class GpBitmap; }

// Reads the screen DPI and the work areas and settles the splash DPI (96 or 192).
void splash_settle_dpi();
// Makes the splash window layered, loads its images, places, shows and renders it. 0 or 1.
// The window object process_globals.app->splash must already have been created.
int splash_setup();
// Null when the resource is missing, memory runs out or the PNG can't be decoded. The caller
// owns the image and disposes of it with GdipDisposeImage.
Gdiplus::GpBitmap* png_resource_load(int id);
// Null on failure; rect's width and height get the image's pixel size (0 when unknown).
HBITMAP bitmap_from_image(Gdiplus::GpBitmap* image, UiRect* rect);
// 0 and the icon at 64 x dpi / 96 pixels, or 1 and a null icon.
int load_app_icon(HICON* icon);
// Renders the current progress unless the picture would not change or the last render was too
// recent (see splash_throttle_allows). Renders from the splash window's own thread always run.
// Never call it from two threads at once.
void splash_render();
// Composes the picture and updates the layered window, unconditionally.
void splash_render_frame();
// Called once the splash's first picture is on screen. The program does nothing then
// (app/splash_first_picture.cpp); the start-up benchmark links its own version, which ends the
// process, so that the process's lifetime is the time to the first picture.
void splash_first_picture_shown();

// ---- arithmetic, usable without a window ----------------------------------------------------

// 96 below a true DPI of 192 (unsigned comparison), else 192.
int32_t splash_dpi_for(int32_t true_dpi);

// The bar in background pixels at splash DPI dpi; the cap goes at (x + length, y).
struct SplashBar {
    int32_t x;
    int32_t y;
    int32_t length;
    int32_t height;
};
SplashBar splash_bar_geometry(uint32_t progress, int32_t dpi);

// The window's logical rectangle (background size scaled to logical units, centred in the
// logical work area) and its top-left corner in screen pixels.
void splash_placement(const RECT* work_area, const UiRect* background, int32_t dpi, UiRect* logical,
                      POINT* pixels);

// Rendering after every read would cost more than the download itself (a layered update of the
// card takes milliseconds), so renders that change nothing are skipped and the rest are spaced at
// least this far apart.
const uint32_t SPLASH_MIN_RENDER_INTERVAL_MS = 33;
// A render also waits this many times as long as the last one took, so that renders take at most
// about a sixteenth of the worker's time. A layered update of the large card on a slow machine is
// slow; every render delays the next read by as much, which on a fast link stalls the download.
const uint32_t SPLASH_RENDER_COST_FACTOR = 16;

struct SplashThrottle {
    uint32_t render_count;   // renders done; 0: nothing shown yet
    int32_t last_length;     // bar length of the last render, in pixels
    uint32_t last_progress;  // progress of the last render
    uint32_t last_tick;      // GetTickCount() of the last render
    uint32_t skipped_count;  // renders declined
    uint32_t last_cost;      // ms the last render took; 0 when unknown
};

// True when a render of a bar length at progress, at time now (ms, wrapping), shows the user
// something the last render did not and may run now:
// - the first render always runs;
// - an unchanged bar length gives the same picture and never runs;
// - a changed length at progress 1000 (the full bar) runs at once, so the completed download
//   is on screen before the window closes;
// - any other change runs once SPLASH_MIN_RENDER_INTERVAL_MS, and SPLASH_RENDER_COST_FACTOR
//   times the last render's cost, have passed since the last render began.
bool splash_throttle_allows(const SplashThrottle* throttle, int32_t length, uint32_t progress, uint32_t now);
void splash_throttle_note(SplashThrottle* throttle, int32_t length, uint32_t progress, uint32_t now);

// State of splash_render's decisions; reset it when a new splash is set up.
extern SplashThrottle splash_throttle;
