// The seventeen kinds of window the toolkit can make: class name and creation styles per kind.
#include "ui/ui.h"

const wchar_t UI_WINDOW_CLASS[] = L"QUORVEL_WI_WNDCLASS";

// Kind 0 has an empty class name on purpose: creating it fails.
const UiKindInfo ui_kinds[UI_KIND_COUNT] = {
    {"", L"", 0, 0},
    {"window", UI_WINDOW_CLASS, 0, 0},
    {"label", L"STATIC", SS_NOTIFY, 0},
    {"image", L"STATIC", SS_NOTIFY | SS_ICON, 0},
    {"editbox", L"EDIT", ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL, WS_EX_CLIENTEDGE},
    {"text", L"EDIT",
     ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL | WS_HSCROLL | WS_VSCROLL, WS_EX_CLIENTEDGE},
    {"combobox", L"COMBOBOX", CBS_DROPDOWN | CBS_AUTOHSCROLL, WS_EX_CLIENTEDGE},
    {"button", L"BUTTON", BS_PUSHBUTTON, 0},
    {"checkbox", L"BUTTON", BS_AUTOCHECKBOX, 0},
    {"radiobutton", L"BUTTON", BS_AUTORADIOBUTTON, 0},
    {"trackbar", L"msctls_trackbar32", 0, 0},
    {"progressbar", L"msctls_progress32", 0, 0},
    {"status_bar", L"msctls_statusbar32", SBARS_SIZEGRIP, 0},
    {"tab", L"SysTabControl32", TCS_FOCUSNEVER, 0},
    {"listview", L"SysListView32",
     LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_SHAREIMAGELISTS | LVS_AUTOARRANGE | WS_BORDER, 0},
    {"treeview", L"SysTreeView32", TVS_SHOWSELALWAYS | TVS_INFOTIP | WS_BORDER, 0},
    {"link", L"SysLink", WS_TABSTOP, 0},
};
