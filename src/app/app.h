// The run flow of MailTally and the check of the global UID counter.
#pragma once

#include <cstdint>

#include "scan/scan.h"

// Runs the tool on the store in the current directory; returns the exit
// status: 0, or -1 (255 to the shell) after an argument it does not know,
// when the report could not be written, when a rewrite or the raise of
// the counter did not reach stable storage, or when a fix found another
// fix of the store running.
int RunMailTally(int argc, char** argv);

// The name of the store root's global UID counter file.
extern const char COUNTER_FILE_NAME[];

// Compares the global UID counter of the store root `root` with the highest
// UID of the run; reports a counter that is too low or, in fix mode, raises
// it to one above the highest UID, provided the report so far could be
// written. False when a raise was tried and failed.
bool CheckGlobalCounter(Directory* root, Mode mode, RunTotals& totals);
