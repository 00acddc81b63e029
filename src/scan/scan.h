// The walk over the message store and the per-mailbox duplicate UID check.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scan/progress.h"

enum class Mode { CHECK, FIX };

// Run-wide counters, lent by reference to every level of the walk.
struct RunTotals {
  int32_t errorCount = 0;
  uint32_t highestUid = 0;
  Progress progress;  // what has been read so far, shown on a terminal
  // Set at the first failure to write the report to standard output, with
  // the system's words for its cause. The report is the only record of what
  // a fix changed: from then on the run changes nothing and stops.
  bool reportLost = false;
  std::string reportError;
};

// Sends the report printed so far to standard output. False, with the
// failure recorded in the totals, when that or any earlier part of the
// report could not be written.
bool FlushReportOutput(RunTotals& totals);

// The same without sending anything: false once standard output has failed
// a write, for example of a full buffer. Cheap enough for every mailbox.
bool CheckReportOutput(RunTotals& totals);

// One message file of a mailbox directory, as the walk read it.
struct FileEntry {
  uint32_t uid;
  std::string name;
};

// A mailbox's message files ordered by ascending UID; files with equal UIDs
// keep their listing order.
using DirectoryIndex = std::vector<FileEntry>;

// The directories the walk has entered; a directory reached a second time,
// through a link or a loop, is passed over.
using VisitedDirectories = std::set<DirectoryId>;

// Reads the UID of each message file of `dir` into a sorted index, and
// returns the directory's highest UID through `dirMax`. The names are moved
// into the index.
DirectoryIndex BuildDirectoryIndex(Directory* dir, std::vector<std::string>& names,
                                   uint32_t& dirMax, Progress& progress);

// The index of message files whose UIDs were read already: `uids[i]` is the
// UID of `names[i]`. The names are moved into the index.
DirectoryIndex IndexMessageFiles(std::vector<std::string>& names,
                                 const std::vector<uint32_t>& uids, uint32_t& dirMax);

// Runs the duplicate check on a mailbox's index and folds its highest UID
// into the totals; returns the duplicate check's result.
bool CheckMailbox(const DirectoryIndex& index, Directory* dir, const std::string& dirPath,
                  Mode mode, uint32_t dirMax, RunTotals& totals);

// Walks the whole store below `root`, the store root, on this thread alone.
void ScanStore(Directory* root, Mode mode, RunTotals& totals);

// Walks `dir`, reached through `dirPath` (the path relative to the store
// root, extended and restored on the way down), and every directory below
// it. The store root itself (depth 0) holds no mailbox. Returns false when a
// directory failed the duplicate check's consistency check.
bool ScanDirectory(std::string& dirPath, Directory* dir, Mode mode, int depth,
                   RunTotals& totals, VisitedDirectories& visited);

// Reports, and in fix mode renumbers, the duplicate UIDs of one mailbox.
// Fresh UIDs are handed out above `dirMax`, which grows with each one.
// Returns false only when the consistency check fails.
bool CheckDuplicates(const DirectoryIndex& index, Directory* dir,
                     const std::string& dirPath, Mode mode, uint32_t& dirMax,
                     RunTotals& totals);
