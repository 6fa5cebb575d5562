// The download worker: fetches the setup program from the configured addresses into this run's
// folder, trying again in rounds and resuming broken transfers, and stops when it is told to.
// What it decides without the network is in download_policy, each request's work in
// download_request, and how it reports to the splash in worker_report.
#include "app/download.h"

#include "app/address.h"
#include "app/config.h"
#include "app/download_request.h"
#include "app/install_log.h"
#include "app/run_folder.h"
#include "app/setup_file.h"
#include "app/worker_report.h"
#include "rt/heap.h"
#include "rt/process.h"
#include "rt/random.h"
#include "rt/text.h"

static const wchar_t DOWNLOAD_AGENT[] = L"Quorvel Web Installer";

int (*download_start_setup)();

// ---- cancellation --------------------------------------------------------------------------------

// A manual-reset event that every wait of the worker also waits for. Made on first use from
// whichever thread comes first.
static HANDLE volatile cancel_event;
// The worker's WinINet session.
static HttpSession session_record;
static HttpSession* const session = &session_record;

HANDLE download_cancel_signal()
{
    HANDLE event = cancel_event;
    if (event) {
        return event;
    }
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!made) {
        return nullptr;
    }
    HANDLE before = InterlockedCompareExchangePointer((void* volatile*)&cancel_event, made, nullptr);
    if (before) {
        CloseHandle(made); // another thread was first
        return before;
    }
    return made;
}

bool download_cancelled()
{
    HANDLE event = download_cancel_signal();
    return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

int download_failure(int cause)
{
    return download_cancelled() ? DOWNLOAD_ERROR_CANCELLED : cause;
}

void download_cancel()
{
    HANDLE event = download_cancel_signal();
    if (event) {
        SetEvent(event);
    }
}

void download_cancel_clear()
{
    HANDLE event = download_cancel_signal();
    if (event) {
        ResetEvent(event);
    }
}

// Waits ms, or less when the download is cancelled. False when it was.
static bool pause(DWORD ms)
{
    HANDLE event = download_cancel_signal();
    if (!event) {
        Sleep(ms);
        return true;
    }
    return WaitForSingleObject(event, ms) != WAIT_OBJECT_0;
}

// ---- one address, across its resumes ------------------------------------------------------------

// The first request and the resumes that follow it while the transfer breaks resumably.
static int request_with_resumes(Transfer* transfer)
{
    uint64_t received = 0;
    int result = request_once(transfer, false, &received);
    for (int resumes = 0; result != 0 && resumes < DOWNLOAD_RESUMES_IN_A_ROW; ++resumes) {
        bool restart = transfer->start_again;
        transfer->start_again = false;
        bool body_came = received > 0 && transfer->total > 0;
        bool has_validator = transfer->validator[0] != '\0';
        if (!restart && !download_resumable(result, body_came, transfer->length_known, has_validator)) {
            break; // a resume that brought nothing also ends here
        }
        result = request_once(transfer, transfer->total > 0, &received);
    }
    return result;
}

// One attempt on one address, with its resumes. On success the file is complete and under the
// run's lock; otherwise nothing is left behind and the next attempt starts anew.
static int attempt(Transfer* transfer)
{
    if (setup_file_create(transfer->run, &transfer->writer) != 0) {
        int result = download_failure(last_error_result());
        install_log_failure("setup file not created", (uint32_t)result);
        return result;
    }
    int result = request_with_resumes(transfer);
    if (result != 0) {
        setup_file_discard(&transfer->writer);
        return result;
    }
    return setup_file_finish(&transfer->writer, transfer->run) == 0 ? 0 : download_failure(last_error_result());
}

// ---- the addresses, in rounds --------------------------------------------------------------------

struct Address {
    const char* url;
    wchar_t* wide;
    char shown[CONFIG_BLOCK_SIZE]; // as the log shows it: without user name and password
    bool ruled_out;
    DWORD not_before;  // tick before which it is not asked again (a server's Retry-After)
    bool waiting;
};

// The pause before a round after the first, with jitter. False when cancelled.
static bool wait_before_round(int round)
{
    uint32_t random = 0;
    (void)random_bytes(&random, sizeof random); // without it, no jitter: the wait stays
    DWORD wait = round_wait_ms(round, random);
    install_log("waiting %u ms before round %d", wait, round + 1);
    return pause(wait);
}

// The rest of the wait that the address's last answer asked for. False when cancelled.
static bool wait_for_address(Address* address)
{
    if (!address->waiting) {
        return true;
    }
    address->waiting = false;
    DWORD left = address->not_before - GetTickCount();
    if ((LONG)left <= 0) {
        return true;
    }
    install_log("waiting %u ms before asking %s again, as it asked", left, address->shown);
    return pause(left);
}

// One attempt on the address, which remembers a wait its server asked for. status: the last one.
static int ask(RunFolder* run, Address* address, int number, DWORD* status)
{
    Transfer transfer = {};
    transfer.run = run;
    transfer.session = session;
    transfer.url = address->wide;
    transfer.https = url_is_https(address->url);
    transfer.shown = address->shown;
    transfer.number = number;
    int result = attempt(&transfer);
    *status = transfer.status;
    if (transfer.retry_after) {
        address->not_before = GetTickCount() + transfer.retry_after;
        address->waiting = true;
    }
    return result;
}

static bool any_left(const Address* addresses, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!addresses[i].ruled_out) {
            return true;
        }
    }
    return false;
}

// The addresses in rounds, the first address first in each, with a pause between rounds.
static int try_addresses(RunFolder* run, Address* addresses, int count)
{
    int result = DOWNLOAD_ERROR_NO_ADDRESS;
    int attempts = 0;
    for (int round = 0; round < DOWNLOAD_ROUNDS && any_left(addresses, count); ++round) {
        if (round > 0 && !wait_before_round(round)) {
            return DOWNLOAD_ERROR_CANCELLED;
        }
        for (Address* address = addresses; address < addresses + count; ++address) {
            if (address->ruled_out) {
                continue;
            }
            if (!wait_for_address(address)) {
                return DOWNLOAD_ERROR_CANCELLED;
            }
            DWORD status = 0;
            result = ask(run, address, ++attempts, &status);
            if (download_cancelled()) {
                return DOWNLOAD_ERROR_CANCELLED; // also over a complete file
            }
            DownloadVerdict verdict = download_verdict(result, status);
            if (result == 0) {
                if (!download_start_setup || download_start_setup() == 0) {
                    return 0;
                }
                result = last_error_result();
                verdict = VERDICT_RULED_OUT; // the same file would come again, and fail again
            }
            if (verdict == VERDICT_STOP) {
                return result;
            }
            if (verdict == VERDICT_RULED_OUT) {
                address->ruled_out = true;
                install_log("%s is not asked again in this run", address->shown);
            }
        }
    }
    return result;
}

static int run_download(RunFolder* run)
{
    if (download_cancelled()) {
        return DOWNLOAD_ERROR_CANCELLED;
    }
    InstallerConfig* config = process_globals.config;
    Address addresses[2] = {{config->https_url}, {config->http_url}};
    bool pinned = config->sha256 != nullptr || config->signer != nullptr;
    int result = 0;
    for (Address& address : addresses) {
        address.ruled_out = address.url == nullptr;
        if (!address.url) {
            continue;
        }
        address_without_credentials(address.url, address.shown, sizeof address.shown);
        if (!address_may_be_asked(address.url, pinned)) {
            address.ruled_out = true; // the other address goes on; with none left, the run fails
            install_log("%s is not asked: a plain http address needs sha256 or signer", address.shown);
            continue;
        }
        address.wide = utf8_to_wide(nullptr, nullptr, address.url, -1);
        result = address.wide ? result : ERROR_NOT_ENOUGH_MEMORY;
    }
    if (result == 0) {
        if (http_session_open(session, DOWNLOAD_AGENT, download_cancel_signal()) != 0) {
            result = last_error_result();
        } else {
            result = try_addresses(run, addresses, 2);
            http_session_close(session);
        }
    }
    for (Address& address : addresses) {
        heap_free(address.wide);
    }
    return result;
}

DWORD WINAPI download_worker(void* run_folder)
{
    int result = run_download((RunFolder*)run_folder);
    if (download_cancelled()) {
        // Nobody waits for a message any more. Setup may have started just before the cancel.
        return result == 0 ? 0 : (DWORD)DOWNLOAD_ERROR_CANCELLED;
    }
    if (result == 0) {
        (void)report_progress(PROGRESS_COMPLETE); // always 0
    } else {
        post_worker_done();
    }
    return (DWORD)result;
}
