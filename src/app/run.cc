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

// Standard error carries what the report could not.
void ReportLostOutput(const RunTotals& totals, Mode mode) {
  fprintf(stderr, "mailtally: the report could not be written (%s)%s\n",
          totals.reportError.c_str(),
          mode == Mode::FIX ? "; nothing was changed after that point" : "");
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
  Directory* root = OpenDirectory(".");
  StartProgress(totals.progress);
  if (root != nullptr) ScanStore(root, mode, CountReaders(), totals);
  HideProgress(totals.progress);
  if (CheckReportOutput(totals)) {
    printf("Total Errors = %d\n", totals.errorCount);
    if (root != nullptr) CheckGlobalCounter(root, mode, totals);
  }
  if (root != nullptr) CloseDirectory(root);
  if (FlushReportOutput(totals)) return 0;
  ReportLostOutput(totals, mode);
  return -1;
}
