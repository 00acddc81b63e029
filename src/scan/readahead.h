// The walk with read-ahead. On a store that is not in the page cache the
// walk spends its time waiting for storage, one file at a time; here helper
// threads list directories and read UID fields ahead of it, so the waits
// overlap. The walk's thread still does, in walk order, everything that
// shows: every report line and every rewrite. Its report and the files it
// leaves are those of ScanDirectory, byte for byte.
#pragma once

#include "scan/scan.h"

// Reader threads: MAILTALLY_READERS from the environment, else a default
// suited to storage with many requests in flight; 0 turns read-ahead off.
int CountReaders();

// Walks the store below `root` (depth 0) as ScanDirectory does, with
// `readers` reader threads and one thread listing directories.
void ScanStoreAhead(Directory* root, Mode mode, int readers, RunTotals& totals);
