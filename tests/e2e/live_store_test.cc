// A store that changes while a fix runs, as it does beside a running mail
// server: the run is held at a write of its report while the test changes
// the store, then let go.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "testing/stalled_run.h"
#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

// The counter is raised by comparing it at the moment of writing: a value
// the server wrote while the run waited is never lowered, and one that the
// server replaced by renaming a new file over it is the one compared.
TEST(LiveStore, TheCounterIsComparedWhenItIsRaised) {
  const struct {
    const char* what;
    uint32_t meanwhile;
    bool byRename;
    std::string counterLine;
    uint32_t after;
  } cases[] = {
      {"raised above the need in place", 1000, false, "", 1000},
      {"raised above the need by a rename", 1000, true, "", 1000},
      {"raised, still below the need", 60, false, "Set KORVA Global UID to 92 (was 60)\n", 92},
      {"replaced, still below the need", 60, true, "Set KORVA Global UID to 92 (was 60)\n", 92},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store store;
    store.Put("box/I1.DAT", PlainMessage(7));
    store.Put("box/I2.DAT", PlainMessage(7));
    store.Put("box/I3.DAT", PlainMessage(90));
    store.Put("nextuidl.dat", Le32(50));
    const std::string walk = "Checking " + store.Heading("box") +
                             "\n2 messages with ID 7\n    I1.DAT\n"
                             "    I2.DAT - ID changed to 91\n";
    // Room for the report up to its totals line: the run waits to send
    // that line, the last before the counter step.
    StalledRun run(store, {"-fix"}, "", Report(walk).size());
    ASSERT_TRUE(run.WaitUntilStalled());
    if (c.byRename) {
      store.Put("nextuidl.new", Le32(c.meanwhile));
      fs::rename(store.root() / "nextuidl.new", store.root() / "nextuidl.dat");
    } else {
      store.Put("nextuidl.dat", Le32(c.meanwhile));
    }
    const RunResult result = run.Finish();
    EXPECT_EQ(result.output, Report(walk + "Total Errors = 2\n" + c.counterLine));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(store.Get("nextuidl.dat"), Le32(c.after));
  }
}

}  // namespace
