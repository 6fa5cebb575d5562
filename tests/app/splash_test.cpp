// The splash window: its images, the bar and cap painted into the background (read back pixel by
// pixel), placement, the render throttle, and the set-up of a real window.
#include <windows.h>
#include <objbase.h>
#include <oleacc.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "app/launch.h"
#include "app/splash.h"
#include "rt/buffer.h"
#include "rt/resource.h"
#include "ui/ui.h"

namespace {

const uint32_t GREEN = 0xFF68BC71;  // premultiplied BGRA read as a 32-bit value: opaque bar green
const uint32_t GROOVE = 0xFF454545;
const uint32_t STRIP = 0xFF242424;

// GDI+ and a zeroed AppState installed as process_globals.app for the length of one test.
class SplashTest : public testing::Test {
protected:
    void SetUp() override
    {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
        saved_app = process_globals.app;
        saved_dpi = process_globals.dpi;
        app = new AppState();
        std::memset(app, 0, sizeof(*app));
        process_globals.app = app;
        splash_throttle = SplashThrottle{};
    }

    void TearDown() override
    {
        if (app->splash.hwnd) {
            app->splash.flags &= ~UI_QUIT_ON_DESTROY; // no quit message for the tests that follow
            DestroyWindow(app->splash.hwnd);
        }
        ui_accessible_release(app->splash_access);
        if (registered) {
            ui_unregister_class();
        }
        if (app->background_bitmap) {
            DeleteObject(app->background_bitmap);
        }
        if (app->cap_bitmap) {
            DeleteObject(app->cap_bitmap);
        }
        delete app;
        process_globals.app = saved_app;
        process_globals.dpi = saved_dpi;
        Gdiplus::GdiplusShutdown(token);
    }

    // Loads the background and cap of splash DPI dpi the way the set-up does.
    void load_images(int32_t dpi)
    {
        process_globals.dpi = dpi;
        app->background_bitmap = load(dpi == 192 ? 4 : 3, &app->background_rect);
        app->cap_bitmap = load(dpi == 192 ? 6 : 5, &app->cap_rect);
        ASSERT_NE(app->background_bitmap, nullptr);
        ASSERT_NE(app->cap_bitmap, nullptr);
    }

    static HBITMAP load(int id, UiRect* rect)
    {
        Gdiplus::GpBitmap* image = png_resource_load(id);
        if (!image) {
            return nullptr;
        }
        HBITMAP bitmap = bitmap_from_image(image, rect);
        Gdiplus::DllExports::GdipDisposeImage(image);
        return bitmap;
    }

    // The window class, registered here unless another test left it registered.
    void register_class()
    {
        registered = ui_register_class() == 0;
    }

    ULONG_PTR token = 0;
    AppState* app = nullptr;
    AppState* saved_app = nullptr;
    int32_t saved_dpi = 0;
    bool registered = false;
};

// A bitmap's pixels, top row first, as premultiplied BGRA words (0xAARRGGBB).
struct Pixels {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint32_t> data;

    uint32_t at(int32_t x, int32_t y) const { return data[(size_t)y * width + x]; }
};

Pixels read_pixels(HBITMAP bitmap)
{
    BITMAP info = {};
    GetObjectW(bitmap, sizeof(info), &info);
    Pixels pixels;
    pixels.width = info.bmWidth;
    pixels.height = info.bmHeight;
    pixels.data.resize((size_t)info.bmWidth * info.bmHeight);
    BITMAPINFO header = {};
    header.bmiHeader.biSize = sizeof(header.bmiHeader);
    header.bmiHeader.biWidth = info.bmWidth;
    header.bmiHeader.biHeight = -info.bmHeight; // top-down
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 32;
    header.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    int rows = GetDIBits(screen, bitmap, 0, info.bmHeight, pixels.data.data(), &header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(rows, info.bmHeight);
    return pixels;
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

int channel_distance(uint32_t a, uint32_t b)
{
    int worst = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        int d = (int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF);
        worst = d < 0 ? (-d > worst ? -d : worst) : (d > worst ? d : worst);
    }
    return worst;
}

// ---- images -------------------------------------------------------------------------------------

// PNG header facts straight from the resource bytes: IHDR's size, depth and colour type, and
// whether a tRNS chunk is present.
struct PngFacts {
    uint32_t width = 0;
    uint32_t height = 0;
    int depth = -1;
    int color_type = -1;
    bool has_trns = false;
};

uint32_t read_be32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

PngFacts png_facts(int id)
{
    PngFacts facts;
    ByteSpan span = {};
    if (resource_load(id, &span) != 0) {
        return facts;
    }
    const unsigned char* p = (const unsigned char*)span.data;
    size_t at = 8;
    while (at + 8 <= span.length) {
        uint32_t length = read_be32(p + at);
        const unsigned char* type = p + at + 4;
        if (std::memcmp(type, "IHDR", 4) == 0) {
            facts.width = read_be32(p + at + 8);
            facts.height = read_be32(p + at + 12);
            facts.depth = p[at + 16];
            facts.color_type = p[at + 17];
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            facts.has_trns = true;
        }
        at += 12 + (size_t)length;
    }
    return facts;
}

TEST_F(SplashTest, ImageResourcesHaveTheirSizesAndFormats)
{
    struct Case {
        int id;
        int32_t width;
        int32_t height;
        int color_type; // 3: palette, 6: RGBA
    };
    const Case cases[] = {{3, 440, 270, 3}, {4, 880, 540, 3}, {5, 7, 10, 6}, {6, 14, 20, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        PngFacts facts = png_facts(c.id);
        EXPECT_EQ(facts.width, (uint32_t)c.width);
        EXPECT_EQ(facts.height, (uint32_t)c.height);
        EXPECT_EQ(facts.depth, 8);
        EXPECT_EQ(facts.color_type, c.color_type);
        EXPECT_EQ(facts.has_trns, c.color_type == 3); // palette images carry their alpha in tRNS

        UiRect rect = {5, 6, 0, 0};
        HBITMAP bitmap = load(c.id, &rect);
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(rect.x, 5); // left alone
        EXPECT_EQ(rect.y, 6);
        EXPECT_EQ(rect.width, c.width);
        EXPECT_EQ(rect.height, c.height);
        BITMAP info = {};
        GetObjectW(bitmap, sizeof(info), &info);
        EXPECT_EQ(info.bmBitsPixel, 32);
        DeleteObject(bitmap);
    }
    EXPECT_EQ(png_resource_load(99), nullptr); // no such resource
}

// The painted layout the bar relies on, at both scales: the track, its green start, the strip,
// the opaque card and the shadow fading to nothing at the edges.
TEST_F(SplashTest, BackgroundsCarryTheTrackWhereTheBarGoes)
{
    for (int32_t dpi : {96, 192}) {
        SCOPED_TRACE(dpi);
        load_images(dpi);
        Pixels bg = read_pixels(app->background_bitmap);
        const int s = dpi / 96;
        for (int32_t y = 195 * s; y < 205 * s; ++y) {
            for (int32_t x = 61 * s; x < 380 * s; ++x) {
                ASSERT_EQ(bg.at(x, y), GROOVE) << x << "," << y;
            }
            EXPECT_EQ(bg.at(60 * s, y), GREEN) << y; // the green start ends right before the bar
        }
        EXPECT_EQ(bg.at(58 * s, 200 * s), GREEN);
        EXPECT_EQ(bg.at(200 * s, 194 * s), STRIP); // nothing of the track above or below
        EXPECT_EQ(bg.at(200 * s, 205 * s), STRIP);
        EXPECT_EQ(bg.at(390 * s, 200 * s), STRIP); // the track ends before x 390
        EXPECT_EQ(bg.at(31 * s, 171 * s), STRIP);
        for (int32_t y = 20 * s; y < 230 * s; y += s) { // the card is opaque edge to edge
            EXPECT_EQ(bg.at(30 * s, y) >> 24, 0xFFu) << y;
            EXPECT_EQ(bg.at(410 * s - 1, y) >> 24, 0xFFu) << y;
        }
        uint32_t below = bg.at(220 * s, 232 * s);
        EXPECT_EQ(below & 0x00FFFFFF, 0u) << hex(below); // shadow is black
        EXPECT_GE(below >> 24, 60u);
        EXPECT_LE(below >> 24, 100u);
        EXPECT_EQ(bg.at(0, 0), 0u);
        EXPECT_EQ(bg.at(bg.width - 1, bg.height - 1), 0u);
        EXPECT_EQ(bg.at(bg.width / 2, 0), 0u);
        DeleteObject(app->background_bitmap);
        DeleteObject(app->cap_bitmap);
        app->background_bitmap = app->cap_bitmap = nullptr;
    }
}

TEST_F(SplashTest, IconGroupHoldsFiveSizesAndLoadsAtTheDpiSize)
{
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(2), RT_GROUP_ICON);
    ASSERT_NE(found, nullptr);
    const unsigned char* dir = (const unsigned char*)LockResource(LoadResource(module, found));
    ASSERT_NE(dir, nullptr);
    int count = dir[4] | dir[5] << 8;
    std::vector<int> sizes;
    for (int i = 0; i < count; ++i) {
        const unsigned char* entry = dir + 6 + 14 * i;
        sizes.push_back(entry[0] == 0 ? 256 : entry[0]);
        EXPECT_EQ(entry[6] | entry[7] << 8, 32) << "bits per pixel of entry " << i;
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 64, 256}));

    struct Case {
        int32_t dpi;
        int32_t size;
    };
    for (Case c : {Case{96, 64}, Case{120, 80}, Case{144, 96}, Case{192, 128}}) {
        process_globals.dpi = c.dpi;
        HICON icon = (HICON)1;
        ASSERT_EQ(load_app_icon(&icon), 0) << c.dpi;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bitmap = {};
        GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
        EXPECT_EQ(bitmap.bmWidth, c.size) << c.dpi;
        EXPECT_EQ(bitmap.bmHeight, c.size) << c.dpi;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

// ---- bar and cap, read back from the background -------------------------------------------------

struct BarCase {
    uint32_t progress;
    int32_t dpi;
    int32_t x0;     // first bar column
    int32_t length; // filled columns
};

// Renders into the background bitmap and checks the bar, the cap right of it and the untouched
// track beyond the cap. No window: the layered update fails and the picture is still painted.
TEST_F(SplashTest, BarAndCapArePaintedAtTheirPixels)
{
    const BarCase cases[] = {
        {0, 96, 61, 0},    {3, 96, 61, 0},     {4, 96, 61, 1},    {500, 96, 61, 160},  {1000, 96, 61, 321},
        {0, 192, 122, 0},  {3, 192, 122, 0},   {4, 192, 122, 2},  {500, 192, 122, 320}, {1000, 192, 122, 642},
    };
    for (const BarCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "progress " << c.progress << " at " << c.dpi);
        load_images(c.dpi);
        const int s = c.dpi / 96;
        const int32_t y0 = 195 * s;
        const int32_t height = 10 * s;
        const int32_t cap_x = c.x0 + c.length;
        const int32_t cap_width = 7 * s;
        Pixels before = read_pixels(app->background_bitmap);

        app->progress = c.progress;
        splash_render_frame();
        Pixels after = read_pixels(app->background_bitmap);

        for (int32_t y = y0; y < y0 + height; ++y) {
            for (int32_t x = c.x0; x < cap_x; ++x) {
                ASSERT_EQ(after.at(x, y), GREEN) << "bar at " << x << "," << y << ": " << hex(after.at(x, y));
            }
            // The cap's left columns are opaque green on the bar's lines.
            for (int32_t x = cap_x; x < cap_x + 2 * s; ++x) {
                ASSERT_EQ(after.at(x, y), GREEN) << "cap at " << x << "," << y;
            }
        }
        // The cap's rounded right: its middle reaches green, its corners leave the track alone.
        EXPECT_LE(channel_distance(after.at(cap_x + cap_width - 2, y0 + height / 2), GREEN), 8);
        EXPECT_EQ(after.at(cap_x + cap_width - 1, y0), before.at(cap_x + cap_width - 1, y0));
        EXPECT_EQ(after.at(cap_x + cap_width - 1, y0 + height - 1), before.at(cap_x + cap_width - 1, y0 + height - 1));
        // Everything outside the bar's rows and right of the cap is as painted in the image.
        for (int32_t y = 0; y < after.height; ++y) {
            for (int32_t x = 0; x < after.width; ++x) {
                bool in_rows = y >= y0 && y < y0 + height;
                if (!in_rows || x < c.x0 || x >= cap_x + cap_width) {
                    ASSERT_EQ(after.at(x, y), before.at(x, y)) << "changed " << x << "," << y;
                }
            }
        }
        DeleteObject(app->background_bitmap);
        DeleteObject(app->cap_bitmap);
        app->background_bitmap = app->cap_bitmap = nullptr;
    }
}

// In high contrast the bar is the system's highlight colour on the system's window colour along
// the whole track, and no cap is drawn; the rest of the card keeps its artwork.
TEST_F(SplashTest, HighContrastBarInSystemColoursWithoutTheCap)
{
    auto opaque = [](int index) {
        COLORREF c = GetSysColor(index);
        return 0xFF000000u | ((uint32_t)GetRValue(c) << 16) | ((uint32_t)GetGValue(c) << 8) | GetBValue(c);
    };
    const uint32_t highlight = opaque(COLOR_HIGHLIGHT);
    const uint32_t window = opaque(COLOR_WINDOW);
    app->splash_high_contrast = true;
    const BarCase cases[] = {{0, 96, 61, 0}, {500, 96, 61, 160}, {1000, 96, 61, 321}, {500, 192, 122, 320}};
    for (const BarCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "progress " << c.progress << " at " << c.dpi);
        load_images(c.dpi);
        const int s = c.dpi / 96;
        const int32_t y0 = 195 * s;
        const int32_t height = 10 * s;
        const int32_t track_end = c.x0 + 321 * s;
        Pixels before = read_pixels(app->background_bitmap);
        app->progress = c.progress;
        splash_render_frame();
        Pixels after = read_pixels(app->background_bitmap);
        for (int32_t y = 0; y < after.height; ++y) {
            for (int32_t x = 0; x < after.width; ++x) {
                bool in_track = y >= y0 && y < y0 + height && x >= c.x0 && x < track_end;
                uint32_t expected = !in_track ? before.at(x, y) : x < c.x0 + c.length ? highlight : window;
                ASSERT_EQ(after.at(x, y), expected) << x << "," << y << ": " << hex(after.at(x, y));
            }
        }
        DeleteObject(app->background_bitmap);
        DeleteObject(app->cap_bitmap);
        app->background_bitmap = app->cap_bitmap = nullptr;
    }
}

TEST_F(SplashTest, BarNeverShortensOnScreen)
{
    for (int32_t dpi : {96, 192}) {
        SCOPED_TRACE(dpi);
        load_images(dpi);
        const int s = dpi / 96;
        app->progress = 500;
        splash_render_frame();
        app->progress = 200; // a second address starting over
        splash_render_frame();
        Pixels after = read_pixels(app->background_bitmap);
        for (int32_t x = 61 * s; x < (61 + 160) * s + 2 * s; ++x) { // the 500 bar and its cap's opaque columns
            ASSERT_LE(channel_distance(after.at(x, 200 * s), GREEN), 1) << x << ": " << hex(after.at(x, 200 * s));
        }
        EXPECT_EQ(after.at((61 + 160 + 7) * s + 1, 200 * s), GROOVE); // beyond the furthest cap
        DeleteObject(app->background_bitmap);
        DeleteObject(app->cap_bitmap);
        app->background_bitmap = app->cap_bitmap = nullptr;
    }
}

// ---- placement and DPI --------------------------------------------------------------------------

TEST(SplashArithmetic, SplashDpiIsNinetySixBelowOneNinetyTwo)
{
    const int32_t cases[][2] = {{96, 96}, {120, 96}, {144, 96}, {191, 96}, {192, 192}, {240, 192}, {384, 192},
                                {-96, 192} /* unsigned comparison */};
    for (const auto& c : cases) {
        EXPECT_EQ(splash_dpi_for(c[0]), c[1]) << c[0];
    }
}

TEST(SplashArithmetic, WindowIsCentredInTheWorkArea)
{
    struct Case {
        RECT work_pixels;
        int32_t dpi;
        UiRect background;
        LONG x; // pixels
        LONG y;
    };
    const Case cases[] = {
        {{0, 0, 1920, 1040}, 96, {0, 0, 440, 270}, 740, 385},
        {{0, 0, 3840, 2080}, 192, {0, 0, 880, 540}, 1480, 770},
        {{0, 0, 3841, 2081}, 192, {0, 0, 880, 540}, 1480, 770},  // odd pixels vanish in logical units
        {{60, 0, 1920, 1080}, 96, {0, 0, 440, 270}, 770, 405},   // taskbar on the left
        {{0, 0, 1280, 1024}, 96, {0, 0, 440, 270}, 420, 377},
        {{-1920, 0, 0, 1040}, 96, {0, 0, 440, 270}, -1180, 385}, // primary screen right of the origin
    };
    const int32_t saved = process_globals.dpi;
    for (const Case& c : cases) {
        process_globals.dpi = c.dpi;
        int32_t values[4] = {c.work_pixels.left, c.work_pixels.top, c.work_pixels.right, c.work_pixels.bottom};
        rect_to_logical(values);
        RECT logical_area = {values[0], values[1], values[2], values[3]};
        UiRect logical;
        POINT pixels;
        splash_placement(&logical_area, &c.background, c.dpi, &logical, &pixels);
        EXPECT_EQ(logical.width, 440);
        EXPECT_EQ(logical.height, 270);
        EXPECT_EQ(pixels.x, c.x) << c.work_pixels.right << " at " << c.dpi;
        EXPECT_EQ(pixels.y, c.y) << c.work_pixels.bottom << " at " << c.dpi;
    }
    process_globals.dpi = saved;
}

// ---- throttle -------------------------------------------------------------------------------------

TEST(SplashThrottleTest, DecisionsFollowThePicture)
{
    SplashThrottle t = {};
    EXPECT_TRUE(splash_throttle_allows(&t, 0, 0, 5000)); // nothing shown yet
    splash_throttle_note(&t, 0, 0, 5000);

    struct Step {
        int32_t length;
        uint32_t progress;
        uint32_t now;
        bool allowed;
        const char* why;
    };
    const Step steps[] = {
        {0, 1, 9000, false, "same picture, however late"},
        {10, 32, 5032, false, "changed but too soon"},
        {10, 32, 5033, true, "changed and due"},
        {12, 40, 5040, false, "too soon after the last render"},
        {3, 10, 5100, true, "a shorter bar is a change too"},
        {321, 1000, 5101, true, "the full bar never waits"},
        {321, 1000, 5102, false, "the completion frame repeats the full bar"},
        {321, 1000, 9999, false, "and stays skipped"},
    };
    for (const Step& s : steps) {
        bool allowed = splash_throttle_allows(&t, s.length, s.progress, s.now);
        EXPECT_EQ(allowed, s.allowed) << s.why;
        if (allowed) {
            splash_throttle_note(&t, s.length, s.progress, s.now);
        }
    }
    EXPECT_EQ(t.render_count, 4u);

    // The tick count wraps after 49.7 days.
    SplashThrottle w = {};
    splash_throttle_note(&w, 5, 15, 0xFFFFFFF0u);
    EXPECT_FALSE(splash_throttle_allows(&w, 6, 18, 0x10u)); // 32 ms later
    EXPECT_TRUE(splash_throttle_allows(&w, 6, 18, 0x11u));  // 33 ms later
}

// A 256 MiB download in 16 KiB chunks at several speeds, on a simulated clock: the renders are
// few, each shows a new picture, and the last one shows the full bar.
TEST(SplashThrottleTest, SimulatedDownloadsRenderFewFramesAndEndFull)
{
    const uint64_t size = 256ull << 20;
    const uint64_t chunk = 16384;
    struct Speed {
        double bytes_per_ms;
        uint32_t max_renders;
    };
    // 170 MB/s is a loopback download under Wine; 1 MB/s a slow line.
    const Speed speeds[] = {{170000.0, 60}, {10000.0, 323}, {1000.0, 323}};
    for (const Speed& speed : speeds) {
        for (int32_t dpi : {96, 192}) {
            SplashThrottle t = {};
            int32_t shown = -1;
            double clock = 1000.0;
            uint32_t renders = 0;
            auto offer = [&](uint32_t progress) {
                int32_t length = splash_bar_geometry(progress, dpi).length;
                uint32_t now = (uint32_t)clock;
                if (splash_throttle_allows(&t, length, progress, now)) {
                    EXPECT_NE(length, shown);
                    splash_throttle_note(&t, length, progress, now);
                    shown = length;
                    ++renders;
                }
            };
            offer(0);
            offer(1);
            for (uint64_t total = chunk; total <= size; total += chunk) {
                clock += chunk / speed.bytes_per_ms;
                uint64_t progress = total * 1000 / size;
                offer((uint32_t)(progress > 1000 ? 1000 : progress));
            }
            offer(1000); // completion
            EXPECT_EQ(shown, splash_bar_geometry(1000, dpi).length);
            EXPECT_LE(renders, speed.max_renders) << speed.bytes_per_ms << " at " << dpi;
            std::printf("[ figures  ] %.0f MB/s at %d DPI: %u renders for %llu chunks over %.1f s\n",
                        speed.bytes_per_ms / 1000.0, (int)dpi, renders, (unsigned long long)(size / chunk),
                        (clock - 1000.0) / 1000.0);
        }
    }
}

// ---- the real window ------------------------------------------------------------------------------

TEST_F(SplashTest, SetupMakesALayeredCentredWindow)
{
    register_class();
    splash_settle_dpi();
    EXPECT_GT(app->true_dpi, 0);
    EXPECT_EQ(process_globals.dpi, splash_dpi_for(app->true_dpi));
    ASSERT_EQ(ui_window_create(&app->splash), 0);
    ASSERT_EQ(splash_setup(), 0);

    EXPECT_TRUE(app->splash.flags & UI_QUIT_ON_DESTROY);
    EXPECT_EQ(app->splash.on_user_message, on_worker_done);
    wchar_t title[64] = {};
    GetWindowTextW(app->splash.hwnd, title, 64);
    EXPECT_STREQ(title, L"Quorvel Web Installer");
    EXPECT_TRUE(GetWindowLongPtrW(app->splash.hwnd, GWL_EXSTYLE) & WS_EX_LAYERED);
    EXPECT_TRUE(IsWindowVisible(app->splash.hwnd));
    EXPECT_NE(SendMessageW(app->splash.hwnd, WM_GETICON, ICON_BIG, 0), 0);

    const int s = process_globals.dpi / 96;
    EXPECT_EQ(app->background_rect.x, 0);
    EXPECT_EQ(app->background_rect.width, 440 * s);
    EXPECT_EQ(app->background_rect.height, 270 * s);
    EXPECT_EQ(app->cap_rect.width, 7 * s);
    EXPECT_EQ(app->cap_rect.height, 10 * s);

    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT window = {};
    GetWindowRect(app->splash.hwnd, &window);
    EXPECT_EQ(window.right - window.left, 440 * s);
    EXPECT_EQ(window.bottom - window.top, 270 * s);
    EXPECT_LE(std::abs((window.left - area.left) - (area.right - window.right)), 2 * s);
    EXPECT_LE(std::abs((window.top - area.top) - (area.bottom - window.bottom)), 2 * s);
    EXPECT_EQ(splash_throttle.render_count, 1u); // the first frame, at progress 0
    // Screen readers get the card as a progress bar (tests/ui/accessible_test.cpp reads it).
    EXPECT_NE(app->splash_access, nullptr);
    EXPECT_EQ(app->splash.accessible, app->splash_access);
}

namespace {
std::vector<HWND> value_events;
void CALLBACK record_value_event(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG child, DWORD, DWORD)
{
    if (object == OBJID_CLIENT && child == CHILDID_SELF) {
        value_events.push_back(hwnd);
    }
}
}  // namespace

// Renders, throttled or not, tell a screen reader each whole percentage once: per-mille steps
// within a percent raise nothing, and a jump raises one event.
TEST_F(SplashTest, EachWholePercentageRaisesOneValueChange)
{
    register_class();
    splash_settle_dpi();
    ASSERT_EQ(ui_window_create(&app->splash), 0);
    app->progress = 1;
    ASSERT_EQ(splash_setup(), 0);
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr,
                                         record_value_event, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);
    value_events.clear();
    const uint32_t steps[] = {1, 5, 9, 10, 11, 19, 20, 35, 36, 500, 999, 1000, 1000};
    for (uint32_t progress : steps) {
        app->progress = progress;
        splash_render();
    }
    MSG msg;
    for (int round = 0; round < 5; ++round) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
    UnhookWinEvent(hook);
    // 1, 2, 3, 50, 99 and 100 percent.
    EXPECT_EQ(value_events, std::vector<HWND>(6, app->splash.hwnd));
}

struct CostRun {
    AppState* app;
    double ms;
};

// 256 MiB in 16 KiB chunks as fast as the renders let it go, then the completion call.
DWORD WINAPI simulated_download(void* argument)
{
    CostRun* run = (CostRun*)argument;
    const uint64_t size = 256ull << 20;
    auto begin = std::chrono::steady_clock::now();
    for (uint64_t total = 16384; total <= size; total += 16384) {
        run->app->progress = (uint32_t)(total * 1000 / size);
        splash_render();
    }
    run->app->progress = 1000;
    splash_render();
    run->ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    return 0;
}

// Render cost and the effect of the throttle on a 256 MiB download delivered as fast as the
// renders allow. Timing only, so it is run by hand:
//   --gtest_also_run_disabled_tests --gtest_filter='*RenderCost*'
TEST_F(SplashTest, DISABLED_RenderCost)
{
    register_class();
    splash_settle_dpi();
    ASSERT_EQ(ui_window_create(&app->splash), 0);
    ASSERT_EQ(splash_setup(), 0);
    using clock = std::chrono::steady_clock;

    const int samples = 200;
    auto start = clock::now();
    for (int i = 0; i < samples; ++i) {
        app->progress = (uint32_t)(i * 5);
        splash_render_frame();
    }
    double per_render = std::chrono::duration<double, std::milli>(clock::now() - start).count() / samples;

    // The download worker's sequence, from a thread that is not the window's.
    splash_throttle = SplashThrottle{};
    CostRun run = {app, 0.0};
    HANDLE thread = CreateThread(nullptr, 0, simulated_download, &run, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // The layered update from the other thread sends window messages here, as it does to the
    // installer's message loop: keep them flowing.
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    CloseHandle(thread);
    std::printf("[ figures  ] splash DPI %d: %.2f ms a render; 16384 chunks + completion: %u renders, "
                "%u skipped, %.0f ms (unthrottled about %.0f ms)\n",
                (int)process_globals.dpi, per_render, splash_throttle.render_count, splash_throttle.skipped_count,
                run.ms, per_render * 16385);
}

} // namespace
