// Control notifications: WM_COMMAND, WM_NOTIFY and trackbar scrolls sent from real controls.
#include "tests/ui/ui_test_support.h"

#include <string>

using UiNotifyTest = UiTest;

TEST_F(UiNotifyTest, CommandNotificationsFireTheControlsCommands)
{
    UiWindow& window = new_window();
    UiControl& label = new_control(UI_KIND_LABEL, window);
    UiControl& silent_label = new_control(UI_KIND_LABEL, window);
    UiControl& image = new_control(UI_KIND_IMAGE, window);
    UiControl& editbox = new_control(UI_KIND_EDITBOX, window);
    UiControl& text = new_control(UI_KIND_TEXT, window);
    UiControl& combo = new_control(UI_KIND_COMBOBOX, window);
    UiControl& button = new_control(UI_KIND_BUTTON, window);
    UiControl& checkbox = new_control(UI_KIND_CHECKBOX, window);
    UiControl& radio = new_control(UI_KIND_RADIOBUTTON, window);
    UiControl& trackbar = new_control(UI_KIND_TRACKBAR, window);
    label.label.click_command = 21;
    label.label.double_click_command = 22;
    editbox.edit = {41, 42};
    text.edit = {51, 52};
    combo.combobox = {61, 62, 63, 64};
    button.button.click_command = 71;
    // Kinds that send nothing, even with command-like fields filled.
    checkbox.button.click_command = 81;
    radio.button.click_command = 91;
    trackbar.trackbar.change_command = 101;
    HWND foreign = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, window.hwnd, nullptr, nullptr, nullptr);
    adopt(foreign);
    take_commands();

    struct Case {
        HWND from;
        WORD code;
        std::vector<uint32_t> fired;
    };
    const Case cases[] = {
        {label.hwnd, STN_CLICKED, {21}},
        {label.hwnd, STN_DBLCLK, {22}},
        {label.hwnd, STN_ENABLE, {}},
        {silent_label.hwnd, STN_CLICKED, {}},
        {silent_label.hwnd, STN_DBLCLK, {}},
        {image.hwnd, STN_CLICKED, {}},
        {editbox.hwnd, EN_CHANGE, {41}},
        {editbox.hwnd, EN_SETFOCUS, {42}},
        {editbox.hwnd, EN_KILLFOCUS, {}},
        {editbox.hwnd, EN_UPDATE, {}},
        {text.hwnd, EN_CHANGE, {51}},
        {text.hwnd, EN_SETFOCUS, {52}},
        {combo.hwnd, CBN_SELCHANGE, {61}},
        {combo.hwnd, CBN_DROPDOWN, {62}},
        {combo.hwnd, CBN_EDITCHANGE, {63}},
        {combo.hwnd, CBN_EDITUPDATE, {64}},
        {combo.hwnd, CBN_CLOSEUP, {}},
        {combo.hwnd, CBN_DBLCLK, {}},
        {button.hwnd, BN_CLICKED, {71}},
        {button.hwnd, BN_DOUBLECLICKED, {}},
        {checkbox.hwnd, BN_CLICKED, {}},
        {radio.hwnd, BN_CLICKED, {}},
        {trackbar.hwnd, 0, {}},
        {foreign, STN_CLICKED, {}},
    };
    for (const Case& c : cases) {
        UiControl* object = (UiControl*)GetWindowLongPtrW(c.from, GWLP_USERDATA);
        SCOPED_TRACE(testing::Message() << (object ? ui_kinds[object->kind].name : "foreign") << " code " << c.code);
        SendMessageW(window.hwnd, WM_COMMAND, MAKEWPARAM(0, c.code), (LPARAM)c.from);
        EXPECT_EQ(take_commands(), c.fired);
    }

    // Menu items and accelerators: the identifier, 0 included, whatever the high word.
    SendMessageW(window.hwnd, WM_COMMAND, MAKEWPARAM(0x1234, 1), 0);
    SendMessageW(window.hwnd, WM_COMMAND, 0, 0);
    EXPECT_EQ(take_commands(), (std::vector<uint32_t>{0x1234, 0}));

    // A real click on a button takes the same road.
    ui_move(&button, 0, 0, 50, 20);
    ShowWindow(button.hwnd, SW_SHOWNA);
    SendMessageW(button.hwnd, BM_CLICK, 0, 0);
    EXPECT_EQ(take_commands(), std::vector<uint32_t>{71});
}

namespace {

NMHDR header(HWND from, UINT code)
{
    NMHDR h = {};
    h.hwndFrom = from;
    h.idFrom = 0;
    h.code = code;
    return h;
}

NMLISTVIEW item_change(HWND from, int item, UINT old_state, UINT new_state)
{
    NMLISTVIEW change = {};
    change.hdr = header(from, LVN_ITEMCHANGED);
    change.iItem = item;
    change.uOldState = old_state;
    change.uNewState = new_state;
    change.uChanged = LVIF_STATE;
    return change;
}

std::string edited_text;
bool edited_seen = false;
UiControl* edited_list = nullptr;

void record_edit(UiWindow* window, uint32_t command)
{
    record_command(window, command);
    const char* text = (const char*)edited_list->listview.event_data;
    edited_seen = true;
    edited_text = text ? text : "<null>";
}

} // namespace

TEST_F(UiNotifyTest, TabTreeAndForeignNotifications)
{
    UiWindow& window = new_window();
    UiControl& tab = new_control(UI_KIND_TAB, window);
    UiControl& tree = new_control(UI_KIND_TREEVIEW, window);
    UiControl& label = new_control(UI_KIND_LABEL, window);
    tab.tab.select_command = 131;
    tree.treeview.select_command = 151;
    label.label.click_command = 21;
    take_commands();
    struct Case {
        HWND from;
        UINT code;
        std::vector<uint32_t> fired;
    };
    const Case cases[] = {
        {tab.hwnd, TCN_SELCHANGE, {131}},
        {tab.hwnd, TCN_SELCHANGING, {}},
        {tab.hwnd, NM_CLICK, {}},
        {tree.hwnd, TVN_SELCHANGEDW, {151}},
        {tree.hwnd, TVN_SELCHANGEDA, {}},
        {tree.hwnd, NM_CLICK, {}},
        {tree.hwnd, TCN_SELCHANGE, {}},
        {label.hwnd, NM_CLICK, {}},
        {window.hwnd, TCN_SELCHANGE, {}}, // the window itself is no control
        {nullptr, NM_CLICK, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << (int)c.code);
        NMHDR h = header(c.from, c.code);
        EXPECT_EQ(SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&h), 0);
        EXPECT_EQ(take_commands(), c.fired);
    }
    tab.tab.select_command = 0;
    NMHDR h = header(tab.hwnd, TCN_SELCHANGE);
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&h);
    EXPECT_TRUE(take_commands().empty());
}

TEST_F(UiNotifyTest, ListViewNotificationsFireAndCarryTheirData)
{
    UiWindow& window = new_window();
    UiControl& list = new_control(UI_KIND_LISTVIEW, window);
    list.listview.select_command = 141;
    list.listview.click_command = 142;
    list.listview.activate_command = 143;
    list.listview.column_command = 144;
    list.listview.check_command = 146;
    take_commands();

    NMHDR click = header(list.hwnd, NM_CLICK);
    NMHDR activate = header(list.hwnd, LVN_ITEMACTIVATE);
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&click);
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&activate);
    EXPECT_EQ(take_commands(), (std::vector<uint32_t>{142, 143}));

    NMLISTVIEW column = {};
    column.hdr = header(list.hwnd, LVN_COLUMNCLICK);
    column.iItem = -1;
    column.iSubItem = 3;
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&column);
    EXPECT_EQ(take_commands(), std::vector<uint32_t>{144});
    EXPECT_EQ(list.listview.event_data, 3);
    list.listview.column_command = 0;
    column.iSubItem = 4;
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&column);
    EXPECT_TRUE(take_commands().empty());
    EXPECT_EQ(list.listview.event_data, 4) << "written even without a command";

    struct Change {
        const char* what;
        UINT old_state, new_state;
        std::vector<uint32_t> fired;
    };
    const Change changes[] = {
        {"checked", 0x1000, 0x2000, {146}},
        {"unchecked", 0x2000, 0x1000, {146}},
        {"checked and selected at once", 0x1000, 0x2000 | LVIS_SELECTED, {146}},
        {"selected", 0, LVIS_SELECTED, {141}},
        {"deselected", LVIS_SELECTED | LVIS_FOCUSED, LVIS_FOCUSED, {141}},
        {"selected while the state image appears", 0, 0x1000 | LVIS_SELECTED, {141}},
        {"focus only", 0, LVIS_FOCUSED, {}},
        {"state image 1 to 3", 0x1000, 0x3000, {}},
        {"nothing changed", 0x2000 | LVIS_SELECTED, 0x2000 | LVIS_SELECTED, {}},
    };
    int item = 10;
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        NMLISTVIEW change = item_change(list.hwnd, item, c.old_state, c.new_state);
        SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&change);
        EXPECT_EQ(take_commands(), c.fired);
        EXPECT_EQ(list.listview.event_data, item);
        ++item;
    }
}

TEST_F(UiNotifyTest, EndedLabelEditHandsTheTextAlongOnlyForItsCall)
{
    UiWindow& window = new_window();
    UiControl& list = new_control(UI_KIND_LISTVIEW, window);
    edited_list = &list;
    window.on_command = record_edit;

    wchar_t typed[] = L"\x041F\x0440\x0438\x0432\x0435\x0442 world";
    NMLVDISPINFOW info = {};
    info.hdr = header(list.hwnd, LVN_ENDLABELEDITW);
    info.item.iItem = 2;
    info.item.pszText = typed;

    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&info);
    EXPECT_FALSE(edited_seen) << "no edit command";

    list.listview.edit_command = 145;
    list.listview.event_data = 99;
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&info);
    EXPECT_TRUE(edited_seen);
    EXPECT_EQ(edited_text, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 world");
    EXPECT_EQ(list.listview.event_data, 0) << "the copy lives only for the call";
    EXPECT_EQ(take_commands(), std::vector<uint32_t>{145});

    // A cancelled edit fires nothing and leaves event_data alone.
    edited_seen = false;
    list.listview.event_data = 99;
    info.item.pszText = nullptr;
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&info);
    EXPECT_FALSE(edited_seen);
    EXPECT_EQ(list.listview.event_data, 99);

    // The empty text is an edit too.
    wchar_t empty[] = L"";
    info.item.pszText = empty;
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&info);
    EXPECT_TRUE(edited_seen);
    EXPECT_EQ(edited_text, "");
}

namespace {

bool list_menu_opened = false;
WNDPROC list_toolkit_proc;

LRESULT CALLBACK list_menu_spy(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITMENUPOPUP) {
        list_menu_opened = true;
        PostMessageW(hwnd, WM_CANCELMODE, 0, 0);
    }
    if (message == WM_ENTERIDLE) {
        EndMenu();
    }
    return CallWindowProcW(list_toolkit_proc, hwnd, message, wparam, lparam);
}

} // namespace

TEST_F(UiNotifyTest, RightClickOnAListViewOpensItsMenu)
{
    UiWindow& window = new_window();
    list_toolkit_proc = (WNDPROC)SetWindowLongPtrW(window.hwnd, GWLP_WNDPROC, (LONG_PTR)list_menu_spy);
    UiControl& list = new_control(UI_KIND_LISTVIEW, window);
    UiControl& tree = new_control(UI_KIND_TREEVIEW, window);
    UiMenu menu = {CreatePopupMenu()};
    AppendMenuW(menu.handle, MF_STRING, 5, L"Open");

    NMHDR right = header(list.hwnd, NM_RCLICK);
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&right);
    EXPECT_FALSE(list_menu_opened) << "no menu";
    NMHDR tree_right = header(tree.hwnd, NM_RCLICK);
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&tree_right);
    EXPECT_FALSE(list_menu_opened);
    list.listview.menu = &menu;
    SendMessageW(window.hwnd, WM_NOTIFY, 0, (LPARAM)&right);
    EXPECT_TRUE(list_menu_opened);
    DestroyMenu(menu.handle);
}

TEST_F(UiNotifyTest, TrackbarScrollsTrackAndFire)
{
    UiWindow& window = new_window();
    UiControl& bar = new_control(UI_KIND_TRACKBAR, window);
    UiControl& other = new_control(UI_KIND_PROGRESSBAR, window);
    bar.trackbar.change_command = 201;
    bar.trackbar.end_command = 202;
    take_commands();
    struct Step {
        UINT message;
        WORD code;
        std::vector<uint32_t> fired;
        bool tracking;
    };
    const Step steps[] = {
        {WM_HSCROLL, TB_THUMBPOSITION, {201}, false}, // leaves the flag as it was
        {WM_HSCROLL, TB_LINEDOWN, {201}, true},
        {WM_HSCROLL, TB_THUMBPOSITION, {201}, true},
        {WM_HSCROLL, TB_TOP, {}, true},
        {WM_HSCROLL, TB_BOTTOM, {}, true},
        {WM_HSCROLL, TB_ENDTRACK, {202}, false},
        {WM_VSCROLL, TB_PAGEUP, {201}, true},
        {WM_VSCROLL, 9, {}, true},
        {WM_VSCROLL, TB_ENDTRACK, {202}, false},
        {WM_VSCROLL, TB_LINEUP, {201}, true},
        {WM_VSCROLL, TB_PAGEDOWN, {201}, true},
        {WM_HSCROLL, TB_THUMBTRACK, {201}, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "code " << s.code);
        SendMessageW(window.hwnd, s.message, MAKEWPARAM(s.code, 50), (LPARAM)bar.hwnd);
        EXPECT_EQ(take_commands(), s.fired);
        EXPECT_EQ((bar.trackbar.flags & UI_TRACKING) != 0, s.tracking);
    }
    // Unset commands: the flag still moves, nothing fires.
    bar.trackbar.change_command = 0;
    bar.trackbar.end_command = 0;
    SendMessageW(window.hwnd, WM_HSCROLL, TB_ENDTRACK, (LPARAM)bar.hwnd);
    EXPECT_EQ(bar.trackbar.flags & UI_TRACKING, 0);
    SendMessageW(window.hwnd, WM_HSCROLL, TB_LINEUP, (LPARAM)bar.hwnd);
    EXPECT_EQ(bar.trackbar.flags & UI_TRACKING, UI_TRACKING);
    // The window's own scroll bar and other kinds send nothing.
    bar.trackbar.change_command = 201;
    SendMessageW(window.hwnd, WM_HSCROLL, TB_LINEUP, 0);
    SendMessageW(window.hwnd, WM_VSCROLL, TB_LINEUP, (LPARAM)other.hwnd);
    EXPECT_TRUE(take_commands().empty());
    // A real position change through the control.
    SendMessageW(bar.hwnd, TBM_SETPOS, TRUE, 3);
    EXPECT_TRUE(take_commands().empty()) << "setting by program notifies nobody";
}
