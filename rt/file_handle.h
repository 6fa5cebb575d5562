// Files and folders held open and checked through their handles, for folders that someone else
// may be able to write to: nothing is followed through a link, nothing checked through a handle
// is opened again by its path, and what is deleted is deleted through the handle that was checked.
// Paths are UTF-8. Failures are reported as everywhere in rt/ (rt/result.h): null handles, 1.
#pragma once

#include <windows.h>
#include <stdint.h>

// The last error when a path leads through a link (a junction, a symbolic link, a mount point) or
// otherwise ends somewhere else than it says.
const DWORD ERROR_PATH_REDIRECTED = ERROR_CANT_RESOLVE_FILENAME;

// Opens an existing folder with access (plus reading its attributes) without following a link
// at its end, and checks that neither it nor any folder on the way is a link (handle_is_at).
// Others may read and write in it but can neither delete, rename nor move it while the handle is
// open. Null otherwise.
HANDLE dir_open_held(const char* path, DWORD access);
// Makes the new folder `name` inside the held folder parent, with descriptor (null: inherited
// rights), and opens it in the same step, so that nothing can stand in its place between the two:
// for listing and reading its security; others may read and write in it but can neither delete,
// rename nor move it while the handle is open. 0 and the handle in folder; 1 otherwise (ERROR_ALREADY_EXISTS when
// anything stands there).
int dir_create_in(HANDLE parent, const char* name, PSECURITY_DESCRIPTOR descriptor, HANDLE* folder);
// Opens the existing folder `name` inside the held folder parent as dir_create_in does, and also
// for deletion, without following a link: a link, or anything whose final path is not parent's path and name, fails with
// ERROR_PATH_REDIRECTED. Null otherwise.
HANDLE dir_open_in(HANDLE parent, const char* name);
// Calls visit for each entry of the folder of handle (opened for listing), never for "." and
// "..", with the entry's name (UTF-8) and attributes. 0 when the listing ran to its end; 1 when
// it could not start or was cut short.
int dir_list_handle(HANDLE folder, void (*visit)(const char* name, DWORD attributes, void* context), void* context);

// Creates the new file `name` inside the held folder (never opens an existing one) for reading,
// writing and deleting, with descriptor (null: the rights the folder hands down); others may read
// it, nothing else, for as long as the handle is open. Null on failure.
HANDLE file_create_in(HANDLE folder, const char* name, PSECURITY_DESCRIPTOR descriptor);
// Opens the file `name` inside the held folder for deletion only, without following a link at its
// end: a link is deleted, not what it points at. Nobody else may have it open. Null on failure.
HANDLE file_open_for_delete_in(HANDLE folder, const char* name);
// Turns the writer of a finished file, marked for deletion (handle_delete), into a lock: a handle
// that reads (and may delete) the very same file, while others may only read it, neither write,
// rename nor delete it. The file stays marked under the lock (handle_keep lifts the mark, for
// CreateProcessW to open the file). The writer is closed when the lock was made; on failure it
// stays open, its file still marked, for the caller to discard. Null on failure.
HANDLE file_lock_from_writer(HANDLE* writer);

// Marks the file or empty folder of handle (opened with DELETE access) for deletion: it goes when
// its last handle closes, also when the system closes it for a process that ended. 0 or 1.
int handle_delete(HANDLE handle);
// Lifts handle_delete's mark through the same handle: the file stays when its last handle closes.
// A file marked for deletion can't be opened again, by anyone. 0 or 1.
int handle_keep(HANDLE handle);
// Closes a handle held in a record, when there is one, and leaves null in its place.
void handle_close(HANDLE* handle);
// The system's final path of the object of handle, as a new heap UTF-8 string in the form paths
// are written in ("C:\..." or "\\server\..."); null on failure.
char* handle_path(HANDLE handle);
// True when the object of handle is no link and the system's final path of the handle is path,
// compared without regard to case, after path's short names are made long: so no folder on the
// way is a link either.
bool handle_is_at(HANDLE handle, const char* path);
