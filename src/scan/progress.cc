#include "scan/progress.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto REFRESH_INTERVAL = std::chrono::milliseconds(100);
const size_t MOST_LINE = 120;

// Writes `text` over the line now shown, in one write: standard error is
// unbuffered, and a terminal shows each write at once.
void ShowLine(Progress& progress, const char* text, size_t width) {
  char line[1 + 2 * MOST_LINE + 1];
  size_t length = 0;
  line[length++] = '\r';
  for (size_t i = 0; i < width; ++i) line[length++] = text[i];
  // A shorter line than the last must cover all of it.
  for (size_t i = width; i < progress.shown; ++i) line[length++] = ' ';
  if (width == 0) line[length++] = '\r';
  fwrite(line, 1, length, stderr);
  fflush(stderr);
  progress.shown = width;
}

void DrawProgress(Progress& progress, Clock::time_point now) {
  double seconds = std::chrono::duration<double>(now - progress.start).count();
  uint64_t files = progress.files.load();
  double rate = seconds > 0 ? static_cast<double>(files) / seconds : 0;
  char text[MOST_LINE];
  int length = snprintf(text, sizeof text, "%llu mailboxes, %llu files read, %.0f files/s",
                        static_cast<unsigned long long>(progress.mailboxes),
                        static_cast<unsigned long long>(files), rate);
  if (length <= 0) return;
  ShowLine(progress, text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

}  // namespace

void StartProgress(Progress& progress) {
  progress.enabled = IsTerminal(StandardStream::ERROR_STREAM);
  progress.sharesTerminal = progress.enabled && IsTerminal(StandardStream::OUTPUT_STREAM);
  progress.start = Clock::now();
  progress.nextDraw = progress.start;
}

void RefreshProgress(Progress& progress) {
  if (!progress.enabled) return;
  Clock::time_point now = Clock::now();
  if (now < progress.nextDraw) return;
  progress.nextDraw = now + REFRESH_INTERVAL;
  DrawProgress(progress, now);
}

void HideProgress(Progress& progress) {
  if (progress.shown > 0) ShowLine(progress, "", 0);
}

void ClearForReport(Progress& progress) {
  if (progress.sharesTerminal) HideProgress(progress);
}
