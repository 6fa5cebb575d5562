// The folder each run writes the setup program into: made new, held, released, and swept away
// by later runs. The setup file inside it is app/setup_file's.
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

// Folder names: this prefix and 16 lower-case hex digits of random.
const char RUN_FOLDER_PREFIX[] = "quorvel-";
const uint32_t RUN_FOLDER_RANDOM_BYTES = 8;
const char SETUP_FILE_NAME[] = "setup.exe";
// The folder inside the run's folder that setup gets as its TMP and TEMP.
const char RUN_TEMP_NAME[] = "temp";

struct RunFolder {
    HANDLE parent;       // the temporary folder the run's folder is in; null when none is held
    HANDLE folder;       // this run's folder; null when none is held
    HANDLE temp;         // RUN_TEMP_NAME inside it; null when none is held
    char name[sizeof(RUN_FOLDER_PREFIX) + RUN_FOLDER_RANDOM_BYTES * 2];
    char* path;          // this run's folder, as the system resolves its handle
    char* setup_path;    // path and SETUP_FILE_NAME
    char* temp_path;     // path and RUN_TEMP_NAME
    HANDLE setup_lock;   // the finished setup file, under file_lock_from_writer's lock; null when none
    bool setup_started;  // a process was created from the locked file: the folder stays
};

// This run's folder once installer_main has made it; null before that and after its release.
extern RunFolder* current_run_folder;

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
// runs keeps its folder). The parent is listed through the handle that holds it. 0 when the
// listing ran; 1 when it could not.
int run_folders_sweep(const char* parent);
// Deletes what an earlier run left in folder (opened by dir_open_in), unless the folder was made
// within a week of now (file_time_value units): then everything stays, so that a setup that goes
// on from its folder keeps its files. Its own empty temporary folder goes too; any other
// folder in it stays. True when nothing is left.
bool run_folder_empty_out(HANDLE folder, uint64_t now);
// True for a name of the form RUN_FOLDER_PREFIX and 16 lower-case hex digits.
bool run_folder_name_is_ours(const char* name);
