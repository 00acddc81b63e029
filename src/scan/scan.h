// The scan of the message store, in stages:
//   list   (walk.cc)       one traversal yields the mailboxes in walk order;
//   read   (readahead.cc)  optionally, helper threads read UIDs ahead;
//   index  (mailbox.cc)    the walk's thread reads what is not read yet,
//                          builds the mailbox's index and folds the totals;
//   check  (duplicates.cc) reports, and in fix mode renumbers, duplicates.
// ScanStore (mailbox.cc) joins them, with or without read-ahead.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scan/progress.h"

enum class Mode { CHECK, FIX };

// Run-wide counters, lent by reference to every stage of the walk.
struct RunTotals {
  int32_t errorCount = 0;
  uint32_t highestUid = 0;
  Progress progress;  // what has been read so far, shown on a terminal
  // Set when the walk could not open a file or directory for want of
  // handles: a file it cannot read would count as UID 0 and a directory it
  // cannot open would be passed over, so from then on the run changes
  // nothing and stops, as after a lost report.
  bool outOfHandles = false;
};

// False once the run must stop: a write of its report failed (the report
// is the only record of what a fix changed), or it ran out of handles.
bool MayGoOn(const RunTotals& totals);

// One message file of a mailbox directory, as the walk read it.
struct FileEntry {
  uint32_t uid;
  std::string name;
};

// A mailbox's message files ordered by ascending UID; files with equal UIDs
// keep their listing order.
using DirectoryIndex = std::vector<FileEntry>;

// An open directory handle shared between the traversal, which opens it,
// and whoever reads the mailbox's files; closed when the last lets go.
using SharedDirectory = std::shared_ptr<Directory>;

// What the traversal hands on, in walk order: a mailbox, or a place where
// it could not go on as it should.
enum class MailboxKind {
  LISTED,
  // `path` names a directory the traversal let go of and could not open
  // again (renamed, removed, or another directory under its name): its
  // subdirectories not visited yet are passed over.
  NOT_REOPENED,
  // No handle was left to open a directory with: the traversal ends here.
  OUT_OF_HANDLES,
  // `path` names the store root, which holds no mailbox, and its listing
  // failed partway: the subdirectories it did list are still visited.
  ROOT_NOT_LISTED_WHOLE,
};

// What became of reading a message file (Mailbox::read). A reader sets
// only NOT_READ or READ; the walk alone decides the rest.
const uint8_t NOT_READ = 0;
const uint8_t READ = 1;
// There, but it could not be opened or read: it counts as UID 0, and its
// mailbox is not read whole.
const uint8_t UNREADABLE = 2;
// Removed since the listing: no longer in the mailbox.
const uint8_t GONE = 3;

// A mailbox directory as the traversal lists it.
struct Mailbox {
  MailboxKind kind = MailboxKind::LISTED;
  SharedDirectory dir;
  std::string path;  // relative to the store root, for the report
  int depth = 0;     // the store root's mailboxes are at depth 1
  std::vector<std::string> names;  // message files, in listing order
  std::vector<uint32_t> uids;      // uids[i] is the UID of names[i] ...
  std::vector<uint8_t> read;       // ... once read[i] is READ (not a
                                   // vector<bool>: readers set them apart)
  // As DirectoryListing has them: false when the listing failed partway;
  // empty, or set where a name is shown more than once.
  bool listedWhole = true;
  std::vector<uint8_t> repeated;
};

// Takes each mailbox in walk order; false stops the traversal.
using MailboxSink = std::function<bool(Mailbox& box)>;

// The least `mostHandles` WalkStore can keep to.
const size_t MOST_HANDLES_AT_LEAST = 3;

// The one traversal of the store below `root` (depth 0, which holds no
// mailbox): every directory once, parents before their subdirectories,
// subdirectories in listing order. Besides the root's, it holds at most
// `mostHandles` directory handles (at least MOST_HANDLES_AT_LEAST), two of
// them only while it opens a directory.
void WalkStore(Directory* root, size_t mostHandles, const MailboxSink& sink);

// The walk's side of the scan: what it has seen so far.
struct WalkState {
  Mode mode;
  RunTotals& totals;
  // After a failed consistency check the walk leaves that directory's
  // subdirectories and its parent's remaining ones: every mailbox at its
  // depth or deeper until the walk is back above it.
  int skipFrom = INT_MAX;
};

// Unless the walk passes over `box` (see WalkState::skipFrom): reads the
// UIDs of `box` not read yet, checks the mailbox for duplicates and folds
// its highest UID into the totals; or reports a place where the traversal
// could not go on.
void CheckMailbox(WalkState& walk, Mailbox& box);

// Scans the whole store below `root`: with `readers` helper threads reading
// ahead of the walk, or, with 0 or when no thread can be started, on this
// thread alone. The report and the bytes left are the same either way.
void ScanStore(Directory* root, Mode mode, int readers, RunTotals& totals);

// Reports, and in fix mode renumbers, the duplicate UIDs of one mailbox.
// Fresh UIDs are handed out above `dirMax`, which grows with each one; in a
// mailbox not `readWhole` its highest UID is unknown, so none is handed out
// and nothing is renumbered. Returns false only when the consistency check
// fails.
bool CheckDuplicates(const DirectoryIndex& index, Directory* dir,
                     const std::string& dirPath, Mode mode, bool readWhole,
                     uint32_t& dirMax, RunTotals& totals);
