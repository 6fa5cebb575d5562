// The folder each run writes the setup program into, and the setup file inside it.
//
// The installer runs elevated and starts what it writes with those rights, so nobody who runs as
// the user without elevation may choose or change that file. Each run makes a new folder with a
// name nobody can predict, directly under the system's temporary folder, with an access list that
// lets only SYSTEM and the Administrators write in it. The folder and its parent are held open
// without delete sharing, so that neither can be renamed or re-pointed while the path matters;
// the file is made and checked through handles, never reopened by its path.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "rt/sha256.h"

// Folder names: this prefix and 16 lower-case hex digits of random.
const char RUN_FOLDER_PREFIX[] = "quorvel-";
const uint32_t RUN_FOLDER_RANDOM_BYTES = 8;
const char SETUP_FILE_NAME[] = "setup.exe";

struct RunFolder {
    HANDLE parent;       // the temporary folder the run's folder is in; null when none is held
    HANDLE folder;       // this run's folder; null when none is held
    char name[sizeof(RUN_FOLDER_PREFIX) + RUN_FOLDER_RANDOM_BYTES * 2];
    char* path;          // this run's folder, as the system resolves its handle
    char* setup_path;    // path and SETUP_FILE_NAME
    HANDLE setup_lock;   // the finished setup file, under file_lock_from_writer's lock; null when none
    uint8_t setup_digest[SHA256_DIGEST_SIZE]; // of the bytes written into the locked file
    bool setup_started;  // a process was created from the locked file: the folder stays
    DWORD setup_refusal; // why setup_file_finish last refused a complete file: ERROR_INVALID_DATA
                         // (content, pin, signer's name), the system's verdict on the signature,
                         // ...; 0 when it did not
};

// The setup file while it is being written.
struct SetupWriter {
    HANDLE file;         // INVALID_HANDLE_VALUE when none is open
    Sha256 digest;
    uint64_t length;
};

// Makes this run's folder under the system's temporary folder; a process without elevation, which
// can't write there and has no rights to protect, uses the user's. 0, or 1 with the last error.
int run_folder_create(RunFolder* run);
// The same under the given folder.
int run_folder_create_in(RunFolder* run, const char* parent);
// Lets go of the folder. Unless setup was started from it, the setup file and then the folder are
// removed, through their handles (the folder only when nothing else is left in it).
void run_folder_release(RunFolder* run);
// Removes the folders that earlier runs left under parent: only folders named as this program
// names them, that are no link, whose access list is the protected one this program gives them,
// and that nobody holds open; and only when every file in them can go (a setup program that still
// runs keeps its folder). 0 when the listing ran; 1 when it could not.
int run_folders_sweep(const char* parent);
// True for a name of the form RUN_FOLDER_PREFIX and 16 lower-case hex digits.
bool run_folder_name_is_ours(const char* name);

// Creates the setup file new in the run's folder. 0, or 1 with the last error.
int setup_file_create(const RunFolder* run, SetupWriter* writer);
// Appends bytes to the setup file and to its digest. 0, or 1 with the last error.
int setup_file_write(SetupWriter* writer, const void* data, uint32_t length);
// Empties the file to start it again from its first byte. 0, or 1 with the last error.
int setup_file_restart(SetupWriter* writer);
// Finishes the file: checks it against the sha256 pin when there is one, puts it under the run's
// lock (run->setup_lock, run->setup_digest) and checks it through the lock (setup_file_intact).
// 0, or 1 with the last error: ERROR_INVALID_DATA for a file that fails a check (its cause in
// run->setup_refusal). On failure the file is discarded.
int setup_file_finish(SetupWriter* writer, RunFolder* run);
// Deletes an unfinished file through its own handle and closes it. Harmless without one.
void setup_file_discard(SetupWriter* writer);
// Writes a whole block as the setup file and finishes it. 0, or 1 with the last error.
int setup_file_write_all(RunFolder* run, const void* data, uint32_t length);
// True when the locked setup file still holds what was written, matches the sha256 pin and is
// signed by the configured signer (rt/signature) where the configuration has them, and still is
// where run->setup_path says. Reads the whole file through the lock. False with the last error.
bool setup_file_intact(const RunFolder* run);
// Deletes the locked setup file (when it goes unused) and lets go of the lock.
void setup_file_drop(RunFolder* run);
