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

// An address that is not https is asked only with a pin: the scheme is read without regard to
// case, as the system's HTTP library reads it, and anything but https counts as plain.
TEST(DownloadPolicy, PlainAddressesOnlyWithAPin)
{
    const struct {
        const char* url;
        bool pinned;
        bool asked;
    } cases[] = {
        {"https://example.test/setup.exe", false, true},
        {"HTTPS://example.test/setup.exe", false, true},
        {"hTtPs://example.test/setup.exe", false, true},
        {"http://example.test/setup.exe", false, false},
        {"HTTP://example.test/setup.exe", false, false},
        {"ftp://example.test/setup.exe", false, false},
        {"https:example.test/setup.exe", false, false},
        {" https://example.test/setup.exe", false, false},
        {"", false, false},
        {"http://example.test/setup.exe", true, true},
        {"ftp://example.test/setup.exe", true, true}, // the pin decides what may start, whatever brought it
        {"https://example.test/setup.exe", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(address_may_be_asked(c.url, c.pinned), c.asked) << "\"" << c.url << "\" pinned " << c.pinned;
    }
}
