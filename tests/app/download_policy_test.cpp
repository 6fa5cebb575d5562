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
        // A file too large for the disk's room is that address's; a write that found the disk
        // full is the machine's.
        {DOWNLOAD_ERROR_NO_ROOM, 200, VERDICT_RULED_OUT}, {ERROR_HANDLE_DISK_FULL, 200, VERDICT_STOP},
        {DOWNLOAD_ERROR_FRAMING, 200, VERDICT_RETRY},    {DOWNLOAD_ERROR_TRUNCATED, 200, VERDICT_RETRY},
    };
    for (const auto& v : verdicts) {
        EXPECT_EQ(download_verdict(v.result, v.status), v.verdict) << v.result << " " << v.status;
    }
    // Resumed on the same address: only a transfer that broke (a stall or a trickle included),
    // never one whose answer a resume would only repeat; a truncated program's server said its
    // body was whole, and a resume past it would come back 416, ruling the address out.
    const struct {
        int result;
        bool resumable;
    } resumes[] = {{DOWNLOAD_ERROR_TIMEOUT, true},   {DOWNLOAD_ERROR_LENGTH, true},  {12030, true},
                   {DOWNLOAD_ERROR_TRUNCATED, false}, {DOWNLOAD_ERROR_FRAMING, false}, {DOWNLOAD_ERROR_NO_ROOM, false},
                   {DOWNLOAD_ERROR_NOT_PROGRAM, false}, {ERROR_DISK_FULL, false}};
    for (const auto& r : resumes) {
        EXPECT_EQ(download_resumable(r.result, true, true, true), r.resumable) << r.result;
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

// The one form of HTTP date a validator is judged by; anything else is unreadable.
TEST(DownloadPolicy, HttpDates)
{
    const struct {
        const char* text;
        bool ok;
        uint64_t seconds;
    } dates[] = {
        {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        {"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
        {"Thu, 01 Jan 2026 00:00:00 GMT", true, 1767225600},
        {"Tue, 29 Feb 2000 12:00:00 GMT", true, 951825600},
        {"Thu, 29 Feb 2024 00:00:00 GMT", true, 1709164800},
        {"Wed, 01 Mar 2023 00:00:00 GMT", true, 1677628800},
        {"Fri, 31 Dec 2100 23:59:59 GMT", true, 4133980799},
        {"Sun, 06 Nov 1994 08:49:37 GMT ", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
        {"Sun, 6 Nov 1994 08:49:37 GMT", false, 0},
        {"Sun, 06 nov 1994 08:49:37 GMT", false, 0},
        {"Sun, 06 Nov 1994 24:00:00 GMT", false, 0},
        {"Sun, 06 Nov 1994 08:60:00 GMT", false, 0},
        {"Sun, 00 Nov 1994 08:49:37 GMT", false, 0},
        {"Sun, 32 Nov 1994 08:49:37 GMT", false, 0},
        {"Sun, 06 Nov 19a4 08:49:37 GMT", false, 0},
        {"Xyz, 06 Nov 1994 08:49:37 GMT", false, 0},
        {"Wed, 31 Dec 1969 23:59:59 GMT", false, 0},
        {"Sunday, 06-Nov-94 08:49:37 GMT", false, 0}, // the obsolete forms
        {"Sun Nov  6 08:49:37 1994", false, 0},
        {"Sun, 06 Nov 1994", false, 0},
        {"", false, 0},
    };
    for (const auto& d : dates) {
        uint64_t seconds = 0;
        EXPECT_EQ(parse_http_date(d.text, &seconds), d.ok) << "\"" << d.text << "\"";
        if (d.ok) {
            EXPECT_EQ(seconds, d.seconds) << d.text;
        }
    }
}

// Which first responses a broken transfer may be resumed from: only a validator that changes
// whenever a byte does may go back in If-Range.
TEST(DownloadPolicy, ResumeValidators)
{
    const char* NEW_YEAR = "Thu, 01 Jan 2026 00:00:00 GMT";
    const char* SECOND_LATER = "Thu, 01 Jan 2026 00:00:01 GMT";
    const char* SECOND_BEFORE = "Wed, 31 Dec 2025 23:59:59 GMT";
    const struct {
        const char* name;
        const char* etag;
        const char* last_modified;
        const char* date;
        bool strong;
    } cases[] = {
        {"strong ETag", "\"5f2-1a\"", "", "", true},
        {"strong ETag, fresh date beside it", "\"5f2-1a\"", NEW_YEAR, NEW_YEAR, true},
        {"empty strong ETag", "\"\"", "", "", true},
        {"ETag of other visible bytes", "\"\xc3\xa9!#~\"", "", "", true},
        {"weak ETag", "W/\"5f2-1a\"", "", "", false},
        {"weak ETag, old date beside it", "W/\"5f2-1a\"", SECOND_BEFORE, SECOND_LATER, false},
        {"ETag without quotes", "5f2-1a", SECOND_BEFORE, SECOND_LATER, false},
        {"ETag with a space", "\"5f2 1a\"", "", "", false},
        {"ETag carrying a line break", "\"5f2\"\r\nRange: bytes=0-\"", "", "", false},
        {"ETag with text after it", "\"5f2\"x", "", "", false},
        {"ETag without its end", "\"5f2", "", "", false},
        {"ETag too long to read", "?", SECOND_BEFORE, SECOND_LATER, false},
        {"date a second old", "", SECOND_BEFORE, NEW_YEAR, true},
        {"date older still", "", "Sun, 06 Nov 1994 08:49:37 GMT", NEW_YEAR, true},
        {"date of the answer itself", "", NEW_YEAR, NEW_YEAR, false},
        {"date after the answer", "", SECOND_LATER, NEW_YEAR, false},
        {"date without a Date", "", SECOND_BEFORE, "", false},
        {"date, unreadable Date", "", SECOND_BEFORE, "now", false},
        {"obsolete date form", "", "Wednesday, 31-Dec-25 23:59:59 GMT", NEW_YEAR, false},
        {"nothing", "", "", NEW_YEAR, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validator_strong(c.etag, c.last_modified, c.date), c.strong) << c.name;
    }
    EXPECT_STREQ(response_validator("\"a\"", NEW_YEAR), "\"a\"");
    EXPECT_STREQ(response_validator("", NEW_YEAR), NEW_YEAR);
    EXPECT_STREQ(response_validator("", ""), "");
}

// Which 206 continues the file: the validator asked with, from where the file ends, of the same
// whole length. Anything else would join two files, or two parts that do not meet.
TEST(DownloadPolicy, PartialResponsesThatContinueTheFile)
{
    const char* TAG = "\"v1\"";
    const char* DATE = "Wed, 31 Dec 2025 23:59:59 GMT";
    const char* RANGE = "bytes 400-999/1000";
    const struct {
        const char* name;
        const char* asked;
        const char* etag;
        const char* last_modified;
        const char* range;
        uint64_t file_end;
        bool continues;
    } cases[] = {
        {"same ETag", TAG, TAG, DATE, RANGE, 400, true},
        {"same date, no ETag", DATE, "", DATE, RANGE, 400, true},
        {"another ETag", TAG, "\"v2\"", DATE, RANGE, 400, false},
        {"the ETag made weak", TAG, "W/\"v1\"", "", RANGE, 400, false},
        {"ETag asked, only a date came", TAG, "", DATE, RANGE, 400, false},
        {"date asked, an ETag came", DATE, TAG, DATE, RANGE, 400, false},
        {"another date", DATE, "", "Thu, 01 Jan 2026 00:00:00 GMT", RANGE, 400, false},
        {"no validator came", TAG, "", "", RANGE, 400, false},
        {"nothing asked, nothing came", "", "", "", RANGE, 400, false},
        {"starts before the file's end", TAG, TAG, "", RANGE, 401, false},
        {"starts after it", TAG, TAG, "", RANGE, 399, false},
        {"another whole length", TAG, TAG, "", "bytes 400-1000/1001", 400, false},
        {"no Content-Range", TAG, TAG, "", "", 400, false},
        {"unknown length", TAG, TAG, "", "bytes 400-999/*", 400, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(partial_continues(c.asked, c.etag, c.last_modified, c.range, c.file_end, 1000), c.continues)
            << c.name;
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
