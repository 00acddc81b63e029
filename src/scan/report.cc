#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scan/scan.h"

namespace {

// `error` is errno after the failure came to light. A write of a full
// buffer fails inside printf, and the stream drops what it could not
// write, so a later flush may find nothing to send and leave errno as
// that write set it; failing that, the cause is unknown.
void RecordLoss(RunTotals& totals, int error) {
  totals.reportLost = true;
  totals.reportError = strerror(error != 0 ? error : EIO);
}

}  // namespace

bool FlushReportOutput(RunTotals& totals) {
  if (totals.reportLost) return false;
  int earlier = errno;  // as a failed write inside printf may have left it
  errno = 0;
  if (fflush(stdout) != 0)
    RecordLoss(totals, errno);
  else if (ferror(stdout))
    RecordLoss(totals, earlier);
  return !totals.reportLost;
}

bool CheckReportOutput(RunTotals& totals) {
  if (totals.reportLost) return false;
  if (ferror(stdout)) RecordLoss(totals, errno);
  return !totals.reportLost;
}

bool MayGoOn(RunTotals& totals) { return !totals.outOfHandles && CheckReportOutput(totals); }
