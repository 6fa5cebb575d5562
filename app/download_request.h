// One request of a download attempt: ask for the whole body or for the rest of it, check the
// response's head, stream its body into the setup file, and log how it went.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "app/run_folder.h"
#include "app/setup_file.h"
#include "rt/http.h"

const uint32_t HEADER_TEXT_SIZE = 256;

// One attempt on one address, across its requests.
struct Transfer {
    RunFolder* run;
    HttpSession* session;
    const char* shown;          // the address as the log shows it
    int number;                 // of the attempt in this run, from 1
    SetupWriter writer;         // the setup file, open
    const wchar_t* url;
    bool https;
    uint64_t total;             // bytes in the file
    bool length_known;
    uint64_t length;            // of the whole body, as its first response announced it
    uint64_t room;              // bytes the body may take on the disk, measured as it began
    char validator[HEADER_TEXT_SIZE]; // ETag, else Last-Modified, of that response, when it is
                                // strong enough to resume with (If-Range); "" otherwise
    bool validator_weak;        // that response had one, but too weak to resume with
    DWORD status;               // of the last response; 0 when none came
    DWORD retry_after;          // ms the last response asked to wait; 0 when none
    uint32_t head_length;       // of the body's first bytes, checked to be "MZ"
    bool start_again;           // the last response can't continue the file: ask for all of it
};

// One request: the whole body, or (resuming) from where the file ends. 0 when the body is
// complete in the file; else the result, with received set to this response's body bytes.
int request_once(Transfer* transfer, bool resuming, uint64_t* received);
// The system's last error as a result; -1 when there is none.
int last_error_result();
