// Read-ahead: a stage between the traversal and the walk. On a store that
// is not in the page cache the walk spends its time waiting for storage,
// one file at a time; here the traversal runs on a lister thread and reader
// threads read UID fields ahead of the walk, so the waits overlap. The walk
// itself still does, on its own thread and in walk order, everything that
// shows: every report line and every rewrite.
#pragma once

#include "scan/scan.h"

// Reader threads: MAILTALLY_READERS from the environment, else a default
// suited to storage with many requests in flight; 0 turns read-ahead off.
int CountReaders();

// Runs the walk over the store below `root` with up to `readers` reader
// threads and a lister, which between them hold at most `spareHandles`
// files and directories. False, before anything is read, when that is too
// few or no helper thread could be started.
bool ScanStoreAhead(Directory* root, int readers, size_t spareHandles, WalkState& walk);
