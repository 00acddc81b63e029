#include <string>

#include "app/app.h"
#include "platform/platform.h"
#include "report/report.h"

const char COUNTER_FILE_NAME[] = "nextuidl.dat";

namespace {

// The counter as stored: bytes missing at the end of a short file count as
// 0 high-order bytes. False when the file cannot be read.
bool ReadCounter(File* file, uint32_t& stored) {
  uint8_t bytes[4];
  long length = ReadFileAt(file, 0, bytes, sizeof bytes);
  if (length < 0) return false;
  stored = 0;
  for (long i = 0; i < length; ++i) stored |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return true;
}

// Reads the counter file `name` of `root`; false when it cannot be read,
// with why it could not be opened in `failure`.
bool ReadCounterFile(Directory* root, const std::string& name, uint32_t& stored,
                     OpenFailure& failure) {
  failure = OpenFailure::REFUSED;
  File* file = OpenFile(root, name, FileAccess::READ, &failure);
  if (file == nullptr) return false;
  bool ok = ReadCounter(file, stored);
  CloseFile(file);
  return ok;
}

// Fix mode: raises the counter to `needed`, reporting whether that worked.
// A raise lost in a power cut would let the server hand out used UIDs
// again: it is reported as done only once on stable storage. False when
// it was not.
bool RaiseCounter(File* file, uint32_t stored, uint32_t needed) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(needed >> (8 * i));
  std::string cause;
  bool written = WriteFileAt(file, 0, bytes, sizeof bytes) && SyncFile(file, cause);
  bool closed = CloseFile(file);
  if (written && closed)
    PrintCounterSet(needed, stored);
  else
    PrintCounterSetError(needed, stored);
  return written && closed;
}

}  // namespace

bool CheckGlobalCounter(Directory* root, Mode mode, RunTotals& totals) {
  std::string name;
  if (!FindFileIgnoringCase(root, COUNTER_FILE_NAME, name)) return true;
  uint32_t needed = totals.highestUid + 1;
  uint32_t stored = 0;
  // Check mode only ever reads, so a read-only counter is still checked. A
  // counter that is there but cannot be read may be too low: it is named.
  OpenFailure failure = OpenFailure::REFUSED;
  if (!ReadCounterFile(root, name, stored, failure)) {
    if (failure == OpenFailure::NO_HANDLES)
      totals.outOfHandles = true;
    else if (failure != OpenFailure::GONE)
      PrintOpenError(name);
    return true;
  }
  if (stored >= needed) return true;
  if (mode == Mode::CHECK) {
    PrintCounterTooLow(stored, needed);
    return true;
  }
  // The counter is raised only once the report of the run is out, which may
  // take long when the reader of the output is slow; meanwhile the server
  // may raise the counter, in place or by renaming a new file over it. So it
  // is opened by name only then, and read and compared again on the handle
  // it is written through: a counter is never lowered.
  if (!FlushReportOutput()) return true;
  // Unlike a message file, a linked counter is raised: a higher counter is
  // never wrong, under whichever name it is read.
  File* file = OpenFile(root, name, FileAccess::UPDATE, &failure);
  if (file == nullptr) {
    if (failure == OpenFailure::NO_HANDLES) {
      totals.outOfHandles = true;
      return true;
    }
    PrintOpenError(name);
    PrintCounterTooLow(stored, needed);
    return true;
  }
  if (!ReadCounter(file, stored) || stored >= needed) {
    CloseFile(file);
    return true;
  }
  return RaiseCounter(file, stored, needed);
}
