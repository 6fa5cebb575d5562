// The setup file in this run's folder: written through the handle that created it, finished into
// a lock that nobody else can write through, checked through that lock (the sha256 pin and the
// signer where configured), and dropped through it when it goes unused. From its creation until
// run_setup starts it, the file is marked for deletion, so that a run that ends before then, by a
// stop, a crash or a kill, leaves no file behind that was not checked: the system closes a dead
// process's handles, and a marked file goes with its last one.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "app/pe_extent.h"
#include "app/run_folder.h"
#include "rt/sha256.h"

// The setup file while it is being written.
struct SetupWriter {
    HANDLE file;         // null when none is open
    Sha256 digest;
    uint64_t length;
};

// Creates the setup file new in the run's folder, marked for deletion. 0, or 1 with the last error.
int setup_file_create(const RunFolder* run, SetupWriter* writer);
// Appends bytes to the setup file and to its digest. 0, or 1 with the last error.
int setup_file_write(SetupWriter* writer, const void* data, uint32_t length);
// Empties the file to start it again from its first byte. 0, or 1 with the last error.
int setup_file_restart(SetupWriter* writer);
// Judges what was written as a program by its own headers (pe_verdict), read back through the
// writer's handle; the next write still goes to the end. 0 with the verdict and the length the
// headers ask for, or 1 with the last error.
int setup_file_judge(SetupWriter* writer, PeVerdict* verdict, uint64_t* needed);
// Finishes the file: checks the digest of what was written against the configuration's sha256 pin
// when there is one, puts the file under the run's lock (run->setup_lock), still marked for
// deletion, and checks it through the lock (setup_file_intact). 0, or 1 with the last error:
// ERROR_INVALID_DATA for every file that fails a check, whatever the check (the log has the
// cause), so that the download rules its address out. On failure the file is discarded.
int setup_file_finish(SetupWriter* writer, RunFolder* run);
// Deletes an unfinished file through its own handle and closes it. Harmless without one.
void setup_file_discard(SetupWriter* writer);
// Writes a whole block as the setup file and finishes it. 0, or 1 with the last error.
int setup_file_write_all(RunFolder* run, const void* data, uint32_t length);
// True when the locked setup file is still where run->setup_path says, and is signed by the
// configured signer (rt/signature) where the configuration has one. False with the last error.
bool setup_file_intact(const RunFolder* run);
// Deletes the locked setup file (when it goes unused) and lets go of the lock.
void setup_file_drop(RunFolder* run);
