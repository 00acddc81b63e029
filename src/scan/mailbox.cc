// The walk's side of the scan: it takes the mailboxes in walk order, reads
// whatever UIDs are not read yet, builds each mailbox's index and runs the
// duplicate check on it. Everything that shows (report lines, rewrites)
// happens here, on the walk's thread, in walk order.
#include <algorithm>

#include "msgfile/msgfile.h"
#include "report/report.h"
#include "scan/readahead.h"
#include "scan/scan.h"

namespace {

// Handles kept for the walk itself, beyond what the traversal and the
// readers may hold: the mailbox it checks, the file it reads or rewrites,
// the counter file.
const size_t WALK_HANDLES = 4;

// The one place that decides what a file not read ahead is: read, there
// but unreadable (UID 0), or gone; a symbolic link to nothing reads as 0.
// A name the listing shows twice is never read through: which file it
// reaches is not sure. Handles that ran out are the run's own want, not
// the file's, and stop the run (false).
bool ReadRemainingUids(Mailbox& box, Progress& progress) {
  for (size_t i = 0; i < box.names.size(); ++i) {
    bool repeated = !box.repeated.empty() && box.repeated[i];
    if (box.read[i] == READ && !repeated) continue;
    bool counted = box.read[i] == READ;  // by a reader
    OpenFailure failure = OpenFailure::REFUSED;
    if (repeated) {
      box.read[i] = UNREADABLE;
    } else if (TryReadMessageUid(box.dir.get(), box.names[i], true, box.uids[i], &failure)) {
      box.read[i] = READ;
    } else if (failure == OpenFailure::NO_HANDLES) {
      return false;
    } else if (failure == OpenFailure::NO_TARGET) {
      // No file's bytes, so no UID a fresh one could meet: read as UID 0.
      box.read[i] = READ;
      box.uids[i] = 0;
    } else {
      box.read[i] = failure == OpenFailure::GONE ? GONE : UNREADABLE;
    }
    if (box.read[i] != READ) box.uids[i] = 0;
    if (counted) continue;
    ++progress.files;
    RefreshProgress(progress);
  }
  return true;
}

// Names the files of `box` that could not be read, in listing order, and
// the listing itself if it was cut short; true when there was none of them.
bool ReportUnread(const Mailbox& box, RunTotals& totals) {
  bool whole = box.listedWhole;
  if (!whole) {
    ClearForReport(totals.progress);
    PrintListingError(box.path);
  }
  for (size_t i = 0; i < box.names.size(); ++i) {
    if (box.read[i] != UNREADABLE) continue;
    ClearForReport(totals.progress);
    PrintReadError(box.path + PATH_SEPARATOR + box.names[i]);
    whole = false;
  }
  return whole;
}

// Reports a place where the traversal could not go on as it should.
void ReportTraversalProblem(const Mailbox& box, RunTotals& totals) {
  if (box.kind == MailboxKind::OUT_OF_HANDLES) {
    totals.outOfHandles = true;
    return;
  }
  ClearForReport(totals.progress);
  if (box.kind == MailboxKind::ROOT_NOT_LISTED_WHOLE)
    PrintListingError(box.path);
  else
    PrintReopenError(box.path);
}

// The names are moved into the index.
DirectoryIndex IndexMessageFiles(Mailbox& box, uint32_t& dirMax) {
  DirectoryIndex index;
  index.reserve(box.names.size());
  dirMax = 0;
  for (size_t i = 0; i < box.names.size(); ++i) {
    if (box.read[i] == GONE) continue;
    dirMax = std::max(dirMax, box.uids[i]);
    index.push_back({box.uids[i], std::move(box.names[i])});
  }
  // Stable: files of one UID keep their listing order.
  std::stable_sort(index.begin(), index.end(),
                   [](const FileEntry& a, const FileEntry& b) { return a.uid < b.uid; });
  return index;
}

}  // namespace

void CheckMailbox(WalkState& walk, Mailbox& box) {
  RunTotals& totals = walk.totals;
  if (box.kind != MailboxKind::LISTED) {
    ReportTraversalProblem(box, totals);
    return;
  }
  if (box.depth >= walk.skipFrom) return;
  walk.skipFrom = INT_MAX;
  if (!ReadRemainingUids(box, totals.progress)) {
    totals.outOfHandles = true;
    return;
  }
  bool readWhole = ReportUnread(box, totals);
  uint32_t dirMax = 0;
  DirectoryIndex index = IndexMessageFiles(box, dirMax);
  ++totals.progress.mailboxes;
  if (!CheckDuplicates(index, box.dir.get(), box.path, walk.mode, readWhole, dirMax, totals))
    walk.skipFrom = box.depth;
  totals.highestUid = std::max(totals.highestUid, dirMax);
  RefreshProgress(totals.progress);
}

bool MayGoOn(const RunTotals& totals) { return !totals.outOfHandles && CheckReportOutput(); }

void ScanStore(Directory* root, Mode mode, int readers, RunTotals& totals) {
  WalkState walk{mode, totals};
  size_t left = CountHandlesLeft();
  size_t spare = left > WALK_HANDLES ? left - WALK_HANDLES : 0;
  // Too few to walk with at all: nothing is read, rather than files read as
  // UID 0 or directories passed over.
  if (spare < MOST_HANDLES_AT_LEAST) {
    totals.outOfHandles = true;
    return;
  }
  if (readers > 0 && ScanStoreAhead(root, readers, spare, walk)) return;
  // On one thread the traversal feeds the walk directly: each mailbox's
  // files are read when the walk reaches it, after every earlier rewrite.
  WalkStore(root, spare, [&](Mailbox& box) {
    CheckMailbox(walk, box);
    return MayGoOn(totals);
  });
}
