// Re-laying the rows of a window on resize, and snapping a moved window to the work-area edges.
// The arithmetic lives in ui_layout_place_row and ui_snap_position; the rest reads and moves windows.
#include "ui/ui.h"

static void place_entry(int32_t right, int32_t bottom, const UiRect* r, uint8_t flags, UiLayoutPlacement* out)
{
    out->width = (flags & UI_LAYOUT_FILL_WIDTH) ? right - r->x : r->width;
    out->x = r->x;
    out->y = r->y;
    out->flags = SWP_NOACTIVATE;
    if (flags & UI_LAYOUT_ANCHOR_RIGHT) {
        out->x = right - r->width; // the current width, not the stretched one
    } else {
        out->flags |= SWP_NOMOVE;
    }
    out->height = (flags & UI_LAYOUT_FILL_HEIGHT) ? bottom - r->y : r->height;
}

void ui_layout_place_row(int32_t right, int32_t bottom, const UiRect* first, uint8_t first_flags,
                         const UiRect* second, uint8_t second_flags, UiLayoutPlacement* first_out,
                         UiLayoutPlacement* second_out)
{
    if (first != nullptr) {
        place_entry(right, bottom, first, first_flags, first_out);
        if ((first_flags & UI_LAYOUT_FILL_WIDTH) && second != nullptr) {
            first_out->width = right - first->x - second->width;
        }
    }
    if (second != nullptr) {
        place_entry(right, bottom, second, second_flags, second_out);
    }
}

static void apply(void* object, const UiLayoutPlacement* p)
{
    // Null insert-after without SWP_NOZORDER: each laid-out control also goes to the top of its siblings.
    (void)SetWindowPos(((UiObjectHead*)object)->hwnd, nullptr, p->x, p->y, p->width, p->height, p->flags);
}

void ui_layout_rows(UiWindow* window)
{
    for (UiLayoutRow* row = window->layout; row != nullptr; row = row->next) {
        // Read again for every row: a row may hold the status bar itself and resize it.
        RECT client = {};
        (void)GetClientRect(window->hwnd, &client);
        int32_t bottom = client.bottom;
        if (window->status_bar != nullptr) {
            UiRect bar;
            ui_get_rect(window->status_bar->hwnd, &bar);
            bottom -= bar.height;
        }
        UiRect first_rect;
        UiRect second_rect;
        UiRect* first = nullptr;
        UiRect* second = nullptr;
        if (row->first != nullptr) {
            ui_get_rect(((UiObjectHead*)row->first)->hwnd, &first_rect);
            first = &first_rect;
        }
        if (row->second != nullptr) {
            ui_get_rect(((UiObjectHead*)row->second)->hwnd, &second_rect);
            second = &second_rect;
        }
        UiLayoutPlacement first_place;
        UiLayoutPlacement second_place;
        ui_layout_place_row(client.right, bottom, first, row->first_flags, second, row->second_flags,
                            &first_place, &second_place);
        if (first != nullptr) {
            apply(row->first, &first_place);
        }
        if (second != nullptr) {
            apply(row->second, &second_place);
        }
    }
    if (window->status_bar != nullptr) {
        // The status bar places itself along the bottom edge when told of a resize.
        SendMessageW(window->status_bar->hwnd, WM_SIZE, 0, 0);
    }
}

static int64_t distance(int64_t a, int64_t b)
{
    return a > b ? a - b : b - a;
}

void ui_snap_position(const RECT* work_area, int32_t t, WINDOWPOS* pos)
{
    // 64-bit differences: positions near the ends of the 32-bit range must not overflow.
    if (distance(work_area->left, pos->x) <= t) {
        pos->x = work_area->left;
    } else if (distance(work_area->right, (int64_t)pos->x + pos->cx) <= t) {
        pos->x = work_area->right - pos->cx;
    }
    if (distance(work_area->top, pos->y) <= t) {
        pos->y = work_area->top;
    } else if (distance(work_area->bottom, (int64_t)pos->y + pos->cy) <= t) {
        pos->y = work_area->bottom - pos->cy;
    }
}

void ui_snap_to_work_area(UiWindow* window, WINDOWPOS* pos)
{
    int32_t t = ui_scale(window->snap_distance, ui_current_dpi());
    RECT work = {};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        return; // no work area known: leave the position alone
    }
    ui_snap_position(&work, t, pos);
}
