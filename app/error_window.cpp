// The error window: the system's error icon, a two-line message and a link to the download
// address, in English or Russian, laid out at the screen's true DPI.
#include "app/error_window.h"

#include "app/app_state.h"
#include "app/config.h"
#include "app/installer.h"
#include "app/splash.h"
#include "rt/heap.h"
#include "rt/shell.h"
#include "rt/text.h"

static const char FONT_FACE[] = "Arial";

static const uint32_t LANGUAGE_RUSSIAN = 0x0419;
static const uint32_t LINK_COMMAND = 1;
// The text colour the link control is given; it draws the link itself in the system's link colour.
static const COLORREF LINK_COLOR = RGB(0x00, 0x74, 0xD9);
static const COLORREF ICON_BACKGROUND = RGB(0xFF, 0xFF, 0xFF);

// A fixed pop-up with a caption and a close button: no sizing frame, no minimise or maximise box.
static const uint32_t STYLE_KEEP =
    ~(uint32_t)(WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
static const uint32_t STYLE_ADD = WS_POPUP | WS_CAPTION | WS_SYSMENU;

// In logical units, client coordinates.
static const int32_t MESSAGE_X = 69;
static const int32_t MESSAGE_Y = 15;
static const int32_t MESSAGE_HEIGHT = 50;
// The message stops this far short of the client area's right edge, as the icon's box starts this
// far from its left; the note that replaces the link keeps the same margin on both sides.
static const int32_t EDGE_MARGIN = 16;
static const int32_t LINK_Y = 65;
static const int32_t LINK_WIDTH = 120;
static const int32_t LINK_HEIGHT = 20;

static const char ENGLISH_MESSAGE[] = "An error has occurred during the installation.\r\n"
                                      "Please try downloading the installer manually.";
static const char ENGLISH_LINK[] = "Download Quorvel";
static const char RUSSIAN_MESSAGE[] = "В процессе установки произошла ошибка.\r\n"
                                      "Попробуйте скачать установочный файл вручную.";
static const char RUSSIAN_LINK[] = "Скачать Quorvel";
static const char ENGLISH_COPIED[] = "Address copied: paste it into your browser";
static const char RUSSIAN_COPIED[] = "Адрес скопирован: вставьте его в браузер";

static const ErrorTexts ENGLISH_TEXTS = {
    ENGLISH_MESSAGE, (int32_t)(sizeof(ENGLISH_MESSAGE) - 1), ENGLISH_LINK, (int32_t)(sizeof(ENGLISH_LINK) - 1),
    ENGLISH_COPIED,  (int32_t)(sizeof(ENGLISH_COPIED) - 1)};
static const ErrorTexts RUSSIAN_TEXTS = {
    RUSSIAN_MESSAGE, (int32_t)(sizeof(RUSSIAN_MESSAGE) - 1), RUSSIAN_LINK, (int32_t)(sizeof(RUSSIAN_LINK) - 1),
    RUSSIAN_COPIED,  (int32_t)(sizeof(RUSSIAN_COPIED) - 1)};

int (*error_window_open_link)(const char* target, ShellOpenWay* way) = shell_open_unelevated;

const ErrorTexts* error_texts_for_language(uint32_t language)
{
    return language == LANGUAGE_RUSSIAN ? &RUSSIAN_TEXTS : &ENGLISH_TEXTS;
}

uint32_t user_language()
{
    // With LOCALE_RETURN_NUMBER the answer is a DWORD; the buffer holds 4 characters (8 bytes)
    // and starts zeroed, so a failed call reads as 0.
    DWORD answer[2] = {0, 0};
    int written = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ILANGUAGE | LOCALE_RETURN_NUMBER, (LPWSTR)answer, 4);
    if (written == 0) {
        return 0;
    }
    return answer[0] & 0xFFFF;
}

static bool has_text(const char* value)
{
    return value != nullptr && value[0] != '\0';
}

const char* error_link_target(const InstallerConfig* config)
{
    if (config == nullptr) {
        return nullptr;
    }
    if (has_text(config->https_url)) {
        return config->https_url;
    }
    if (has_text(config->http_url)) {
        return config->http_url;
    }
    return nullptr;
}

void font_init(LOGFONTW* font)
{
    font->lfCharSet = OEM_CHARSET;
    font->lfQuality = PROOF_QUALITY;

    const int32_t face_limit = LF_FACESIZE - 1;
    int32_t units = face_limit;
    wchar_t* face = utf8_to_wide(font->lfFaceName, &units, FONT_FACE, (int32_t)(sizeof(FONT_FACE) - 1));
    if (face == nullptr) {
        units = 0;
    } else if (face != font->lfFaceName) {
        // Only a face longer than the field lands on the heap: keep what fits.
        for (int32_t i = 0; i < face_limit; ++i) {
            font->lfFaceName[i] = face[i];
        }
        units = face_limit;
        heap_free(face);
    }
    font->lfFaceName[units] = L'\0';

    // 10 points; the quotient truncates toward zero (-16 at 120 DPI, not -17).
    font->lfHeight = (10 * process_globals.dpi) / -72;
}

// The client area's width in logical units. The frame's width decides it, and that differs between
// systems and DPIs; without a window there is nothing to fit, and the outer width stands in.
static int32_t client_width(HWND hwnd)
{
    RECT client = {};
    if (GetClientRect(hwnd, &client)) {
        return ui_unscale(client.right, ui_current_dpi());
    }
    return process_globals.error_window_rect.width;
}

// The address is on the clipboard and no browser was started: the link's place says so, centred
// across the window between the margins the message keeps, and the window stays for the user to
// read it. The note stays a link: it copies the address again.
static void show_copied(AppState* app)
{
    UiControl* link = &app->link_label;
    const ErrorTexts* texts = error_texts_for_language(user_language());
    (void)ui_link_set_text(link, texts->copied, texts->copied_length);
    int32_t dpi = ui_current_dpi();
    int32_t room = client_width(app->error_window.hwnd) - 2 * EDGE_MARGIN;
    int32_t width = ui_unscale(ui_link_ideal_width(link, ui_scale(room, dpi)), dpi) + 1; // rounding down loses a pixel
    if (width > room) {
        width = room;
    }
    (void)ui_move(link, EDGE_MARGIN + (room - width) / 2, LINK_Y, width, LINK_HEIGHT);
    // The old link's pixels outside the new place are the window's to paint over.
    RedrawWindow(app->error_window.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void on_error_command(UiWindow* window, uint32_t command)
{
    if (command != LINK_COMMAND) {
        return;
    }
    const char* target = error_link_target(process_globals.config);
    ShellOpenWay way = SHELL_OPEN_NONE;
    if (target != nullptr) {
        // Nothing to tell the user when no program takes the address: the window closes anyway.
        (void)error_window_open_link(target, &way);
    }
    if (way == SHELL_OPEN_COPIED && process_globals.app != nullptr) {
        show_copied(process_globals.app);
        return;
    }
    SendMessageW(window->hwnd, WM_CLOSE, 0, 0);
}

// The window icon comes from load_app_icon as the window's own copy; it goes with the window.
static void on_error_destroy(UiWindow* window)
{
    HICON icon = (HICON)SendMessageW(window->hwnd, WM_GETICON, ICON_BIG, 0);
    SendMessageW(window->hwnd, WM_SETICON, ICON_SMALL, 0);
    SendMessageW(window->hwnd, WM_SETICON, ICON_BIG, 0);
    if (icon != nullptr) {
        DestroyIcon(icon);
    }
}

// In high contrast the window takes the system's colours (background, text and link), else its own.
static void follow_contrast(UiWindow* window)
{
    if (ui_high_contrast()) {
        window->flags |= UI_SYSTEM_COLORS;
    } else {
        window->flags &= (uint8_t)~UI_SYSTEM_COLORS;
    }
}

// High contrast turned on or off, or the system's colours changed, while the window is open.
static void on_error_settings_change(UiWindow* window)
{
    follow_contrast(window);
    AppState* app = process_globals.app;
    if (app != nullptr && app->link_label.hwnd != nullptr) {
        // A common control reads the system's colours again only when told.
        SendMessageW(app->link_label.hwnd, WM_SYSCOLORCHANGE, 0, 0);
    }
    RedrawWindow(window->hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

static HFONT create_font(LONG weight, BYTE underline)
{
    LOGFONTW font = {};
    font.lfWeight = weight;
    font.lfUnderline = underline;
    font_init(&font);
    return CreateFontIndirectW(&font);
}

static void build_window(AppState* app)
{
    UiWindow* window = &app->error_window;
    (void)ui_window_create(window); // whatever could be made is shown

    LONG_PTR style = GetWindowLongPtrW(window->hwnd, GWL_STYLE);
    style = (LONG_PTR)(((uint32_t)style & STYLE_KEEP) | STYLE_ADD);
    SetWindowLongPtrW(window->hwnd, GWL_STYLE, style);

    window->flags |= UI_QUIT_ON_DESTROY;
    window->on_command = on_error_command;
    window->on_destroy = on_error_destroy;
    window->on_settings_change = on_error_settings_change;
    follow_contrast(window);
    (void)ui_set_text(window, INSTALLER_TITLE, (int32_t)(sizeof(INSTALLER_TITLE) - 1));

    UiRect place = process_globals.error_window_rect;
    ui_center_rect(&app->work_area, &place);
    (void)ui_move(window, place.x, place.y, place.width, place.height);
    ShowWindow(window->hwnd, SW_SHOW);

    HICON icon = nullptr;
    (void)load_app_icon(&icon); // without it the window shows no icon of its own
    SendMessageW(window->hwnd, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    SendMessageW(window->hwnd, WM_SETICON, ICON_BIG, (LPARAM)icon);

    // Without the font the message label keeps the system font.
    HFONT font = create_font(0, 0);
    if (font != nullptr) {
        window->font = font;
    }
}

static void build_icon(AppState* app)
{
    UiControl* icon = &app->error_icon;
    icon->image.background_brush = CreateSolidBrush(ICON_BACKGROUND);
    (void)ui_control_create(icon, UI_KIND_IMAGE, app->error_window.hwnd);

    const UiRect* box = &process_globals.error_icon_box;
    RECT outer = {box->x, box->y, box->x + box->width, box->y + box->height};
    UiRect place = process_globals.error_icon_rect;
    ui_center_rect(&outer, &place);
    (void)ui_move(icon, place.x, place.y, place.width, place.height);

    // Size 0 alone means the resource's own size, which can be the 256-pixel image: the control
    // then grows to it and covers the message. LR_DEFAULTSIZE makes 0 the system's icon size.
    HANDLE error_icon = LoadImageW(nullptr, IDI_ERROR, IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE);
    SendMessageW(icon->hwnd, STM_SETIMAGE, IMAGE_ICON, (LPARAM)error_icon);
    ShowWindow(icon->hwnd, SW_SHOW);
}

static void build_message(AppState* app, const ErrorTexts* texts)
{
    UiControl* label = &app->message_label;
    (void)ui_label_create(label, &app->error_window);
    (void)ui_set_text(label, texts->message, texts->message_length);
    // The label's right edge comes from the window as created, so that a long line wraps inside it.
    int32_t width = client_width(app->error_window.hwnd) - MESSAGE_X - EDGE_MARGIN;
    (void)ui_move(label, MESSAGE_X, MESSAGE_Y, width, MESSAGE_HEIGHT);
    ShowWindow(label->hwnd, SW_SHOW);
}

// The link is the system's link control: it takes the focus, opens with Enter and Space as with a
// click, shows the focus cue and is read out as a link with its text.
static void build_link(AppState* app, const ErrorTexts* texts)
{
    UiControl* link = &app->link_label;
    (void)ui_link_create(link, &app->error_window);
    link->label.click_command = LINK_COMMAND;
    link->label.text_color = LINK_COLOR;

    int32_t window_width = process_globals.error_window_rect.width;
    (void)ui_move(link, (window_width - LINK_WIDTH) / 2, LINK_Y, LINK_WIDTH, LINK_HEIGHT);

    HFONT font = create_font(FW_NORMAL, 1); // a failure leaves the link in the window font
    link->label.font = font;
    if (font != nullptr) {
        SendMessageW(link->hwnd, WM_SETFONT, (WPARAM)font, FALSE);
    }
    (void)ui_link_set_text(link, texts->link, texts->link_length);
    ShowWindow(link->hwnd, SW_SHOW);
}

// The keyboard's way in: the dialog manager's keys, and the focus on the link, the window's only
// action, so that Enter or Space opens it at once and a screen reader starts there.
static void focus_link(AppState* app)
{
    UiWindow* window = &app->error_window;
    ui_window_use_dialog_keys(window);
    window->saved_focus = app->link_label.hwnd; // where the focus returns when the window is activated again
    if (GetActiveWindow() == window->hwnd) {
        (void)SetFocus(app->link_label.hwnd); // the previous focus is of no interest
    }
}

void show_error_window()
{
    AppState* app = process_globals.app;
    // Once is the contract; a second call would rebind the object to a new window and leave the
    // first one unbound, so that closing it no longer ends the loop.
    HWND existing = app->error_window.hwnd;
    if (existing != nullptr && ui_object_of(existing) == (UiObjectHead*)&app->error_window) {
        return;
    }
    process_globals.dpi = app->true_dpi; // from here on everything is scaled at the screen's DPI
    const ErrorTexts* texts = error_texts_for_language(user_language());

    build_window(app);
    build_icon(app);
    build_message(app, texts);
    build_link(app, texts);
    focus_link(app);
}

static void delete_object(HGDIOBJ object)
{
    if (object != nullptr) {
        DeleteObject(object);
    }
}

void error_window_release()
{
    AppState* app = process_globals.app;
    if (app == nullptr) {
        return;
    }
    UiWindow* window = &app->error_window;
    if (window->hwnd != nullptr && ui_object_of(window->hwnd) == (UiObjectHead*)window) {
        // The loop this window belonged to is over: its end must not post another quit.
        window->flags &= (uint8_t)~UI_QUIT_ON_DESTROY;
        DestroyWindow(window->hwnd);
    }
    delete_object(app->link_label.label.font);
    app->link_label.label.font = nullptr;
    delete_object(window->font);
    window->font = nullptr;
    delete_object(app->error_icon.image.background_brush);
    app->error_icon.image.background_brush = nullptr;
    delete_object(window->background_brush);
    window->background_brush = nullptr;
}
