// A fix holds its store for the whole run: a second fix started meanwhile
// stops before reading anything, so the two never hand out the same fresh
// UIDs. The first fix is held at a write of its report.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "testing/stalled_run.h"
#include "testing/store.h"
#include "testing/temp_dir.h"

namespace {

TEST(StoreLock, ASecondFixIsRefusedBeforeItReadsAnything) {
  Store store;
  store.Put("a/I1.DAT", PlainMessage(7));
  store.Put("a/I2.DAT", PlainMessage(7));
  store.Put("nextuidl.dat", Le32(50));
  const std::string walk = "Checking " + store.Heading("a") +
                           "\n2 messages with ID 7\n    I1.DAT\n"
                           "    I2.DAT - ID changed to 8\n";
  // The first fix waits to send its totals line, its walk done; on Windows
  // each line ends in two bytes.
  const std::string upToTotals = Report(walk);
  const size_t room = upToTotals.size() +
                      (RUNS_UNDER_WINE ? std::count(upToTotals.begin(), upToTotals.end(), '\n') : 0);
  StalledRun first(store, {"-fix"}, "", room);
  ASSERT_TRUE(first.WaitUntilStalled());

  // Duplicates the first fix has passed: a second fix that walked would
  // renumber them.
  store.Put("b/I1.DAT", PlainMessage(3));
  store.Put("b/I2.DAT", PlainMessage(3));
  const auto before = store.Snapshot();
  const TempDir scratch;
  const std::filesystem::path out = scratch.path() / "out";
  const RunResult second = store.RunWithOutput({"-fix"}, ">'" + out.string() + "'");
  EXPECT_EQ(second.status, 255);
  EXPECT_EQ(Store::AsWritten(second.errors),
            "mailtally: another fix is running in this store; nothing was changed\n");
  std::ifstream written(out, std::ios::binary);
  EXPECT_EQ(Store::AsWritten(std::string(std::istreambuf_iterator<char>(written), {})),
            Report(""));
  EXPECT_EQ(store.Snapshot(), before);

  // A check takes no lock and is not refused.
  const std::string bBox = "Checking " + store.Heading("b") + "\n2 messages with ID 3\n";
  const RunResult check = store.Run();
  EXPECT_EQ(check.status, 0);
  EXPECT_NE(check.output.find(bBox), std::string::npos) << check.output;

  const RunResult done = first.Finish();
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.errors, "");
  EXPECT_EQ(Store::AsWritten(done.output), Report(walk + "Total Errors = 2\n"));
}

}  // namespace
