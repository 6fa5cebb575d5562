// Layout rows and edge snapping: the arithmetic as tables, then through real windows.
#include "tests/ui/ui_test_support.h"

namespace {

const uint8_t FW = UI_LAYOUT_FILL_WIDTH;
const uint8_t FH = UI_LAYOUT_FILL_HEIGHT;
const uint8_t AR = UI_LAYOUT_ANCHOR_RIGHT;
const UINT KEEP = SWP_NOACTIVATE | SWP_NOMOVE;
const UINT MOVE = SWP_NOACTIVATE;

struct Entry {
    bool present;
    UiRect rect;
    uint8_t flags;
};

struct Placed {
    int32_t x, y, width, height;
    UINT flags;
};

struct RowCase {
    const char* what;
    int32_t right, bottom;
    Entry first, second;
    Placed first_out, second_out;
};

} // namespace

TEST(UiLayoutArithmetic, PlacesRowsByTheirFlags)
{
    const RowCase cases[] = {
        {"fill up to an anchored neighbour", 500, 300,
         {true, {10, 5, 200, 20}, FW}, {true, {220, 5, 80, 20}, AR},
         {10, 5, 410, 20, KEEP}, {420, 5, 80, 20, MOVE}},
        {"fill stops at the neighbour whatever its flags", 500, 300,
         {true, {10, 5, 200, 20}, FW}, {true, {300, 5, 50, 20}, 0},
         {10, 5, 440, 20, KEEP}, {300, 5, 50, 20, KEEP}},
        {"no first: second fills to the edge", 500, 300,
         {false, {}, 0}, {true, {220, 5, 80, 20}, FW},
         {}, {220, 5, 280, 20, KEEP}},
        {"fill height above a 22-pixel status bar", 500, 278,
         {true, {0, 40, 500, 100}, FH}, {false, {}, 0},
         {0, 40, 500, 238, KEEP}, {}},
        {"no flags and the inert value 2 keep the rectangle", 500, 300,
         {true, {7, 8, 9, 10}, 0}, {true, {30, 8, 9, 10}, 2},
         {7, 8, 9, 10, KEEP}, {30, 8, 9, 10, KEEP}},
        {"anchor uses the current width even when filling", 500, 300,
         {true, {10, 5, 100, 20}, AR | FW}, {false, {}, 0},
         {400, 5, 490, 20, MOVE}, {}},
        {"every flag on both", 640, 480,
         {true, {10, 10, 100, 30}, AR | FW | FH}, {true, {200, 20, 60, 30}, AR | FW | FH},
         {540, 10, 570, 470, MOVE}, {580, 20, 440, 460, MOVE}},
        {"control beyond the edge gets a negative size", 100, 50,
         {true, {150, 60, 10, 10}, FW | FH}, {false, {}, 0},
         {150, 60, -50, -10, KEEP}, {}},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.what);
        UiLayoutPlacement first = {-1, -1, -1, -1, 0xDEAD};
        UiLayoutPlacement second = {-1, -1, -1, -1, 0xDEAD};
        ui_layout_place_row(c.right, c.bottom, c.first.present ? &c.first.rect : nullptr, c.first.flags,
                            c.second.present ? &c.second.rect : nullptr, c.second.flags, &first, &second);
        const Placed* expected[2] = {&c.first_out, &c.second_out};
        const UiLayoutPlacement* actual[2] = {&first, &second};
        const bool present[2] = {c.first.present, c.second.present};
        for (int i = 0; i < 2; ++i) {
            if (!present[i]) {
                EXPECT_EQ(actual[i]->flags, 0xDEADu) << "absent entry written";
                continue;
            }
            EXPECT_EQ(actual[i]->x, expected[i]->x) << i;
            EXPECT_EQ(actual[i]->y, expected[i]->y) << i;
            EXPECT_EQ(actual[i]->width, expected[i]->width) << i;
            EXPECT_EQ(actual[i]->height, expected[i]->height) << i;
            EXPECT_EQ(actual[i]->flags, expected[i]->flags) << i;
        }
    }
}

TEST(UiSnapArithmetic, SnapsWithinTheScaledDistanceAtEveryDpi)
{
    const RECT work = {0, 0, 1280, 1024};
    const RECT offset_work = {100, 50, 1380, 1074};
    for (int32_t dpi : {96, 120, 144, 192}) {
        const int32_t t = ui_scale(10, dpi);
        SCOPED_TRACE(testing::Message() << "dpi " << dpi << " t " << t);
        struct Case {
            const RECT* area;
            int x, y, cx, cy;
            int want_x, want_y;
        };
        const Case cases[] = {
            {&work, t, t, 200, 100, 0, 0},                                  // inclusive
            {&work, t + 1, t + 1, 200, 100, t + 1, t + 1},                  // just outside
            {&work, -t, -t, 200, 100, 0, 0},                                // beyond the edge
            {&work, -t - 1, 500, 200, 100, -t - 1, 500},
            {&work, 1280 - 200 - t, 1024 - 100 - t, 200, 100, 1080, 924},  // right and bottom
            {&work, 1280 - 200 + t, 1024 - 100 + t, 200, 100, 1080, 924},
            {&work, 1280 - 200 - t - 1, 400, 200, 100, 1280 - 200 - t - 1, 400},
            {&work, t, t, 1280 - t, 1024 - t, 0, 0},                        // both edges: left, top win
            {&work, 300, 300, 200, 100, 300, 300},
            {&offset_work, 100 + t, 50 - t, 200, 100, 100, 50},
            {&offset_work, 1380 - 200 - t, 1074 - 100 + t, 200, 100, 1180, 974},
        };
        for (const Case& c : cases) {
            WINDOWPOS pos = {};
            pos.x = c.x;
            pos.y = c.y;
            pos.cx = c.cx;
            pos.cy = c.cy;
            pos.flags = SWP_NOSIZE;
            ui_snap_position(c.area, t, &pos);
            EXPECT_EQ(pos.x, c.want_x) << "from " << c.x;
            EXPECT_EQ(pos.y, c.want_y) << "from " << c.y;
            EXPECT_EQ(pos.cx, c.cx);
            EXPECT_EQ(pos.cy, c.cy);
            EXPECT_EQ(pos.flags, (UINT)SWP_NOSIZE);
        }
    }
    EXPECT_EQ(ui_scale(10, 144), 15);
}

using UiLayoutTest = UiTest;

// A borderless window whose client area is its whole rectangle.
static void make_popup(UiWindow* window, int width, int height)
{
    SetWindowLongPtrW(window->hwnd, GWL_STYLE, WS_POPUP);
    SetWindowPos(window->hwnd, nullptr, 0, 0, width, height, SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

static UiRect rect_of(const UiControl& control)
{
    UiRect r;
    ui_get_rect(control.hwnd, &r);
    return r;
}

TEST_F(UiLayoutTest, ResizeLaysOutRowsAtEveryDpi)
{
    for (int32_t dpi : {96, 120, 144, 192}) {
        SCOPED_TRACE(dpi);
        process_globals.dpi = dpi;
        UiWindow& window = new_window();
        make_popup(&window, 100, 100);
        UiControl& edit = new_control(UI_KIND_EDITBOX, window);
        UiControl& button = new_control(UI_KIND_BUTTON, window);
        UiControl& list = new_control(UI_KIND_LISTVIEW, window);
        UiControl& status = new_control(UI_KIND_STATUS_BAR, window);
        ShowWindow(status.hwnd, SW_SHOWNA);
        ui_move(&edit, 10, 5, 200, 20);
        ui_move(&button, 220, 5, 80, 20);
        ui_move(&list, 0, 40, 100, 50);
        UiLayoutRow list_row = {&list, FW | FH, nullptr, 0, nullptr};
        UiLayoutRow top_row = {&edit, FW, &button, AR, &list_row};
        window.layout = &top_row;
        window.status_bar = &status;

        const int width = ui_scale(500, dpi), height = ui_scale(300, dpi);
        SetWindowPos(window.hwnd, nullptr, 0, 0, width, height, SWP_NOACTIVATE | SWP_NOMOVE);

        UiRect e = rect_of(edit), b = rect_of(button), l = rect_of(list), s = rect_of(status);
        const int button_width = ui_scale(80, dpi);
        EXPECT_EQ(b.x, width - button_width);
        EXPECT_EQ(b.width, button_width);
        EXPECT_EQ(b.y, ui_scale(5, dpi));
        EXPECT_EQ(e.x, ui_scale(10, dpi));
        EXPECT_EQ(e.width, width - ui_scale(10, dpi) - button_width);
        EXPECT_EQ(l.width, width);
        EXPECT_GT(s.height, 0);
        EXPECT_EQ(s.y + s.height, height) << "status bar placed along the bottom";
        EXPECT_EQ(l.height, height - s.height - ui_scale(40, dpi));

        // A minimised size (lParam 0) lays out nothing.
        ui_move(&button, 1, 1, 10, 10);
        SendMessageW(window.hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
        EXPECT_EQ(rect_of(button).x, ui_scale(1, dpi));
        SendMessageW(window.hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width, height));
        EXPECT_EQ(rect_of(button).x, width - ui_scale(10, dpi));
        destroy(&window);
    }
}

TEST_F(UiLayoutTest, StatusBarAloneIsStillToldOfTheResize)
{
    UiWindow& window = new_window();
    make_popup(&window, 200, 100);
    UiControl& status = new_control(UI_KIND_STATUS_BAR, window);
    ShowWindow(status.hwnd, SW_SHOWNA);
    window.status_bar = &status;
    SetWindowPos(window.hwnd, nullptr, 0, 0, 333, 222, SWP_NOACTIVATE | SWP_NOMOVE);
    UiRect s = rect_of(status);
    EXPECT_EQ(s.width, 333);
    EXPECT_EQ(s.y + s.height, 222);
}

TEST_F(UiLayoutTest, MovingNearTheWorkAreaEdgeSnaps)
{
    RECT work;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    for (int32_t dpi : {96, 144}) {
        SCOPED_TRACE(dpi);
        process_globals.dpi = dpi;
        UiWindow& window = new_window();
        make_popup(&window, 200, 100);
        window.snap_distance = 10;
        const int t = ui_scale(10, dpi);
        RECT r;
        SetWindowPos(window.hwnd, nullptr, work.left + t, work.top + t + 1, 200, 100, SWP_NOACTIVATE);
        GetWindowRect(window.hwnd, &r);
        EXPECT_EQ(r.left, work.left);
        EXPECT_EQ(r.top, work.top + t + 1);
        EXPECT_EQ(r.right - r.left, 200);
        SetWindowPos(window.hwnd, nullptr, work.right - 200 - t, 300, 200, 100, SWP_NOACTIVATE);
        GetWindowRect(window.hwnd, &r);
        EXPECT_EQ(r.right, work.right);

        window.snap_distance = 0;
        SetWindowPos(window.hwnd, nullptr, work.left + 1, work.top + 1, 200, 100, SWP_NOACTIVATE);
        GetWindowRect(window.hwnd, &r);
        EXPECT_EQ(r.left, work.left + 1);
        destroy(&window);
    }
}
