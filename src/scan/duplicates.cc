#include "msgfile/msgfile.h"
#include "report/report.h"
#include "scan/scan.h"

namespace {

const uint32_t HIGHEST_UID = 0xFFFFFFFF;

// Every file of the group after the first gets a fresh UID above the
// directory's highest; the first keeps its UID and is not opened. A linked
// file is left as it is: a write through it would change the file under its
// other names too, which may be the group's first or lie in a mailbox
// already checked, or outside the store.
void RenumberGroup(const DirectoryIndex& index, size_t first, size_t end,
                   Directory* dir, const std::string& dirPath, bool readWhole,
                   uint32_t& dirMax, RunTotals& totals) {
  PrintGroupFile(index[first].name);
  for (size_t i = first + 1; i < end; ++i) {
    const FileEntry& entry = index[i];
    if (IsLinkedFile(dir, entry.name)) {
      PrintLinkedFile(entry.name);
      continue;
    }
    // A file not read may hold any UID: a fresh one may be one in use.
    if (!readWhole) {
      PrintNotReadWhole(entry.name);
      continue;
    }
    // Wrapping to 0 would hand out UIDs the directory already holds.
    if (dirMax == HIGHEST_UID) {
      PrintNoFreeId(entry.name);
      continue;
    }
    ++dirMax;
    PrintRenumbered(entry.name, dirMax);
    // The report is the record of the fix: a file is rewritten only once
    // its line is out, and nothing is after a line was lost.
    if (!FlushReportOutput()) return;
    if (!WriteMessageUid(dir, entry.name, dirPath + PATH_SEPARATOR + entry.name,
                         entry.uid, dirMax)) {
      totals.outOfHandles = true;
      return;
    }
  }
}

}  // namespace

bool CheckDuplicates(const DirectoryIndex& index, Directory* dir,
                     const std::string& dirPath, Mode mode, bool readWhole,
                     uint32_t& dirMax, RunTotals& totals) {
  bool headingPrinted = false;
  size_t visited = 0;
  for (size_t first = 0; first < index.size();) {
    uint32_t uid = index[first].uid;
    size_t end = first + 1;
    while (end < index.size() && index[end].uid == uid) ++end;
    size_t n = end - first;
    if (n > 1) {
      totals.errorCount += static_cast<int32_t>(n);
      if (!headingPrinted) {
        // The mailbox's report lines may share the terminal with the
        // status line.
        ClearForReport(totals.progress);
        PrintHeading(GetFullPath(dirPath));
        headingPrinted = true;
      }
      PrintGroup(static_cast<int>(n), uid);
      if (mode == Mode::FIX) {
        RenumberGroup(index, first, end, dir, dirPath, readWhole, dirMax, totals);
        // The run stops here; the walk leaves the rest unchecked.
        if (!MayGoOn(totals)) return true;
      } else {
        for (size_t i = first; i < end; ++i) PrintGroupFile(index[i].name);
      }
    }
    visited += n;
    first = end;
  }
  if (visited != index.size()) {
    PrintInternalError(static_cast<int>(visited), static_cast<int>(index.size()));
    return false;
  }
  return true;
}
