// Logical/pixel arithmetic: scaling with 32-bit wrap and truncation toward zero, and centring.
#include <gtest/gtest.h>

#include "ui/ui.h"

TEST(UiScale, ScalesWithWrapAndTruncationTowardZero)
{
    struct Case {
        int32_t value;
        int32_t dpi;
        int32_t expected;
    };
    const Case cases[] = {
        {400, 120, 500},
        {130, 120, 162}, // 162.5
        {-5, 144, -7},   // -7.5
        {-1, 120, -1},   // -1.25
        {1, 95, 0},
        {100, 192, 200},
        {0, 192, 0},
        // The default window size wraps to 0 at every even DPI.
        {(int32_t)CW_USEDEFAULT, 96, 0},
        {(int32_t)CW_USEDEFAULT, 120, 0},
        {(int32_t)CW_USEDEFAULT, 144, 0},
        {(int32_t)CW_USEDEFAULT, 192, 0},
        {0x7FFFFFFF, 96, -1},               // product -96
        {22369622, 96, -22369620},          // product just past 2^31
        {-22369622, 120, 16777215},         // negative product wraps to a positive one
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui_scale(c.value, c.dpi), c.expected) << c.value << " at " << c.dpi;
    }
}

TEST(UiScale, UnscalesAndConvertsRectanglesAtTheCurrentDpi)
{
    struct Case {
        int32_t value;
        int32_t dpi;
        int32_t expected;
    };
    const Case cases[] = {
        {-3, 192, -1}, {5, 192, 2}, {1001, 192, 500}, {7, 192, 3},
        {162, 120, 129}, {-7, 144, -4}, {500, 96, 500}, {50, 0, 50}, // DPI 0 counts as 96
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui_unscale(c.value, c.dpi), c.expected) << c.value << " at " << c.dpi;
    }

    int32_t saved = process_globals.dpi;
    process_globals.dpi = 192;
    int32_t area[4] = {-3, 5, 1001, 7};
    rect_to_logical(area);
    EXPECT_EQ(area[0], -1);
    EXPECT_EQ(area[1], 2);
    EXPECT_EQ(area[2], 500);
    EXPECT_EQ(area[3], 3);

    process_globals.dpi = 0; // never read: no division by zero
    int32_t unread[4] = {10, 20, 1280, 1024};
    rect_to_logical(unread);
    EXPECT_EQ(unread[2], 1280);
    EXPECT_EQ(ui_current_dpi(), 96);
    process_globals.dpi = saved;
}

TEST(UiScale, CentresInsideEdges)
{
    struct Case {
        RECT outer;
        int32_t width, height;
        int32_t x, y;
    };
    const Case cases[] = {
        {{0, 0, 101, 50}, 50, 20, 25, 15},
        {{-100, 0, 0, 0}, 1, 0, -50, 0},       // -50.5 truncates toward zero
        {{0, 0, 1280, 1024}, 440, 270, 420, 377},
        {{100, 50, 1380, 1074}, 440, 270, 520, 427},
        {{0, 0, 64, 64}, 32, 32, 16, 16},      // a box at the origin serves as edges
        {{0, 0, 100, 100}, 300, 300, -100, -100},
        {{0x7FFFFFF0, 0, 0x7FFFFFFF, 0}, 2, 0, 0x7FFFFFF6, 0}, // edge sum beyond 32 bits
    };
    for (const Case& c : cases) {
        UiRect inner = {123, 456, c.width, c.height};
        ui_center_rect(&c.outer, &inner);
        EXPECT_EQ(inner.x, c.x);
        EXPECT_EQ(inner.y, c.y);
        EXPECT_EQ(inner.width, c.width);
        EXPECT_EQ(inner.height, c.height);
    }
}
