#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
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

const char NOTHING_CHANGED[] = "; nothing was changed after that point";

// Standard error carries why the run stopped early, where the report could
// not say it.
void ReportStop(const RunTotals& totals, Mode mode) {
  const char* after = mode == Mode::FIX ? NOTHING_CHANGED : "";
  if (totals.reportLost) {
    fprintf(stderr, "mailtally: the report could not be written (%s)%s\n",
            totals.reportError.c_str(), after);
  } else if (uint64_t limit = GetHandleLimit(); limit != 0) {
    fprintf(stderr, "mailtally: too few file handles (the limit is %llu)%s\n",
            static_cast<unsigned long long>(limit), after);
  } else {
    fprintf(stderr, "mailtally: too few file handles%s\n", after);
  }
}

// Every message file a fix rewrote reaches stable storage before the run
// ends; false, with a line on standard error, when that failed.
bool SyncFixes() {
  std::string cause;
  if (SyncWrittenFiles(cause)) return true;
  fprintf(stderr, "mailtally: the rewritten message files could not be flushed to stable storage (%s)\n",
          cause.c_str());
  return false;
}

}  // namespace

void PrintUsage() {
  printf("Usage - MAILTALLY            check message UIDs\n");
  printf("Usage - MAILTALLY -?         show this help\n");
  printf("Usage - MAILTALLY -fix       check and fix message UIDs\n");
}

int RunMailTally(int argc, char** argv) {
  PreparePlatform();
  printf("MailTally - message UID check and repair for the KORVA mail store\n\n");
  Mode mode = Mode::CHECK;
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], "-fix")) {
      mode = Mode::FIX;
    } else if (IsHelpSwitch(argv[i])) {
      PrintUsage();
      return 0;
    } else {
      printf("Unrecognised parameter - \"%.100s\"\n\n", argv[i]);
      PrintUsage();
      return -1;
    }
  }

  RunTotals totals;
  OpenFailure failure = OpenFailure::REFUSED;
  Directory* root = OpenDirectory(".", &failure);
  totals.outOfHandles = root == nullptr && failure == OpenFailure::NO_HANDLES;
  StartProgress(totals.progress);
  if (root != nullptr && !totals.outOfHandles) ScanStore(root, mode, CountReaders(), totals);
  HideProgress(totals.progress);
  bool synced = mode == Mode::CHECK || SyncFixes();
  if (MayGoOn(totals)) {
    printf("Total Errors = %d\n", totals.errorCount);
    if (root != nullptr) CheckGlobalCounter(root, mode, totals);
  }
  if (root != nullptr) CloseDirectory(root);
  bool complete = FlushReportOutput(totals) && !totals.outOfHandles;
  if (!complete) ReportStop(totals, mode);
  return complete && synced ? 0 : -1;
}
