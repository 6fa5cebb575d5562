// Control notifications (WM_COMMAND, WM_NOTIFY, trackbar scrolls) turned into the commands that
// the controls' objects name. A sender without a toolkit object is ignored.
#include "ui/ui.h"

#include "rt/heap.h"
#include "rt/text.h"

static void fire_if_set(UiWindow* window, uint32_t command)
{
    if (command != 0) {
        window->on_command(window, command);
    }
}

// The command a WM_COMMAND notification asks for, or 0.
static uint32_t command_of(const UiControl* control, uint32_t code)
{
    switch (control->kind) {
    case UI_KIND_LABEL:
        if (code == STN_CLICKED) {
            return control->label.click_command;
        }
        if (code == STN_DBLCLK) {
            return control->label.double_click_command;
        }
        return 0;
    case UI_KIND_EDITBOX:
    case UI_KIND_TEXT:
        if (code == EN_SETFOCUS) {
            return control->edit.focus_command;
        }
        if (code == EN_CHANGE) {
            return control->edit.change_command;
        }
        return 0;
    case UI_KIND_COMBOBOX:
        switch (code) {
        case CBN_SELCHANGE:
            return control->combobox.select_command;
        case CBN_EDITCHANGE:
            return control->combobox.edit_change_command;
        case CBN_EDITUPDATE:
            return control->combobox.edit_update_command;
        case CBN_DROPDOWN:
            return control->combobox.dropdown_command;
        default:
            return 0;
        }
    case UI_KIND_BUTTON:
        return code == BN_CLICKED ? control->button.click_command : 0;
    default:
        return 0;
    }
}

void ui_on_command_message(UiWindow* window, WPARAM wparam, LPARAM lparam)
{
    if (lparam == 0) {
        // A menu item or an accelerator: its identifier goes out even when it is 0.
        window->on_command(window, LOWORD(wparam));
        return;
    }
    UiControl* control = (UiControl*)ui_object_of((HWND)lparam);
    if (control == nullptr) {
        return;
    }
    fire_if_set(window, command_of(control, HIWORD(wparam)));
}

// The edited label text travels as a heap UTF-8 copy in event_data for the one edit_command call.
static void on_label_edited(UiWindow* window, UiControl* list, const NMLVDISPINFOW* info)
{
    const wchar_t* text = info->item.pszText;
    if (text == nullptr || list->listview.edit_command == 0) {
        return; // cancelled edit, or nobody listening
    }
    char* copy = wide_to_utf8_alloc(text);
    list->listview.event_data = (intptr_t)copy;
    window->on_command(window, list->listview.edit_command);
    heap_free(copy);
    list->listview.event_data = 0;
}

static void on_item_changed(UiWindow* window, UiControl* list, const NMLISTVIEW* change)
{
    list->listview.event_data = change->iItem;
    UINT changed = change->uOldState ^ change->uNewState;
    // State image switched between 1 and 2: the check box toggled; that wins over a selection change.
    if ((changed & LVIS_STATEIMAGEMASK) == (INDEXTOSTATEIMAGEMASK(1) ^ INDEXTOSTATEIMAGEMASK(2))) {
        fire_if_set(window, list->listview.check_command);
    } else if (changed & LVIS_SELECTED) {
        fire_if_set(window, list->listview.select_command);
    }
}

static void on_listview_notify(UiWindow* window, UiControl* list, const NMHDR* header)
{
    switch (header->code) {
    case LVN_ENDLABELEDITW:
        on_label_edited(window, list, (const NMLVDISPINFOW*)header);
        break;
    case LVN_ITEMACTIVATE:
        fire_if_set(window, list->listview.activate_command);
        break;
    case LVN_COLUMNCLICK:
        list->listview.event_data = ((const NMLISTVIEW*)header)->iSubItem;
        fire_if_set(window, list->listview.column_command);
        break;
    case LVN_ITEMCHANGED:
        on_item_changed(window, list, (const NMLISTVIEW*)header);
        break;
    case NM_RCLICK:
        if (list->listview.menu != nullptr) {
            ui_show_popup_menu(window, list->listview.menu);
        }
        break;
    case NM_CLICK:
        fire_if_set(window, list->listview.click_command);
        break;
    default:
        break;
    }
}

void ui_on_notify(UiWindow* window, const NMHDR* header)
{
    if (header == nullptr) {
        return;
    }
    UiControl* control = (UiControl*)ui_object_of(header->hwndFrom);
    if (control == nullptr) {
        return;
    }
    // Each code is read only from the kind that sends it, so a field of another kind is never taken.
    switch (control->kind) {
    case UI_KIND_TAB:
        if (header->code == TCN_SELCHANGE) {
            fire_if_set(window, control->tab.select_command);
        }
        break;
    case UI_KIND_TREEVIEW:
        if (header->code == TVN_SELCHANGEDW) {
            fire_if_set(window, control->treeview.select_command);
        }
        break;
    case UI_KIND_LISTVIEW:
        on_listview_notify(window, control, header);
        break;
    case UI_KIND_LINK:
        // A click, or Enter or Space while the link has the focus: one action.
        if (header->code == NM_CLICK || header->code == NM_RETURN) {
            fire_if_set(window, control->label.click_command);
        }
        break;
    default:
        break;
    }
}

void ui_on_scroll(UiWindow* window, WPARAM wparam, LPARAM lparam)
{
    // lParam 0: the window's own scroll bar, no object.
    UiControl* control = (UiControl*)ui_object_of((HWND)lparam);
    if (control == nullptr || control->kind != UI_KIND_TRACKBAR) {
        return;
    }
    UiTrackbarFields* bar = &control->trackbar;
    switch (LOWORD(wparam)) {
    case TB_LINEUP:
    case TB_LINEDOWN:
    case TB_PAGEUP:
    case TB_PAGEDOWN:
    case TB_THUMBTRACK:
        bar->flags |= UI_TRACKING;
        fire_if_set(window, bar->change_command);
        break;
    case TB_THUMBPOSITION:
        fire_if_set(window, bar->change_command);
        break;
    case TB_ENDTRACK:
        bar->flags &= (uint8_t)~UI_TRACKING;
        fire_if_set(window, bar->end_command);
        break;
    default:
        break; // TB_TOP, TB_BOTTOM and anything unknown
    }
}
