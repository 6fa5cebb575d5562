// One installer per user session: a second copy must not touch the file the first is writing.
#pragma once

#include <windows.h>

// How long a second copy waits for the running installer's window. An installer shows its splash
// moments after it claims the name; a slow start still shows it well within this.
const DWORD SINGLE_INSTANCE_WAIT_MS = 5000;

// Claims the session-wide instance name. 0: this is the only installer, *claim holds the name
// until single_instance_release. 1: another installer runs (*claim is null). When the name can't
// be created at all the run goes on (0 with a null claim): better a possible clash than no installer.
int single_instance_claim(HANDLE* claim);
void single_instance_release(HANDLE claim);
// What a second copy does once the name is taken: it waits up to wait_ms for the running
// installer's top window and brings it to the front (0: the first installer goes on with the job).
// The name is open to every program of the session, and so are the window's class and title: when
// this process is elevated, only a window of an elevated process counts, which a program of the
// user's can't start without the user's consent. 1 when no such window appeared: whatever holds the
// name, nothing was done, and the run must not end as if it had been.
int single_instance_hand_over(DWORD wait_ms);
