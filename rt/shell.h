// The shell and the system's error texts.
#pragma once

#include <windows.h>
#include <stdint.h>

// 0 when the shell accepted the target (a path or a URL) for its "open" verb; 1 otherwise.
int shell_open(const char* target);
// How shell_open_unelevated handled a target.
enum ShellOpenWay {
    SHELL_OPEN_NONE,            // nothing took it
    SHELL_OPEN_HERE,            // the caller is not elevated: opened as shell_open does
    SHELL_OPEN_BY_DESKTOP,      // the desktop shell's own process took it
    SHELL_OPEN_AS_DESKTOP_USER, // explorer, started with the desktop shell's token, was given it
    SHELL_OPEN_COPIED,          // no program may open it for the user: it is on the clipboard as text
};
// Opens target (a path or a URL) without lending this process's rights to what opens it. A caller
// that is not elevated opens it as shell_open does. An elevated one never does: it asks the desktop
// shell's own process (through its IShellDispatch2, on a thread of its own that alone sets up COM;
// the caller's COM is not touched), which has the user's rights. When the shell does not take it
// within 2 s, %SystemRoot%\explorer.exe "<target>" is started with the desktop shell's token
// (shell_open_as_desktop_user); when there is no desktop shell whose token may be lent, the target
// is put on the clipboard. Answers messages sent to the caller's windows while it waits.
// 0 when one way took the target (*way says which); 1 otherwise (*way SHELL_OPEN_NONE).
int shell_open_unelevated(const char* target, ShellOpenWay* way);
// Asks the desktop shell's own process to open target with its "open" verb, as above. 0 when it
// took the target, or was given it and has not answered within 2 s more (asking again could open
// it twice); 1 otherwise.
int shell_open_by_desktop(const char* target);
// A primary token duplicated from the token of the desktop shell's process (the window that
// GetShellWindow names), for starting a program with the desktop user's rights. Null when there is
// no desktop shell, its token can't be had, or it is elevated (or can't be told not to be): a
// program that registered an elevated window as the shell would lend rights the user's desktop
// does not have. The caller closes the token.
HANDLE desktop_user_token();
// Starts %SystemRoot%\explorer.exe "<target>" with token (CreateProcessWithTokenW, which needs the
// impersonation right that an elevated administrator holds), so that the program that opens the
// target runs with that token's rights. 0 when it started; 1 otherwise, also for a target that
// can't be passed as one argument: empty, holding a double quote, or starting with '/' (a switch).
int shell_open_as_desktop_user(HANDLE token, const char* target);
// Replaces the clipboard's contents with text (UTF-8) as Unicode text. Waits up to about half a
// second for another program to let go of the clipboard. 0 on success; 1 otherwise.
int clipboard_put_text(const char* text);

// The steps of shell_open_unelevated in the order it tries them; tests replace them to steer it.
struct ShellOpenSteps {
    bool (*caller_may_be_elevated)(); // true also when it can't be told
    int (*open_here)(const char* target);
    int (*open_by_desktop)(const char* target);
    HANDLE (*desktop_user_token)();
    int (*open_as_desktop_user)(HANDLE token, const char* target);
    int (*copy_to_clipboard)(const char* text);
};
extern ShellOpenSteps shell_open_steps;
// 0 and the NUL-terminated UTF-8 message for code in out; 1 otherwise (out holds "" when the system
// has no text and out_size > 0). out_size 0: 1, nothing written.
int system_error_text(uint32_t code, char* out, int32_t out_size);
