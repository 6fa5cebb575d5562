// Logical (1/96 inch) to pixel arithmetic and centring. Pure functions of their arguments and
// process_globals.dpi; the splash renderer calls ui_center_rect on the download thread too.
#include "ui/ui.h"

int32_t ui_current_dpi()
{
    // A DPI that could not be read stays 0; scaling by it would collapse every window and
    // rect_to_logical would divide by it, so the logical base stands in.
    return process_globals.dpi > 0 ? process_globals.dpi : 96;
}

int32_t ui_scale(int32_t value, int32_t dpi)
{
    // The product wraps modulo 2^32 as a signed value (CW_USEDEFAULT sizes scale to 0 at every
    // even DPI); the quotient truncates toward zero.
    int32_t product = (int32_t)((uint32_t)value * (uint32_t)dpi);
    return product / 96;
}

int32_t ui_unscale(int32_t value, int32_t dpi)
{
    if (dpi <= 0) {
        dpi = 96;
    }
    int32_t product = (int32_t)((uint32_t)value * 96u);
    return product / dpi;
}

void ui_center_rect(const RECT* outer, UiRect* inner)
{
    // 64-bit sums so that far-apart edges cannot overflow before the halving.
    int64_t x = ((int64_t)outer->left + outer->right - inner->width) / 2;
    int64_t y = ((int64_t)outer->top + outer->bottom - inner->height) / 2;
    inner->x = (int32_t)x;
    inner->y = (int32_t)y;
}

void rect_to_logical(int32_t values[4])
{
    int32_t dpi = ui_current_dpi();
    for (int i = 0; i < 4; ++i) {
        values[i] = ui_unscale(values[i], dpi);
    }
}
