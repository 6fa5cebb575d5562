// The splash window: DPI and work areas, set-up, image loading and the layered render.
#include <windows.h>
#include <objbase.h>
#include <oleacc.h>
#include <gdiplus.h>

#include "app/splash.h"

#include "app/app_state.h"
#include "app/installer.h"
#include "app/launch.h"
#include "rt/buffer.h"
#include "rt/resource.h"
#include "ui/ui.h"

using namespace Gdiplus::DllExports;
using Gdiplus::GpBitmap;
using Gdiplus::GpGraphics;
using Gdiplus::GpSolidFill;


static const int BACKGROUND_RESOURCE = 3;
static const int BACKGROUND_2X_RESOURCE = 4;
static const int CAP_RESOURCE = 5;
static const int CAP_2X_RESOURCE = 6;
static const int APP_ICON_RESOURCE = 2;

// The painted track of the 96-DPI background: the bar starts at (61, 195), is 10 pixels high and
// at most 321 long. The 192-DPI background is the same picture at twice the scale.
static const int32_t BAR_X = 61;
static const int32_t BAR_Y = 195;
static const int32_t BAR_HEIGHT = 10;
static const uint32_t BAR_MAX_LENGTH = 321;
static const uint32_t PROGRESS_FULL = 1000;
static const Gdiplus::ARGB BAR_COLOR = 0xFF68BC71;

SplashThrottle splash_throttle;

// The thread that created the splash: its renders happen before the worker exists and are never
// skipped.
static DWORD splash_thread;

// ---- arithmetic -----------------------------------------------------------------------------

int32_t splash_dpi_for(int32_t true_dpi)
{
    return (uint32_t)true_dpi < 192u ? 96 : 192;
}

SplashBar splash_bar_geometry(uint32_t progress, int32_t dpi)
{
    SplashBar bar;
    bar.x = ui_scale(BAR_X, dpi);
    bar.y = ui_scale(BAR_Y, dpi);
    bar.height = ui_scale(BAR_HEIGHT, dpi);
    // The per-mille division comes first, so the 192-DPI bar is always exactly twice the 96-DPI one.
    bar.length = ui_scale((int32_t)(progress * BAR_MAX_LENGTH / PROGRESS_FULL), dpi);
    return bar;
}

void splash_placement(const RECT* work_area, const UiRect* background, int32_t dpi, UiRect* logical,
                      POINT* pixels)
{
    *logical = *background;
    logical->width = ui_unscale(background->width, dpi);
    logical->height = ui_unscale(background->height, dpi);
    ui_center_rect(work_area, logical);
    pixels->x = ui_scale(logical->x, dpi);
    pixels->y = ui_scale(logical->y, dpi);
}

bool splash_throttle_allows(const SplashThrottle* throttle, int32_t length, uint32_t progress, uint32_t now)
{
    if (throttle->render_count == 0) {
        return true;
    }
    if (length == throttle->last_length) {
        return false;
    }
    if (progress >= PROGRESS_FULL) {
        return true;
    }
    uint32_t interval = throttle->last_cost * SPLASH_RENDER_COST_FACTOR;
    if (interval < SPLASH_MIN_RENDER_INTERVAL_MS) {
        interval = SPLASH_MIN_RENDER_INTERVAL_MS;
    }
    return now - throttle->last_tick >= interval;
}

void splash_throttle_note(SplashThrottle* throttle, int32_t length, uint32_t progress, uint32_t now)
{
    throttle->render_count += 1;
    throttle->last_length = length;
    throttle->last_progress = progress;
    throttle->last_tick = now;
}

// ---- DPI and work areas ---------------------------------------------------------------------

// The primary work area in logical units at process_globals.dpi. Should the system not report
// one, the whole primary screen stands in, so that the splash is still centred.
static void read_work_area(RECT* out)
{
    RECT area = {};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0) || area.right <= area.left ||
        area.bottom <= area.top) {
        area.left = 0;
        area.top = 0;
        area.right = GetSystemMetrics(SM_CXSCREEN);
        area.bottom = GetSystemMetrics(SM_CYSCREEN);
    }
    int32_t values[4] = {area.left, area.top, area.right, area.bottom};
    rect_to_logical(values);
    out->left = values[0];
    out->top = values[1];
    out->right = values[2];
    out->bottom = values[3];
}

void splash_settle_dpi()
{
    AppState* app = process_globals.app;
    HDC screen = GetDC(nullptr);
    if (screen) {
        process_globals.dpi = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(nullptr, screen);
    }
    // Without a screen context, or a DPI that makes no sense, the logical base is the only safe
    // value: every scaling formula divides by it.
    if (process_globals.dpi <= 0) {
        process_globals.dpi = 96;
    }
    read_work_area(&app->work_area);
    app->true_dpi = process_globals.dpi;
    process_globals.dpi = splash_dpi_for(app->true_dpi);
    read_work_area(&app->splash_work_area);
}

// ---- images ---------------------------------------------------------------------------------

GpBitmap* png_resource_load(int id)
{
    ByteSpan bytes = {};
    if (resource_load(id, &bytes) != 0) {
        return nullptr;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.length);
    if (!block) {
        return nullptr;
    }
    void* target = GlobalLock(block);
    if (!target) {
        GlobalFree(block);
        return nullptr;
    }
    CopyMemory(target, bytes.data, bytes.length);
    GlobalUnlock(block);

    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
        GlobalFree(block);
        return nullptr;
    }
    GpBitmap* image = nullptr;
    if (GdipCreateBitmapFromStream(stream, &image) != Gdiplus::Ok) {
        image = nullptr;
    }
    // GDI+ holds its own reference for as long as the image lives; dropping ours leaves the block
    // to be freed when the image is disposed of (or now, when decoding failed).
    stream->Release();
    return image;
}

HBITMAP bitmap_from_image(GpBitmap* image, UiRect* rect)
{
    HBITMAP bitmap = nullptr;
    if (GdipCreateHBITMAPFromBitmap(image, &bitmap, 0xFF000000) != Gdiplus::Ok) {
        bitmap = nullptr;
    }
    UINT width = 0;
    UINT height = 0;
    if (GdipGetImageWidth(image, &width) != Gdiplus::Ok) {
        width = 0;
    }
    if (GdipGetImageHeight(image, &height) != Gdiplus::Ok) {
        height = 0;
    }
    rect->width = (int32_t)width;
    rect->height = (int32_t)height;
    return bitmap;
}

// Decodes a PNG resource into a device bitmap and its size. 0, or 1 with nothing kept.
static int load_bitmap(int id, HBITMAP* bitmap, UiRect* rect)
{
    GpBitmap* image = png_resource_load(id);
    if (!image) {
        return 1;
    }
    *bitmap = bitmap_from_image(image, rect);
    (void)GdipDisposeImage(image); // only the device bitmap and the size are used from here on
    // A decoded image that can't be converted would leave the renderer nothing to draw on.
    if (!*bitmap || rect->width <= 0 || rect->height <= 0) {
        if (*bitmap) {
            DeleteObject(*bitmap);
            *bitmap = nullptr;
        }
        return 1;
    }
    return 0;
}

int load_app_icon(HICON* icon)
{
    int size = (int)(64u * (uint32_t)process_globals.dpi / 96u);
    *icon = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(APP_ICON_RESOURCE), IMAGE_ICON, size,
                              size, LR_DEFAULTCOLOR);
    return *icon ? 0 : 1;
}

// ---- set-up ---------------------------------------------------------------------------------

int splash_setup()
{
    AppState* app = process_globals.app;
    UiWindow* window = &app->splash;
    int32_t dpi = process_globals.dpi;

    window->flags |= UI_QUIT_ON_DESTROY;
    window->on_user_message = on_worker_done;
    (void)ui_set_text(window, INSTALLER_TITLE, (int32_t)(sizeof(INSTALLER_TITLE) - 1)); // a window without title still works

    HICON icon = nullptr;
    (void)load_app_icon(&icon); // a failed load leaves the window without an icon
    SendMessageW(window->hwnd, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    SendMessageW(window->hwnd, WM_SETICON, ICON_BIG, (LPARAM)icon);

    LONG_PTR ex_style = GetWindowLongPtrW(window->hwnd, GWL_EXSTYLE);
    SetWindowLongPtrW(window->hwnd, GWL_EXSTYLE, ex_style | WS_EX_LAYERED);

    int background_id = dpi == 192 ? BACKGROUND_2X_RESOURCE : BACKGROUND_RESOURCE;
    if (load_bitmap(background_id, &app->background_bitmap, &app->background_rect) != 0) {
        return 1;
    }
    UiRect logical;
    POINT pixels;
    splash_placement(&app->splash_work_area, &app->background_rect, dpi, &logical, &pixels);
    (void)ui_move(window, logical.x, logical.y, logical.width, logical.height); // every render places it again

    int cap_id = dpi == 192 ? CAP_2X_RESOURCE : CAP_RESOURCE;
    if (load_bitmap(cap_id, &app->cap_bitmap, &app->cap_rect) != 0) {
        return 1;
    }

    splash_thread = GetCurrentThreadId();
    splash_throttle = SplashThrottle{};
    app->splash_high_contrast = ui_high_contrast();
    // A screen reader reads the card as a progress bar named by the window's title. Without the
    // object (no memory) the splash still shows.
    app->splash_access = ui_accessible_create(window->hwnd, ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY,
                                              app->progress / 10);
    window->accessible = app->splash_access;
    ShowWindow(window->hwnd, SW_SHOW);
    splash_render();
    splash_first_picture_shown();
    return 0;
}

// ---- render ---------------------------------------------------------------------------------

// An opaque GDI+ colour from a system colour.
static Gdiplus::ARGB system_argb(int index)
{
    COLORREF color = GetSysColor(index);
    return 0xFF000000u | ((Gdiplus::ARGB)GetRValue(color) << 16) | ((Gdiplus::ARGB)GetGValue(color) << 8) |
           GetBValue(color);
}

// Fills a rectangle of the canvas with an opaque colour; nothing when it is empty or GDI+ fails.
static void fill(HDC canvas, Gdiplus::ARGB color, int32_t x, int32_t y, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0) {
        return;
    }
    GpGraphics* graphics = nullptr;
    if (GdipCreateFromHDC(canvas, &graphics) != Gdiplus::Ok) {
        graphics = nullptr;
    }
    GpSolidFill* brush = nullptr;
    if (GdipCreateSolidFill(color, &brush) != Gdiplus::Ok) {
        brush = nullptr;
    }
    if (graphics && brush) {
        (void)GdipFillRectangleI(graphics, brush, x, y, width, height);
    }
    if (brush) {
        (void)GdipDeleteBrush(brush);
    }
    if (graphics) {
        (void)GdipDeleteGraphics(graphics);
    }
}

// In high contrast the track is the system's window colour and the bar its highlight colour, with
// no cap: the user's colours, whatever the artwork's.
static void paint_contrast_bar(HDC canvas, const SplashBar* bar, int32_t dpi)
{
    SplashBar full = splash_bar_geometry(PROGRESS_FULL, dpi);
    fill(canvas, system_argb(COLOR_WINDOW), bar->x + bar->length, bar->y, full.length - bar->length, bar->height);
    fill(canvas, system_argb(COLOR_HIGHLIGHT), bar->x, bar->y, bar->length, bar->height);
}

// Fills the bar into the background (what was painted before stays: the bar never shortens on
// screen) and blends the cap right of its end.
static void paint_bar(HDC screen, HDC canvas, const AppState* app, const SplashBar* bar)
{
    if (app->splash_high_contrast) {
        paint_contrast_bar(canvas, bar, process_globals.dpi);
        return;
    }
    fill(canvas, BAR_COLOR, bar->x, bar->y, bar->length, bar->height);

    HDC cap_dc = CreateCompatibleDC(screen);
    if (!cap_dc) {
        return;
    }
    HGDIOBJ previous = SelectObject(cap_dc, app->cap_bitmap);
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    (void)AlphaBlend(canvas, bar->x + bar->length, bar->y, app->cap_rect.width, app->cap_rect.height, cap_dc, 0, 0,
                     app->cap_rect.width, app->cap_rect.height, blend);
    SelectObject(cap_dc, previous);
    DeleteDC(cap_dc);
}

// The part of the picture that a render can change once the whole card is on screen: the track's
// row, from the bar's start to the cap's furthest position, as high as the bar or the cap. Each
// render paints into the background bitmap only there.
static RECT bar_band(const AppState* app, int32_t dpi)
{
    SplashBar full = splash_bar_geometry(PROGRESS_FULL, dpi);
    RECT band;
    band.left = full.x;
    band.top = full.y;
    band.right = full.x + full.length + app->cap_rect.width;
    band.bottom = full.y + (full.height > app->cap_rect.height ? full.height : app->cap_rect.height);
    return band;
}

// whole: hand the whole card to the layered update, else only the bar's band. The update's cost
// grows with the area it takes over and is most of a worker's render; the band is a few per cent
// of the card.
static void render_progress(AppState* app, uint32_t progress, bool whole)
{
    if (!app->background_bitmap) {
        return;
    }
    int32_t dpi = process_globals.dpi;
    SplashBar bar = splash_bar_geometry(progress, dpi);

    HDC screen = GetDC(nullptr);
    HDC canvas = CreateCompatibleDC(screen);
    if (!canvas) {
        ReleaseDC(nullptr, screen);
        return;
    }
    HGDIOBJ previous = SelectObject(canvas, app->background_bitmap);
    paint_bar(screen, canvas, app, &bar);

    UiRect logical;
    POINT position;
    splash_placement(&app->splash_work_area, &app->background_rect, dpi, &logical, &position);
    SIZE size = {app->background_rect.width, app->background_rect.height};
    POINT source = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    RECT band = bar_band(app, dpi);
    UPDATELAYEREDWINDOWINFO update = {};
    update.cbSize = sizeof update;
    update.hdcDst = screen;
    update.pptDst = &position;
    update.psize = &size;
    update.hdcSrc = canvas;
    update.pptSrc = &source;
    update.crKey = 0;
    update.pblend = &blend;
    update.dwFlags = ULW_ALPHA;
    update.prcDirty = whole ? nullptr : &band;
    // A refused partial update (the system may insist on the whole card) is retried whole. Both
    // fail harmlessly once the window is gone; the next render tries again.
    if (!UpdateLayeredWindowIndirect(app->splash.hwnd, &update) && !whole) {
        (void)UpdateLayeredWindow(app->splash.hwnd, screen, &position, &size, canvas, &source, 0, &blend, ULW_ALPHA);
    }

    SelectObject(canvas, previous);
    DeleteDC(canvas);
    ReleaseDC(nullptr, screen);
}

void splash_render_frame()
{
    AppState* app = process_globals.app;
    if (app) {
        render_progress(app, app->progress, true);
    }
}

void splash_render()
{
    AppState* app = process_globals.app;
    if (!app) {
        return;
    }
    uint32_t progress = app->progress;
    if (app->splash_access) {
        // Every call, throttled or not: each whole percentage reaches a screen reader once.
        ui_accessible_set_percent(app->splash_access, progress / 10);
    }
    int32_t length = splash_bar_geometry(progress, process_globals.dpi).length;
    uint32_t now = GetTickCount();
    bool own_thread = splash_thread != 0 && GetCurrentThreadId() == splash_thread;
    if (!own_thread && !splash_throttle_allows(&splash_throttle, length, progress, now)) {
        splash_throttle.skipped_count += 1;
        return;
    }
    // The splash thread's renders show the card first; after that only the bar's band changes.
    render_progress(app, progress, own_thread || splash_throttle.render_count == 0);
    splash_throttle_note(&splash_throttle, length, progress, now);
    splash_throttle.last_cost = GetTickCount() - now;
}
