// The download's decisions without the network: verdicts, waits and the header values it trusts.
#include <gtest/gtest.h>

#include "app/download_policy.h"

// What an answer means for the next attempts, and how long to wait.
TEST(DownloadPolicy, VerdictsAndWaits)
{
    const struct {
        int result;
        DWORD status;
        DownloadVerdict verdict;
    } verdicts[] = {
        {DOWNLOAD_ERROR_STATUS, 404, VERDICT_RULED_OUT}, {DOWNLOAD_ERROR_STATUS, 410, VERDICT_RULED_OUT},
        {DOWNLOAD_ERROR_STATUS, 403, VERDICT_RULED_OUT}, {DOWNLOAD_ERROR_STATUS, 408, VERDICT_RETRY},
        {DOWNLOAD_ERROR_STATUS, 429, VERDICT_RETRY},     {DOWNLOAD_ERROR_STATUS, 503, VERDICT_RETRY},
        {DOWNLOAD_ERROR_STATUS, 500, VERDICT_RETRY},     {DOWNLOAD_ERROR_DIGEST, 200, VERDICT_RULED_OUT},
        {ERROR_DISK_FULL, 200, VERDICT_STOP},            {DOWNLOAD_ERROR_NOT_PROGRAM, 200, VERDICT_RETRY},
        {12029, 0, VERDICT_RETRY},                       {DOWNLOAD_ERROR_TIMEOUT, 200, VERDICT_RETRY},
    };
    for (const auto& v : verdicts) {
        EXPECT_EQ(download_verdict(v.result, v.status), v.verdict) << v.result << " " << v.status;
    }
    const struct {
        const char* text;
        DWORD ms;
    } waits[] = {{"1", 1000}, {" 5 ", 5000}, {"0", 0}, {"120", 30000}, {"99999999999", 30000},
                 {"Wed, 21 Oct 2026 07:28:00 GMT", 0}, {"-1", 0}, {"", 0}, {"3s", 0}};
    for (const auto& w : waits) {
        EXPECT_EQ(retry_after_ms(w.text, 30000), w.ms) << w.text;
    }
    DownloadTimings saved = download_timings;
    download_timings.first_round_wait = 1000;
    download_timings.later_round_wait = 3000;
    EXPECT_EQ(round_wait_ms(1, 0), 750u);
    EXPECT_EQ(round_wait_ms(1, 0xFFFFFFFFu), 1250u);
    EXPECT_EQ(round_wait_ms(2, 0x80000000u), 3000u);
    download_timings = saved;
    const struct {
        const char* text;
        bool ok;
        uint64_t start, total;
    } ranges[] = {{"bytes 400000-999999/1000000", true, 400000, 1000000}, {"bytes 0-0/1", true, 0, 1},
                  {"bytes 5-4/10", false, 0, 0}, {"bytes 5-10/10", false, 0, 0}, {"bytes */1000", false, 0, 0},
                  {"bytes 1-2/3 ", false, 0, 0}, {"items 1-2/3", false, 0, 0}};
    for (const auto& r : ranges) {
        uint64_t start = 0, total = 0;
        EXPECT_EQ(parse_content_range(r.text, &start, &total), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(start, r.start);
            EXPECT_EQ(total, r.total);
        }
    }
}

// Which redirects are followed: a chain that began at a secure address stays on secure ones,
// whatever the case of the scheme; only http and https, and at most DOWNLOAD_REDIRECTS_MAX hops.
TEST(DownloadPolicy, RedirectHops)
{
    const struct {
        DWORD status;
        bool redirect;
    } statuses[] = {{301, true}, {302, true}, {303, true}, {307, true}, {308, true}, {300, false},
                    {304, false}, {305, false}, {306, false}, {200, false}, {206, false}, {404, false}};
    for (const auto& s : statuses) {
        EXPECT_EQ(redirect_status(s.status), s.redirect) << s.status;
    }
    const int INSECURE = DOWNLOAD_ERROR_INSECURE_REDIRECT;
    const int REFUSED = DOWNLOAD_ERROR_REDIRECT;
    const struct {
        bool secure;
        const char* target;
        int hop;
        int result;
    } hops[] = {
        {true, "https://b.example/setup.exe", 1, 0},
        {true, "HTTPS://b.example/setup.exe", 10, 0},
        {true, "http://b.example/setup.exe", 1, INSECURE},
        {true, "HTTP://b.example/setup.exe", 1, INSECURE},
        {true, "http://b.example/setup.exe", 11, INSECURE},
        {true, "https:/b.example/setup.exe", 1, INSECURE},
        {true, "ftp://b.example/setup.exe", 1, INSECURE},
        {false, "http://b.example/setup.exe", 1, 0},
        {false, "Http://b.example/setup.exe", 1, 0},
        {false, "https://b.example/setup.exe", 3, 0},
        {false, "ftp://b.example/setup.exe", 1, REFUSED},
        {false, "file:///C:/Windows/setup.exe", 1, REFUSED},
        {false, "httpx://b.example/", 1, REFUSED},
        {false, "", 1, REFUSED},
        {false, "http://b.example/setup.exe", DOWNLOAD_REDIRECTS_MAX, 0},
        {false, "http://b.example/setup.exe", DOWNLOAD_REDIRECTS_MAX + 1, REFUSED},
        {true, "https://b.example/setup.exe", DOWNLOAD_REDIRECTS_MAX + 1, REFUSED},
    };
    for (const auto& h : hops) {
        EXPECT_EQ(redirect_check(h.secure, h.target, h.hop), h.result)
            << (h.secure ? "secure, " : "plain, ") << h.target << ", hop " << h.hop;
    }
}
