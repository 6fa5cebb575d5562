// One installer per user session: a second copy must not touch the file the first is writing.
#pragma once

#include <windows.h>

// Claims the session-wide instance name. 0: this is the only installer, *claim holds the name
// until single_instance_release. 1: another installer runs (*claim is null). When the name can't
// be created at all the run goes on (0 with a null claim): better a possible clash than no installer.
int single_instance_claim(HANDLE* claim);
void single_instance_release(HANDLE claim);
// Brings the running installer's top window to the front; waits up to about a second for it to
// appear when that installer is still starting.
void single_instance_activate_other();
