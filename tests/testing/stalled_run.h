// A run of the binary under test whose standard output is a pipe with
// little room: the run stops at the write that needs more, so the test can
// change the store while the run waits there, as a mail server beside it
// would, and then let it go on. Linux only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/store.h"

class StalledRun {
 public:
  // Starts the binary in the store's root with `environment` before it, as
  // Store::Run takes it. The pipe takes `room` bytes of the report before a
  // write waits, or, where the pipe is `nonBlocking` (as some parents hand
  // one over), fails for now with EAGAIN.
  StalledRun(const Store& store, const std::vector<std::string>& args,
             const std::string& environment = "", size_t room = 0, bool nonBlocking = false);
  ~StalledRun();
  StalledRun(const StalledRun&) = delete;
  StalledRun& operator=(const StalledRun&) = delete;

  // Waits until the run is held in a write of its report, or in a wait for
  // the pipe to take more. False when it ended or did not get there within
  // a minute.
  bool WaitUntilStalled();

  // Lets the run go on and waits for its end.
  RunResult Finish();

 private:
  pid_t pid_ = -1;
  int output_ = -1;      // the pipe's reading end
  size_t filler_ = 0;    // bytes put in the pipe before the run started
  TempDir scratch_;      // standard error
};
