#include "report/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

// Lines are gathered up to about this much before a write, as a buffered
// stream would.
const size_t SEND_SIZE = 4096;

struct ReportState {
  std::string pending;  // printed, not sent yet
  bool eachLine = false;
  bool lost = false;
  std::string cause;  // the system's words for the failed write
};

ReportState& State() {
  static ReportState state;
  return state;
}

void Send(ReportState& report) {
  if (report.lost || report.pending.empty()) return;
  report.lost = !WriteStandardOutput(report.pending.data(), report.pending.size(), report.cause);
  report.pending.clear();
}

// Adds one line; after a failed write nothing more is gathered.
void PrintLine(const char* format, ...) {
  ReportState& report = State();
  if (report.lost) return;
  va_list arguments, again;
  va_start(arguments, format);
  va_copy(again, arguments);
  int length = vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length > 0) {
    size_t at = report.pending.size();
    report.pending.resize(at + static_cast<size_t>(length) + 1);
    vsnprintf(&report.pending[at], static_cast<size_t>(length) + 1, format, again);
    report.pending.pop_back();  // the terminating null
  }
  va_end(again);
  if (report.eachLine || report.pending.size() >= SEND_SIZE) Send(report);
}

const char NOTHING_CHANGED[] = "; nothing was changed after that point";

}  // namespace

void StartReport() { State().eachLine = IsTerminal(StandardStream::OUTPUT_STREAM); }

bool FlushReportOutput() {
  ReportState& report = State();
  Send(report);
  return !report.lost;
}

bool CheckReportOutput() { return !State().lost; }

std::string PrintableName(std::string_view text, size_t most) {
  text = text.substr(0, std::min(most, text.find('\0')));
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      shown += '?';
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      shown += '?';
      ++i;
    } else if (NAMES_ARE_WTF8 && c == 0xED && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0xA0 &&
               static_cast<unsigned char>(text[i + 1]) <= 0xBF) {
      // A Windows name's surrogate without its pair (WTF-8 ED A0-BF xx),
      // which no UTF-8 reader can show: one '?' for its three bytes, or for
      // what a cut left of them. POSIX names are bytes and show as they are.
      shown += '?';
      i += i + 2 < text.size() ? 2 : text.size() - i - 1;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

void PrintBanner() { PrintLine("MailTally - message UID check and repair for the KORVA mail store\n\n"); }

void PrintUsage() {
  PrintLine("Usage - MAILTALLY            check message UIDs\n");
  PrintLine("Usage - MAILTALLY -?         show this help\n");
  PrintLine("Usage - MAILTALLY -fix       check and fix message UIDs\n");
}

void PrintUnrecognisedParameter(const char* argument) {
  PrintLine("Unrecognised parameter - \"%.100s\"\n\n", argument);
}

void PrintHeading(const std::string& fullPath) {
  PrintLine("Checking %s\n", PrintableName(fullPath, 300).c_str());
}

void PrintGroup(int count, uint32_t uid) { PrintLine("%d messages with ID %u\n", count, uid); }

void PrintGroupFile(const std::string& name) {
  PrintLine("    %s\n", PrintableName(name).c_str());
}

void PrintRenumbered(const std::string& name, uint32_t uid) {
  PrintLine("    %s - ID changed to %u\n", PrintableName(name).c_str(), uid);
}

void PrintLinkedFile(const std::string& name) {
  PrintLine("    %s - linked file, not changed\n", PrintableName(name).c_str());
}

void PrintNoFreeId(const std::string& name) {
  PrintLine("    %s - no free ID left, not changed\n", PrintableName(name).c_str());
}

void PrintNotReadWhole(const std::string& name) {
  PrintLine("    %s - not changed, a file of this mailbox could not be read\n",
            PrintableName(name).c_str());
}

void PrintInternalError(int visited, int count) {
  PrintLine("Internal error 1 : %d - %d\n", visited, count);
}

void PrintOpenError(const std::string& path) {
  PrintLine("Error opening file \"%s\"\n", PrintableName(path, 200).c_str());
  FlushReportOutput();
}

void PrintChangedSinceRead(const std::string& path) {
  PrintLine("Error UIDL of file \"%s\" changed since it was read\n",
            PrintableName(path, 200).c_str());
  FlushReportOutput();
}

void PrintSetError(bool encrypted) {
  PrintLine(encrypted ? "Error setting Encrypted UIDL\n" : "Error setting UIDL\n");
  FlushReportOutput();
}

void PrintReopenError(const std::string& path) {
  PrintLine("Error reopening directory \"%s\" - its remaining subdirectories were not checked\n",
            PrintableName(path, 200).c_str());
}

void PrintReadError(const std::string& path) {
  PrintLine("Error reading file \"%s\"\n", PrintableName(path, 200).c_str());
}

void PrintListingError(const std::string& path) {
  PrintLine("Error listing directory \"%s\" - it was not read whole\n",
            PrintableName(path, 200).c_str());
}

void PrintTotal(int32_t errorCount) { PrintLine("Total Errors = %d\n", errorCount); }

void PrintCounterTooLow(uint32_t stored, uint32_t needed) {
  PrintLine("KORVA Global UID too low - %u (needs to be at least %u)\n", stored, needed);
}

void PrintCounterSet(uint32_t needed, uint32_t stored) {
  PrintLine("Set KORVA Global UID to %u (was %u)\n", needed, stored);
}

void PrintCounterSetError(uint32_t needed, uint32_t stored) {
  PrintLine("Error setting KORVA Global UID to %u (was %u)\n", needed, stored);
}

void PrintReportLost(bool fix) {
  fprintf(stderr, "mailtally: the report could not be written (%s)%s\n", State().cause.c_str(),
          fix ? NOTHING_CHANGED : "");
}

void PrintTooFewHandles(uint64_t limit, bool fix) {
  if (limit != 0)
    fprintf(stderr, "mailtally: too few file handles (the limit is %llu)%s\n",
            static_cast<unsigned long long>(limit), fix ? NOTHING_CHANGED : "");
  else
    fprintf(stderr, "mailtally: too few file handles%s\n", fix ? NOTHING_CHANGED : "");
}

void PrintSyncFailure(const std::string& cause) {
  fprintf(stderr,
          "mailtally: the rewritten message files could not be flushed to stable storage (%s)\n",
          cause.c_str());
}

void PrintFixRunning() {
  fprintf(stderr, "mailtally: another fix is running in this store; nothing was changed\n");
}
