// The report: every line MailTally prints on standard output, and the lines
// on standard error that say why a run stopped early. No other file of the
// program writes to either stream (the status line aside, which shows
// counts only).
//
// The report is the only record of what a fix changed, so its rules live
// here with its lines: names and paths are printed so that none can forge
// a line or drive a terminal (PrintableName), lines go out in order, a
// failed write is never passed over (from then on nothing more is sent, and
// the run stops), and a slow reader is waited for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Called once before the first line: on a terminal each line is sent as it
// is printed, elsewhere lines are gathered and sent in larger writes.
void StartReport();

// Sends every line printed so far. False, then and from then on, when that
// or any earlier write of the report failed.
bool FlushReportOutput();

// False once a write of the report has failed. Sends nothing.
bool CheckReportOutput();

// `text` cut to its first `most` bytes, then with each byte 0x00-0x1F and
// 0x7F, and each two-byte UTF-8 sequence of U+0080-U+009F, shown as one '?':
// a name can hold a line end or a terminal's control sequence. In the
// Windows build, each surrogate without its pair (see NAMES_ARE_WTF8) is
// one '?' too.
std::string PrintableName(std::string_view text, size_t most = std::string_view::npos);

// The run and its command line.
void PrintBanner();
void PrintUsage();
void PrintUnrecognisedParameter(const char* argument);

// A mailbox's duplicates.
void PrintHeading(const std::string& fullPath);
void PrintGroup(int count, uint32_t uid);
void PrintGroupFile(const std::string& name);
void PrintRenumbered(const std::string& name, uint32_t uid);
void PrintLinkedFile(const std::string& name);
void PrintNoFreeId(const std::string& name);
void PrintNotReadWhole(const std::string& name);
void PrintInternalError(int visited, int count);

// A message file that was not rewritten after its "ID changed" line: the
// line that says so is sent at once, so that a run stopped right after it
// does not leave the report claiming a change that was not made.
void PrintOpenError(const std::string& path);
void PrintChangedSinceRead(const std::string& path);
void PrintSetError(bool encrypted);

// A directory the walk let go of and could not open again.
void PrintReopenError(const std::string& path);

// What of a mailbox could not be read: a listed message file that is there
// but cannot be opened or read, and a listing cut short.
void PrintReadError(const std::string& path);
void PrintListingError(const std::string& path);

// The totals and the counter.
void PrintTotal(int32_t errorCount);
void PrintCounterTooLow(uint32_t stored, uint32_t needed);
void PrintCounterSet(uint32_t needed, uint32_t stored);
void PrintCounterSetError(uint32_t needed, uint32_t stored);

// Standard error: why a run stopped early. `fix` adds that nothing was
// changed after that point. A handle limit of 0 is not named.
void PrintReportLost(bool fix);
void PrintTooFewHandles(uint64_t limit, bool fix);
void PrintSyncFailure(const std::string& cause);
// A fix that found another fix of the same store running, and stopped
// before reading anything.
void PrintFixRunning();
