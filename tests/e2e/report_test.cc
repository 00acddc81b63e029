// A report that cannot be written, end to end. The report is the record of
// what a fix changed: wherever standard output fails, the run stops there,
// says so on standard error, exits with -1, and has changed no byte of the
// store after the last line that got out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "testing/fix_record.h"
#include "testing/small_file_system.h"
#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

// Four mailboxes full of duplicates with long names: the check report is
// near 100 KB, more than a pipe holds together with what a reader takes
// before it goes, so a pipe whose reader has gone fails some write.
void MakeStore(Store& store) {
  std::mt19937 random(5);
  for (int box = 0; box < 4; ++box) {
    for (int i = 0; i < 500; ++i) {
      char name[64];
      snprintf(name, sizeof name, "box%d/I%035d.DAT", box, i);
      uint32_t uid = random() % 50 + 1;
      store.Put(name, random() % 2 ? PlainMessage(uid) : EncryptedMessage(uid));
    }
  }
  store.Put("nextuidl.dat", Le32(1));
}

// What gets through to the output before it fails.
enum class Received {
  NOTHING,      // the first write fails
  REPORT_FILE,  // what the file holds
  UNKNOWN,      // what a pipe held when its reader went
};

struct OutputCase {
  const char* name;
  const char* output;  // the redirection; "%s" stands for the report file
  const char* cause;   // as the native build names it
  Received received;
};

const OutputCase OUTPUT_CASES[] = {
    {"output to /dev/full", ">/dev/full", "No space left on device", Received::NOTHING},
    {"output closed", ">&-", "Bad file descriptor", Received::NOTHING},
    {"a pipe closed after the first line", "| head -n 1 >/dev/null", "Broken pipe",
     Received::UNKNOWN},
    {"a report file on a full file system", ">'%s'", "No space left on device",
     Received::REPORT_FILE},
};

// The line a run that lost its report ends with. Windows names the cause in
// its own words (a pipe whose reader has gone is "Invalid argument"), so
// under Wine only the fixed parts are compared.
void ExpectLostReportLine(const std::string& errors, const char* cause, bool fix) {
  const std::string head = "mailtally: the report could not be written (";
  const std::string tail = fix ? "); nothing was changed after that point\n" : ")\n";
  if (!RUNS_UNDER_WINE) {
    EXPECT_EQ(errors, head + cause + tail);
    return;
  }
  EXPECT_TRUE(errors.size() > head.size() + tail.size() && errors.rfind(head, 0) == 0 &&
              errors.compare(errors.size() - tail.size(), tail.size(), tail) == 0)
      << errors;
}

// A tmpfs with room for two pages of report, or none when mounting is not
// allowed.
std::unique_ptr<SmallFileSystem> FillAllButTwoPages(const fs::path& where) {
  auto small = std::make_unique<SmallFileSystem>(where);
  if (!small->mounted()) return nullptr;
  {
    std::ofstream filler(where / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 1000 && filler.write(block.data(), block.size()); ++i) filler.flush();
  }
  fs::resize_file(where / "filler", fs::file_size(where / "filler") - 2 * 4096);
  return small;
}

std::string ReadReport(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Store::AsWritten(std::string(std::istreambuf_iterator<char>(in), {}));
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The redirection of a case, to a report file on a full file system where
// the case needs one; false when the case cannot be run here.
bool PrepareOutput(const OutputCase& c, const TempDir& place,
                   std::unique_ptr<SmallFileSystem>& full, std::string& output) {
  fs::path reportFile = place.path() / "report";
  char text[512];
  snprintf(text, sizeof text, c.output, reportFile.c_str());
  output = text;
  // A checker the tool runs under (MAILTALLY_RUN_PREFIX, valgrind) opens
  // its log before the tool starts: a closed output becomes that log.
  if (output == ">&-" && std::getenv("MAILTALLY_RUN_PREFIX") != nullptr) {
    std::printf("output closed: not tested under MAILTALLY_RUN_PREFIX\n");
    return false;
  }
  if (c.received != Received::REPORT_FILE) return true;
  full = FillAllButTwoPages(place.path());
  if (full != nullptr) return true;
  std::printf("cannot mount a small tmpfs here (needs root with CAP_SYS_ADMIN); "
              "a report file on a full file system is not tested\n");
  return false;
}

TEST(LostReport, OutputThatFailsStopsTheRunWhereItFailed) {
  const FixRecord record = RecordFix(MakeStore);
  ASSERT_GT(record.checkReport.size(), 90000u);
  Store checked;  // check runs change nothing: they share a store
  MakeStore(checked);
  for (const OutputCase& c : OUTPUT_CASES) {
    for (bool fix : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (fix ? ", fix mode" : ", check mode"));
      TempDir place;
      std::unique_ptr<SmallFileSystem> full;
      std::string output;
      if (!PrepareOutput(c, place, full, output)) continue;
      std::unique_ptr<Store> fixed;
      if (fix) MakeStore(*(fixed = std::make_unique<Store>()));
      const Store& store = fix ? *fixed : checked;

      RunResult run = store.RunWithOutput(fix ? std::vector<std::string>{"-fix"}
                                              : std::vector<std::string>{},
                                          output);
      EXPECT_EQ(run.status, 255);
      ExpectLostReportLine(run.errors, c.cause, fix);
      // What got out is the start of the whole report.
      std::string report = c.received == Received::REPORT_FILE ? ReadReport(place.path() / "report") : "";
      std::string whole = MovedTo(store, record, fix ? record.fixReport : record.checkReport);
      EXPECT_TRUE(StartsWith(whole, report)) << report;
      Files now = store.Snapshot();
      if (!fix) {
        EXPECT_TRUE(now == record.before) << "a check run changed the store";
        continue;
      }
      // Every change whose line got out was made, and nothing after it.
      int made = CountChangesMade(record, now);
      EXPECT_GE(made, 0) << "the run changed files out of order, or other bytes";
      if (c.received != Received::UNKNOWN)
        EXPECT_EQ(made, CountChangesShown(report));
      else
        EXPECT_LT(made, static_cast<int>(record.changes.size())) << "the counter was raised";
    }
  }
}

TEST(LostReport, ARunWithRoomForItsReportIsUnchanged) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(3));
  store.Put("box/I2.DAT", EncryptedMessage(3));
  store.Put("nextuidl.dat", Le32(1));
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-fix"}}) {
    RunResult run = store.RunWithOutput(args, ">/dev/null");
    EXPECT_EQ(run.status, 0) << args.size();
    EXPECT_EQ(run.errors, "") << args.size();
  }
  EXPECT_EQ(store.Get("nextuidl.dat"), Le32(5));
}

// With no file renumbered, nothing is flushed before the counter step, and
// the report can still be lost there: the counter stays as it was. With
// standard input closed too, the counter is the first file a fix opens for
// writing, where a report sent to a closed output could land.
TEST(LostReport, TheCounterStaysWhenTheReportIsLost) {
  struct Case {
    const char* name;
    const char* input;
    const char* output;
    const char* cause;  // as the native build names it
  };
  const Case cases[] = {
      {"output to /dev/full", "</dev/null", ">/dev/full", "No space left on device"},
      {"input and output closed", "<&-", ">&-", "Bad file descriptor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A checker's log would take the closed output, as above. Under Wine,
    // Wine's own connection to its server takes the closed descriptors, and
    // the report goes into that.
    const bool closed = std::string(c.output) == ">&-";
    if (closed && (std::getenv("MAILTALLY_RUN_PREFIX") != nullptr || RUNS_UNDER_WINE)) {
      std::printf("%s: not tested under MAILTALLY_RUN_PREFIX or Wine\n", c.name);
      continue;
    }
    Store store;
    store.Put("box/I1.DAT", PlainMessage(7));
    store.Put("box/I2.DAT", EncryptedMessage(8));
    store.Put("nextuidl.dat", Le32(3));
    const Files before = store.Snapshot();
    RunResult run = store.RunWithOutput({"-fix"}, c.output, c.input);
    EXPECT_EQ(run.status, 255);
    ExpectLostReportLine(run.errors, c.cause, true);
    EXPECT_EQ(store.Get("nextuidl.dat"), Le32(3));
    EXPECT_TRUE(store.Snapshot() == before) << "the run changed the store";
  }
}

}  // namespace
