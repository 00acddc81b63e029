// The status line of a long walk: drawn on standard error when that is a
// terminal, overwritten in place, erased at the end of the walk and, where
// standard output goes to a terminal too, before report lines, so the
// report never carries a trace of it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

struct Progress {
  bool enabled = false;        // standard error is a terminal
  bool sharesTerminal = false;  // and so is standard output
  uint64_t mailboxes = 0;
  std::atomic<uint64_t> files{0};  // counted by the readers too
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point nextDraw;
  size_t shown = 0;  // characters of the line now on the terminal
};

// Enables the line when standard error is a terminal.
void StartProgress(Progress& progress);

// Redraws the line with the current counts, at most ten times a second.
void RefreshProgress(Progress& progress);

// Erases the line, if one is shown; the next refresh draws it again.
void HideProgress(Progress& progress);

// Erases the line before report lines, where they would share its line.
void ClearForReport(Progress& progress);
