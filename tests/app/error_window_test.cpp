// The error window against real windows: texts by language, layout and fonts at several true
// DPIs, the link's colour and cursor, and what the link and the close command do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/config.h"
#include "app/error_window.h"
#include "rt/heap.h"

namespace {

std::vector<std::string> opened_links;
int open_result = 0;
ShellOpenWay open_way = SHELL_OPEN_BY_DESKTOP;

int record_open(const char* target, ShellOpenWay* way)
{
    opened_links.push_back(target);
    *way = open_result == 0 ? open_way : SHELL_OPEN_NONE;
    return open_result;
}

std::wstring wide(const char* utf8, int32_t length)
{
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, length, nullptr, 0);
    std::wstring out((size_t)units, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, length, &out[0], units);
    return out;
}

std::wstring window_text(HWND hwnd)
{
    wchar_t buffer[512] = {};
    GetWindowTextW(hwnd, buffer, 512);
    return buffer;
}

// Rectangle relative to the parent's client area (or the screen for a top-level window).
RECT child_rect(HWND hwnd)
{
    RECT r = {};
    GetWindowRect(hwnd, &r);
    HWND parent = GetParent(hwnd);
    if (parent != nullptr) {
        MapWindowPoints(nullptr, parent, (POINT*)&r, 2);
    }
    return r;
}

LOGFONTW font_of(HWND hwnd)
{
    LOGFONTW font = {};
    HFONT handle = (HFONT)SendMessageW(hwnd, WM_GETFONT, 0, 0);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(GetObjectW(handle, sizeof font, &font), (int)sizeof font);
    return font;
}

bool quit_posted()
{
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

class ErrorWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        saved = process_globals;
        ASSERT_EQ(ui_register_class(), 0);
        app = (AppState*)heap_alloc_zeroed(sizeof(AppState));
        config = (InstallerConfig*)heap_alloc_zeroed(sizeof(InstallerConfig));
        ASSERT_TRUE(app && config);
        process_globals.app = app;
        process_globals.config = config;
        process_globals.dpi = 96; // the splash DPI before the error window opens
        opened_links.clear();
        open_result = 0;
        open_way = SHELL_OPEN_BY_DESKTOP;
        error_window_open_link = record_open;
    }

    void TearDown() override
    {
        error_window_release();
        (void)quit_posted();
        ui_unregister_class();
        error_window_open_link = shell_open_default;
        heap_free(app);
        heap_free(config);
        process_globals = saved;
    }

    // Shows the window at true_dpi with the screen's work area in logical units.
    void show(int32_t true_dpi, RECT work_area_pixels = {0, 0, 1280, 1024})
    {
        app->true_dpi = true_dpi;
        app->work_area = {ui_unscale(work_area_pixels.left, true_dpi), ui_unscale(work_area_pixels.top, true_dpi),
                          ui_unscale(work_area_pixels.right, true_dpi),
                          ui_unscale(work_area_pixels.bottom, true_dpi)};
        show_error_window();
        ASSERT_TRUE(IsWindow(app->error_window.hwnd));
    }

    void click_link()
    {
        // Wine reports the click on the button-down, Windows on the button-up; a second report
        // would reach a window that is already gone.
        SendMessageW(app->link_label.hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageW(app->link_label.hwnd, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    }

    ProcessGlobals saved = {};
    AppState* app = nullptr;
    InstallerConfig* config = nullptr;
    int (*shell_open_default)(const char*, ShellOpenWay*) = error_window_open_link;
};

}  // namespace

TEST(ErrorWindowTexts, RussianOnlyForRussianRussia)
{
    const ErrorTexts* english = error_texts_for_language(0x0409);
    const ErrorTexts* russian = error_texts_for_language(0x0419);
    struct Row {
        uint32_t language;
        const ErrorTexts* expected;
    } rows[] = {
        {0x0419, russian}, {0x0409, english}, {0x0819, english}, {0x0809, english},
        {0x0000, english}, {0x0422, english}, {0x0418, english},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(error_texts_for_language(row.language), row.expected) << std::hex << row.language;
    }

    EXPECT_EQ(wide(english->message, english->message_length),
              L"An error has occurred during the installation.\r\nPlease try downloading the installer manually.");
    EXPECT_EQ(wide(english->link, english->link_length), L"Download Quorvel");
    EXPECT_EQ(wide(russian->message, russian->message_length),
              L"\u0412 \u043f\u0440\u043e\u0446\u0435\u0441\u0441\u0435 \u0443\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0438 "
              L"\u043f\u0440\u043e\u0438\u0437\u043e\u0448\u043b\u0430 \u043e\u0448\u0438\u0431\u043a\u0430.\r\n"
              L"\u041f\u043e\u043f\u0440\u043e\u0431\u0443\u0439\u0442\u0435 \u0441\u043a\u0430\u0447\u0430\u0442\u044c "
              L"\u0443\u0441\u0442\u0430\u043d\u043e\u0432\u043e\u0447\u043d\u044b\u0439 \u0444\u0430\u0439\u043b "
              L"\u0432\u0440\u0443\u0447\u043d\u0443\u044e.");
    EXPECT_EQ(wide(russian->link, russian->link_length), L"\u0421\u043a\u0430\u0447\u0430\u0442\u044c Quorvel");
    EXPECT_EQ(wide(english->copied, english->copied_length), L"Address copied: paste it into your browser");
    EXPECT_EQ(wide(russian->copied, russian->copied_length),
              L"\u0410\u0434\u0440\u0435\u0441 \u0441\u043a\u043e\u043f\u0438\u0440\u043e\u0432\u0430\u043d: "
              L"\u0432\u0441\u0442\u0430\u0432\u044c\u0442\u0435 \u0435\u0433\u043e \u0432 "
              L"\u0431\u0440\u0430\u0443\u0437\u0435\u0440");

    // The locale query must yield the user's language identifier, as another route reports it.
    EXPECT_EQ(user_language(), (uint32_t)LANGIDFROMLCID(GetUserDefaultLCID()));
}

TEST(ErrorWindowLink, TargetFallsBackFromHttpsToHttp)
{
    char https[] = "https://example.test/q";
    char http[] = "http://example.test/q";
    char empty[] = "";
    struct Row {
        char* https_url;
        char* http_url;
        const char* expected;
    } rows[] = {
        {https, http, https}, {https, nullptr, https}, {nullptr, http, http},
        {empty, http, http},  {nullptr, nullptr, nullptr}, {empty, empty, nullptr},
    };
    for (const Row& row : rows) {
        InstallerConfig config = {};
        config.https_url = row.https_url;
        config.http_url = row.http_url;
        EXPECT_EQ(error_link_target(&config), row.expected)
            << (row.https_url ? row.https_url : "(none)") << " / " << (row.http_url ? row.http_url : "(none)");
    }
    EXPECT_EQ(error_link_target(nullptr), nullptr);
}

TEST(ErrorWindowFont, TenPointArialTruncatedAndCallerFieldsKept)
{
    int32_t saved_dpi = process_globals.dpi;
    struct Row {
        int32_t dpi;
        LONG height;
    } rows[] = {{96, -13}, {120, -16}, {144, -20}, {192, -26}, {72, -10}, {100, -13}};
    for (const Row& row : rows) {
        process_globals.dpi = row.dpi;
        LOGFONTW font = {};
        font.lfWeight = 400;
        font.lfUnderline = 1;
        font.lfItalic = 1;
        for (wchar_t& c : font.lfFaceName) {
            c = L'x'; // leftovers past the terminator must not matter, the terminator must be there
        }
        font_init(&font);
        EXPECT_EQ(font.lfHeight, row.height) << row.dpi;
        EXPECT_STREQ(font.lfFaceName, L"Arial");
        EXPECT_EQ(font.lfCharSet, 255);
        EXPECT_EQ(font.lfQuality, PROOF_QUALITY);
        EXPECT_EQ(font.lfWeight, 400);
        EXPECT_EQ(font.lfUnderline, 1);
        EXPECT_EQ(font.lfItalic, 1);
        EXPECT_EQ(font.lfWidth, 0);
    }
    process_globals.dpi = saved_dpi;
}

TEST_F(ErrorWindowTest, LaidOutAtTheTrueDpi)
{
    struct Row {
        int32_t dpi;
        RECT work_area; // pixels
        SIZE window;
        LONG font_height;
    } rows[] = {
        {96, {0, 0, 1280, 1024}, {400, 130}, -13},
        {120, {0, 0, 1280, 1024}, {500, 162}, -16},
        {144, {0, 0, 1280, 1024}, {600, 195}, -20},
        {192, {0, 0, 1280, 1024}, {800, 260}, -26},
        {144, {300, 150, 1260, 990}, {600, 195}, -20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dpi);
        show(row.dpi, row.work_area);
        EXPECT_EQ(process_globals.dpi, row.dpi);
        HWND hwnd = app->error_window.hwnd;

        RECT outer = child_rect(hwnd);
        EXPECT_EQ(outer.right - outer.left, row.window.cx);
        EXPECT_EQ(outer.bottom - outer.top, row.window.cy);
        // Centred in logical units, then scaled.
        const RECT& area = app->work_area;
        EXPECT_EQ(outer.left, ui_scale((area.left + area.right - 400) / 2, row.dpi));
        EXPECT_EQ(outer.top, ui_scale((area.top + area.bottom - 130) / 2, row.dpi));

        struct Expected {
            HWND hwnd;
            int32_t x, y, width, height; // width 0: up to the client area's margin (TextsFitInside...)
        } controls[] = {
            {app->error_icon.hwnd, 16, 16, 32, 32},
            {app->message_label.hwnd, 69, 15, 0, 50},
            {app->link_label.hwnd, 140, 65, 120, 20},
        };
        for (const Expected& c : controls) {
            RECT r = child_rect(c.hwnd);
            EXPECT_EQ(r.left, ui_scale(c.x, row.dpi));
            EXPECT_EQ(r.top, ui_scale(c.y, row.dpi));
            if (c.hwnd == app->error_icon.hwnd) {
                // An icon control takes its icon's size: the system's icon size, which must stay
                // clear of the message at x 69.
                EXPECT_EQ(r.right - r.left, GetSystemMetrics(SM_CXICON));
                EXPECT_EQ(r.bottom - r.top, GetSystemMetrics(SM_CYICON));
                EXPECT_LE(r.right, ui_scale(69, row.dpi));
            } else {
                if (c.width != 0) {
                    EXPECT_EQ(r.right - r.left, ui_scale(c.width, row.dpi));
                }
                EXPECT_EQ(r.bottom - r.top, ui_scale(c.height, row.dpi));
            }
            EXPECT_TRUE(IsWindowVisible(c.hwnd));
        }

        LOGFONTW message_font = font_of(app->message_label.hwnd);
        EXPECT_EQ(message_font.lfHeight, row.font_height);
        EXPECT_EQ(message_font.lfUnderline, 0);
        EXPECT_STREQ(message_font.lfFaceName, L"Arial");
        LOGFONTW link_font = font_of(app->link_label.hwnd);
        EXPECT_EQ(link_font.lfHeight, row.font_height);
        EXPECT_EQ(link_font.lfUnderline, 1);
        EXPECT_EQ(link_font.lfWeight, 400);
        EXPECT_STREQ(link_font.lfFaceName, L"Arial");

        error_window_release();
        ASSERT_FALSE(IsWindow(hwnd));
        EXPECT_FALSE(quit_posted()) << "tear-down of a window must not end a loop";
        *app = AppState();
        process_globals.dpi = 96;
    }
}

// Nothing of either language's texts is cut off at any DPI: each text, word-wrapped as the static
// control draws it, in the label's own font at the label's pixel width, fits the label; each label
// lies inside the client area, and the message ends 16 units short of its right edge (the icon's
// margin on the left), however wide the frame leaves the client area. The note that replaces the
// link once the address is on the clipboard fits on one line between both margins in either
// language, and its link is centred there, as wide as its own text.
TEST_F(ErrorWindowTest, TextsFitInsideTheWindowInBothLanguagesAtEachDpi)
{
    char https[] = "https://example.test/download";
    config->https_url = https;
    open_way = SHELL_OPEN_COPIED;
    const ErrorTexts* languages[] = {error_texts_for_language(0x0409), error_texts_for_language(0x0419)};
    for (int32_t dpi : {96, 120, 144, 192}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        show(dpi);
        RECT client = {};
        ASSERT_TRUE(GetClientRect(app->error_window.hwnd, &client));
        RECT message = child_rect(app->message_label.hwnd);
        RECT link = child_rect(app->link_label.hwnd);
        // Scaled positions and widths each round down: up to a few pixels short, never past.
        EXPECT_LE(message.right, client.right - ui_scale(16, dpi));
        EXPECT_GE(message.right, client.right - ui_scale(16, dpi) - 3);
        EXPECT_LE(message.bottom, link.top) << "the link would cover the message's last line";
        click_link(); // the link becomes the note
        RECT note = child_rect(app->link_label.hwnd);
        RECT room = {ui_scale(16, dpi), note.top, client.right - ui_scale(16, dpi), note.bottom};
        EXPECT_GE(note.left, room.left);
        EXPECT_LE(note.right, room.right);
        EXPECT_LE(std::abs((note.left - room.left) - (room.right - note.right)), 3) << "not centred";
        EXPECT_EQ(note.top, link.top);
        {
            // The note's own text on one line in its link's width.
            const ErrorTexts* texts = error_texts_for_language(user_language());
            std::wstring text = wide(texts->copied, texts->copied_length);
            HDC dc = GetDC(app->link_label.hwnd);
            HGDIOBJ old_font = SelectObject(dc, (HFONT)SendMessageW(app->link_label.hwnd, WM_GETFONT, 0, 0));
            SIZE size = {};
            GetTextExtentPoint32W(dc, text.c_str(), (int)text.size(), &size);
            EXPECT_LE(size.cx, note.right - note.left) << "the note's text is cut";
            SelectObject(dc, old_font);
            ReleaseDC(app->link_label.hwnd, dc);
        }

        struct Label {
            HWND hwnd;
            RECT rect;
            const char* ErrorTexts::*text;
            int32_t ErrorTexts::*length;
        } labels[] = {{app->message_label.hwnd, message, &ErrorTexts::message, &ErrorTexts::message_length},
                      {app->link_label.hwnd, link, &ErrorTexts::link, &ErrorTexts::link_length},
                      {app->link_label.hwnd, room, &ErrorTexts::copied, &ErrorTexts::copied_length}};
        for (const Label& label : labels) {
            EXPECT_GE(label.rect.left, 0);
            EXPECT_GE(label.rect.top, 0);
            EXPECT_LE(label.rect.right, client.right);
            EXPECT_LE(label.rect.bottom, client.bottom);
            LONG width = label.rect.right - label.rect.left;
            LONG height = label.rect.bottom - label.rect.top;

            HDC dc = GetDC(label.hwnd);
            ASSERT_NE(dc, nullptr);
            HGDIOBJ old_font = SelectObject(dc, (HFONT)SendMessageW(label.hwnd, WM_GETFONT, 0, 0));
            TEXTMETRICW metrics = {};
            GetTextMetricsW(dc, &metrics);
            for (const ErrorTexts* texts : languages) {
                std::wstring text = wide(texts->*label.text, texts->*label.length);
                RECT needed = {0, 0, width, 0};
                DrawTextW(dc, text.c_str(), (int)text.size(), &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
                EXPECT_LE(needed.right, width) << "a word wider than its label: " << testing::PrintToString(text);
                EXPECT_LE(needed.bottom, height) << "more lines than its label holds: " << testing::PrintToString(text);
                if (label.text != &ErrorTexts::message) {
                    EXPECT_EQ(needed.bottom, metrics.tmHeight) << "more than one line: " << testing::PrintToString(text);
                }
            }
            SelectObject(dc, old_font);
            ReleaseDC(label.hwnd, dc);
        }

        error_window_release();
        *app = AppState();
        process_globals.dpi = 96;
    }
    config->https_url = nullptr;
}

TEST_F(ErrorWindowTest, FixedPopupWithTitleIconsAndTexts)
{
    show(120);
    HWND hwnd = app->error_window.hwnd;
    EXPECT_TRUE(IsWindowVisible(hwnd));

    LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_EQ(GetParent(app->message_label.hwnd), hwnd);

    EXPECT_EQ(window_text(hwnd), L"Quorvel Web Installer");
    const ErrorTexts* texts = error_texts_for_language(user_language());
    EXPECT_EQ(window_text(app->message_label.hwnd), wide(texts->message, texts->message_length));
    EXPECT_EQ(window_text(app->link_label.hwnd), L"<a>" + wide(texts->link, texts->link_length) + L"</a>");

    EXPECT_NE(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_EQ((HICON)SendMessageW(app->error_icon.hwnd, STM_GETIMAGE, IMAGE_ICON, 0),
              LoadIconW(nullptr, IDI_ERROR)); // the shared system icon at the system's icon size
    EXPECT_EQ(app->error_window.on_command, on_error_command);
    EXPECT_TRUE(app->error_window.flags & UI_QUIT_ON_DESTROY);
}

// The window's own colours (a blue link, its white background), or in high contrast the system's:
// what each control is told to draw with, and what the background is painted with. The setting is
// read again when the system says that it changed.
TEST_F(ErrorWindowTest, OwnColoursOrTheSystemsInHighContrast)
{
    show(96);
    HWND hwnd = app->error_window.hwnd;
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    HBITMAP canvas = CreateCompatibleBitmap(GetDC(nullptr), 8, 8);
    HGDIOBJ old_bitmap = SelectObject(dc, canvas);
    auto brush_color = [](LRESULT brush) {
        LOGBRUSH info = {};
        EXPECT_EQ(GetObjectW((HGDIOBJ)brush, sizeof info, &info), (int)sizeof info);
        return info.lbColor;
    };
    struct Row {
        bool system;
        COLORREF link, message, background;
    } rows[] = {
        {false, 0xD97400, 0x123456, 0xFFFFFF}, // the message keeps the control's own colour
        {true, GetSysColor(COLOR_HOTLIGHT), GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.system ? "system colours" : "own colours");
        if (row.system) {
            app->error_window.flags |= UI_SYSTEM_COLORS;
        } else {
            app->error_window.flags &= (uint8_t)~UI_SYSTEM_COLORS;
        }
        SetTextColor(dc, 0x123456);
        LRESULT brush = SendMessageW(hwnd, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)app->link_label.hwnd);
        EXPECT_EQ(GetTextColor(dc), row.link);
        EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
        // The link repaints alone when its focus cue changes: it gets the background's colour.
        EXPECT_EQ(brush_color(brush), row.background);

        SetTextColor(dc, 0x123456);
        brush = SendMessageW(hwnd, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)app->message_label.hwnd);
        EXPECT_EQ(GetTextColor(dc), row.message);
        EXPECT_EQ((HGDIOBJ)brush, GetStockObject(NULL_BRUSH));

        brush = SendMessageW(hwnd, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)app->error_icon.hwnd);
        EXPECT_EQ(brush_color(brush), row.background);

        SetPixel(dc, 3, 3, 0x010203);
        SendMessageW(hwnd, WM_ERASEBKGND, (WPARAM)dc, 0);
        EXPECT_EQ(GetPixel(dc, 3, 3), row.background);
    }
    // The test prefix has high contrast off: told that the settings changed, the window goes back
    // to its own colours.
    ASSERT_FALSE(ui_high_contrast());
    SendMessageW(hwnd, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_FALSE(app->error_window.flags & UI_SYSTEM_COLORS);
    SelectObject(dc, old_bitmap);
    DeleteObject(canvas);
    DeleteDC(dc);
}

// Every way that hands the address to a program (or finds none) closes the window and ends the
// loop; when it could only be put on the clipboard, the window stays, and its link says so.
TEST_F(ErrorWindowTest, LinkOpensTheConfiguredAddressAndEndsTheLoop)
{
    char odd_https[] = "ftp://example.test/Quorvel setup?a=1&b=%20\xc3\xbc"; // any scheme, passed as is
    char https[] = "https://example.test/download";
    char http[] = "http://example.test/download";
    char empty[] = "";
    const ErrorTexts* texts = error_texts_for_language(user_language());
    struct Row {
        char* https_url;
        char* http_url;
        int open_result;
        ShellOpenWay way;
        const char* expected; // null: nothing opened
    } rows[] = {
        {odd_https, http, 0, SHELL_OPEN_BY_DESKTOP, odd_https},
        {https, http, -1, SHELL_OPEN_NONE, https}, // no program took it: the window still closes
        {nullptr, http, 0, SHELL_OPEN_HERE, http},
        {empty, http, 0, SHELL_OPEN_AS_DESKTOP_USER, http},
        {nullptr, nullptr, 0, SHELL_OPEN_BY_DESKTOP, nullptr},
        {https, http, 0, SHELL_OPEN_COPIED, https},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.expected ? row.expected : "(nothing)") << ", way " << row.way);
        config->https_url = row.https_url;
        config->http_url = row.http_url;
        open_result = row.open_result;
        open_way = row.way;
        opened_links.clear();
        show(96);
        HWND hwnd = app->error_window.hwnd;

        click_link();

        std::vector<std::string> expected;
        if (row.expected) {
            expected.push_back(row.expected);
        }
        EXPECT_EQ(opened_links, expected);
        bool copied = row.way == SHELL_OPEN_COPIED;
        EXPECT_EQ(IsWindow(hwnd) != FALSE, copied);
        EXPECT_EQ(quit_posted(), !copied);
        if (copied) {
            EXPECT_EQ(window_text(app->link_label.hwnd), L"<a>" + wide(texts->copied, texts->copied_length) + L"</a>");
            // A second click copies again and leaves the window as it is.
            click_link();
            EXPECT_EQ(opened_links.size(), 2u);
            EXPECT_TRUE(IsWindow(hwnd));
            EXPECT_FALSE(quit_posted());
        }

        error_window_release();
        *app = AppState();
    }
    config->https_url = nullptr;
    config->http_url = nullptr;
}

TEST_F(ErrorWindowTest, CloseAndOtherCommandsOpenNothing)
{
    char https[] = "https://example.test/download";
    config->https_url = https;
    show(144);
    HWND hwnd = app->error_window.hwnd;

    for (uint32_t command : {0u, 2u, 0xFFFFFFFFu}) {
        on_error_command(&app->error_window, command);
    }
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_FALSE(quit_posted());

    SendMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(quit_posted());
    EXPECT_TRUE(opened_links.empty());
    config->https_url = nullptr;
}

// Keys as the message loop gets them, sent to the control with the focus. The link has the focus
// when the window opens; Enter and Space open it as a click does, Esc closes the window as its close
// button does, and Tab from the window itself comes to the link, the window's only stop.
TEST_F(ErrorWindowTest, KeyboardOpensTheLinkAndEscCloses)
{
    char https[] = "https://example.test/download";
    config->https_url = https;
    struct Row {
        const char* what;
        std::vector<WORD> keys;
        bool start_on_window; // the focus moved to the window itself first
        ShellOpenWay way;
        size_t opened;
        bool closes;
    } rows[] = {
        {"enter", {VK_RETURN}, false, SHELL_OPEN_BY_DESKTOP, 1, true},
        {"space", {VK_SPACE}, false, SHELL_OPEN_BY_DESKTOP, 1, true},
        {"escape", {VK_ESCAPE}, false, SHELL_OPEN_BY_DESKTOP, 0, true},
        {"tab, enter", {VK_TAB, VK_RETURN}, true, SHELL_OPEN_BY_DESKTOP, 1, true},
        {"tab", {VK_TAB, VK_TAB}, false, SHELL_OPEN_BY_DESKTOP, 0, false},
        {"enter twice, address copied", {VK_RETURN, VK_RETURN}, false, SHELL_OPEN_COPIED, 2, false},
        {"copied, then escape", {VK_RETURN, VK_ESCAPE}, false, SHELL_OPEN_COPIED, 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        open_way = row.way;
        opened_links.clear();
        show(96);
        HWND hwnd = app->error_window.hwnd;
        HWND link = app->link_label.hwnd;
        EXPECT_EQ(GetFocus(), link) << "the link is not focused when the window opens";
        if (row.start_on_window) {
            SetFocus(hwnd);
            ASSERT_EQ(GetFocus(), hwnd);
        }
        for (WORD key : row.keys) {
            // Each key goes to whatever has the focus once the keys before it are handled.
            UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
            PostMessageW(GetFocus(), WM_KEYDOWN, key, 1 | (scan << 16));
            PostMessageW(GetFocus(), WM_KEYUP, key, 1 | (scan << 16) | (3u << 30));
            PostQuitMessage(0); // the loop ends once the queue is empty
            ui_message_loop();
        }
        EXPECT_EQ(opened_links.size(), row.opened);
        EXPECT_EQ(IsWindow(hwnd) == FALSE, row.closes);
        if (!row.closes) {
            EXPECT_EQ(GetFocus(), link);
        }
        error_window_release();
        (void)quit_posted();
        *app = AppState();
    }
    config->https_url = nullptr;
}

TEST_F(ErrorWindowTest, SecondShowKeepsTheOneWindowThatEndsTheLoop)
{
    show(96);
    HWND first = app->error_window.hwnd;
    show_error_window();
    EXPECT_EQ(app->error_window.hwnd, first);

    SendMessageW(first, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_TRUE(quit_posted());
}
