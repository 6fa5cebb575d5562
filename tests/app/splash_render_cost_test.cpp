// The splash throttle's allowance for expensive renders: a render that took long spaces the next
// one further out, so that renders keep to a small share of the worker's time.
#include <gtest/gtest.h>

#include "app/splash.h"

TEST(SplashRenderCostTest, SlowRendersSpaceTheNextOneOut)
{
    struct Case {
        uint32_t last_cost;
        uint32_t elapsed;
        bool allowed;
        const char* why;
    };
    const uint32_t f = SPLASH_RENDER_COST_FACTOR;
    const Case cases[] = {
        {0, SPLASH_MIN_RENDER_INTERVAL_MS, true, "unknown cost: the plain interval"},
        {1, SPLASH_MIN_RENDER_INTERVAL_MS, true, "cheap render: the plain interval still rules"},
        {1, SPLASH_MIN_RENDER_INTERVAL_MS - 1, false, "cheap render, too soon"},
        {11, 11 * f - 1, false, "11 ms render: not before its multiple"},
        {11, 11 * f, true, "11 ms render: at its multiple"},
        {40, 40 * f, true, "40 ms render"},
        {40, 40 * f - 1, false, "40 ms render, just too soon"},
    };
    for (const Case& c : cases) {
        SplashThrottle t = {};
        splash_throttle_note(&t, 10, 40, 0xFFFFFF00u); // across the tick count's wrap
        t.last_cost = c.last_cost;
        EXPECT_EQ(splash_throttle_allows(&t, 11, 41, 0xFFFFFF00u + c.elapsed), c.allowed) << c.why;
        // The full bar and an unchanged picture are decided as before, whatever the cost.
        EXPECT_TRUE(splash_throttle_allows(&t, 321, 1000, 0xFFFFFF00u + 1)) << c.why;
        EXPECT_FALSE(splash_throttle_allows(&t, 10, 40, 0xFFFFFF00u + 100000)) << c.why;
    }
}
