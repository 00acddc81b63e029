#include <cstring>
#include <string>

#include "app/app.h"
#include "report/report.h"
#include "scan/readahead.h"

namespace {

// Switches match with the letters A-Z folded to lower case, and no others.
bool IsSwitch(const char* argument, const char* name) {
  if (strlen(argument) != strlen(name)) return false;
  for (; *argument != '\0'; ++argument, ++name) {
    unsigned char c = *argument;
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (c != static_cast<unsigned char>(*name)) return false;
  }
  return true;
}

bool IsHelpSwitch(const char* argument) {
  return IsSwitch(argument, "-?") || IsSwitch(argument, "-help") ||
         IsSwitch(argument, "/?");
}

// Every message file a fix rewrote reaches stable storage before the run
// ends; false, with a line on standard error, when that failed.
bool SyncFixes() {
  std::string cause;
  if (SyncWrittenFiles(cause)) return true;
  PrintSyncFailure(cause);
  return false;
}

// Where the run ends before its report does: usage and refusal, the report
// is sent as far as it goes; their status does not depend on it.
int EndEarly(int status) {
  FlushReportOutput();
  return status;
}

}  // namespace

int RunMailTally(int argc, char** argv) {
  PreparePlatform();
  StartReport();
  PrintBanner();
  Mode mode = Mode::CHECK;
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], "-fix")) {
      mode = Mode::FIX;
    } else if (IsHelpSwitch(argv[i])) {
      PrintUsage();
      return EndEarly(0);
    } else {
      PrintUnrecognisedParameter(argv[i]);
      PrintUsage();
      return EndEarly(-1);
    }
  }

  RunTotals totals;
  OpenFailure failure = OpenFailure::REFUSED;
  Directory* root = OpenDirectory(".", &failure);
  totals.outOfHandles = root == nullptr && failure == OpenFailure::NO_HANDLES;
  // Two fixes side by side would each hand out the same fresh UIDs. The
  // lock is held until the root is closed, after the last report line.
  if (mode == Mode::FIX && root != nullptr &&
      LockStoreForFix(root) == StoreLock::HELD_BY_ANOTHER) {
    CloseDirectory(root);
    int status = EndEarly(-1);
    PrintFixRunning();
    return status;
  }
  StartProgress(totals.progress);
  if (root != nullptr && !totals.outOfHandles) ScanStore(root, mode, CountReaders(), totals);
  HideProgress(totals.progress);
  bool synced = mode == Mode::CHECK || SyncFixes();
  bool counterSet = true;
  if (MayGoOn(totals)) {
    PrintTotal(totals.errorCount);
    if (root != nullptr) counterSet = CheckGlobalCounter(root, mode, totals);
  }
  bool complete = FlushReportOutput();
  if (!complete)
    PrintReportLost(mode == Mode::FIX);
  else if (totals.outOfHandles)
    PrintTooFewHandles(GetHandleLimit(), mode == Mode::FIX);
  if (root != nullptr) CloseDirectory(root);
  return complete && !totals.outOfHandles && synced && counterSet ? 0 : -1;
}
