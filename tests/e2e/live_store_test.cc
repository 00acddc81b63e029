// A store that changes while a fix runs, as it does beside a running mail
// server: the run is held at a write of its report while the test changes
// the store, then let go.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "testing/fix_record.h"
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

bool CanLowerTheHandleLimit() { return std::system("prlimit --nofile=32:32 true 2>/dev/null") == 0; }

// A chain L01/L02/.../L40 whose every level holds a mailbox z/ with a
// duplicate pair. Under a low open-file limit the walk lets go of the
// shallow levels on the way down and opens them again by name on the way
// back; renaming one of them meanwhile leaves it no way back.
TEST(LiveStore, ADirectoryThatCannotBeReopenedIsNamed) {
  if (!CanLowerTheHandleLimit()) GTEST_SKIP() << "prlimit cannot lower the open-file limit here";
  const int LEVELS = 40;
  Store store;
  std::vector<std::string> levels;  // each level's path
  std::string path;
  for (int level = 1; level <= LEVELS; ++level) {
    char name[8];
    snprintf(name, sizeof name, "L%02d", level);
    path += (path.empty() ? "" : "/") + std::string(name);
    levels.push_back(path);
    store.Put(path + "/z/I1.DAT", PlainMessage(5));
    store.Put(path + "/z/I2.DAT", PlainMessage(5));
  }
  StalledRun run(store, {"-fix"}, "MAILTALLY_READERS=0 prlimit --nofile=32:32");
  ASSERT_TRUE(run.WaitUntilStalled());
  fs::rename(store.root() / levels[2], store.root() / (levels[2] + "x"));
  const RunResult result = run.Finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");

  // Every mailbox is checked, or lies below a directory the report names.
  std::vector<std::string> named;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    const std::string start = "Error reopening directory \"";
    const std::string end = "\" - its remaining subdirectories were not checked";
    if (line.rfind(start, 0) == 0 && line.size() > start.size() + end.size() &&
        line.substr(line.size() - end.size()) == end)
      named.push_back(line.substr(start.size(), line.size() - start.size() - end.size()));
  }
  ASSERT_FALSE(named.empty()) << result.output;
  for (const std::string& level : levels) {
    SCOPED_TRACE(level);
    bool checked = result.output.find("Checking " + store.Heading(level + "/z") + "\n") !=
                   std::string::npos;
    bool below = false;
    for (const std::string& dir : named)
      below = below || Store::Relative(level + "/z").rfind(dir + "/", 0) == 0;
    EXPECT_TRUE(checked || below) << result.output;
  }
  // What was passed over is there for the next run.
  store.Run({"-fix"});
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n"));
}

// Handles are what the walk opens files and directories with: a limit too
// low for it (below 5 the system cannot even load the program) gives either the report and bytes of a run without a limit or
// a refusal that changes nothing the report does not show, never files read
// as UID 0 or directories passed over.
void ThirtyMailboxes(Store& store) {
  for (int box = 0; box < 30; ++box) {
    std::string dir = "box" + std::to_string(box) + "/";
    store.Put(dir + "I1.DAT", PlainMessage(4));
    store.Put(dir + "I2.DAT", EncryptedMessage(4));
    store.Put(dir + "I3.DAT", PlainMessage(9));
  }
  store.Put("nextuidl.dat", Le32(3));
}

TEST(LiveStore, TooFewHandlesGiveTheWholeReportOrARefusal) {
  if (!CanLowerTheHandleLimit()) GTEST_SKIP() << "prlimit cannot lower the open-file limit here";
  if (std::getenv("MAILTALLY_RUN_PREFIX") != nullptr)
    GTEST_SKIP() << "a checker the tool runs under takes handles of its own";
  const FixRecord record = RecordFix(ThirtyMailboxes);
  bool someRefused = false, someWhole = false;
  for (int limit : {5, 6, 7, 8, 10, 12, 16}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const std::string prlimit = "prlimit --nofile=" + std::to_string(limit) + ":" + std::to_string(limit);
    Store store;
    ThirtyMailboxes(store);
    TempDir out;
    const std::string report = (out.path() / "report").string();
    for (bool fix : {false, true}) {
      SCOPED_TRACE(fix ? "fix" : "check");
      RunResult result = store.RunWithOutput(fix ? std::vector<std::string>{"-fix"}
                                                 : std::vector<std::string>{},
                                             ">'" + report + "'", "</dev/null", prlimit);
      std::ifstream in(report, std::ios::binary);
      result.output = Store::AsWritten(std::string(std::istreambuf_iterator<char>(in), {}));
      const std::string whole = MovedTo(store, record, fix ? record.fixReport : record.checkReport);
      if (result.status == 0) {
        someWhole = true;
        EXPECT_EQ(result.output, whole);
        EXPECT_EQ(result.errors, "");
        EXPECT_EQ(store.Snapshot(), fix ? record.after : record.before);
        continue;
      }
      someRefused = true;
      EXPECT_EQ(result.status, 255);
      EXPECT_EQ(result.errors, "mailtally: too few file handles (the limit is " + std::to_string(limit) +
                                   ")" + (fix ? "; nothing was changed after that point" : "") + "\n");
      EXPECT_EQ(whole.substr(0, result.output.size()), result.output);
      if (fix) {
        EXPECT_EQ(CountChangesMade(record, store.Snapshot()), CountChangesShown(result.output));
      } else {
        EXPECT_EQ(store.Snapshot(), record.before);
      }
    }
  }
  EXPECT_TRUE(someRefused);
  EXPECT_TRUE(someWhole);
}

}  // namespace
