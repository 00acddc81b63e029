// The report is the record of a fix: no name in the store can forge a line
// of it or drive the terminal it is read on, and a parent that hands over
// a non-blocking pipe with a slow reader gets the whole of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/stalled_run.h"
#include "testing/store.h"

namespace {

struct NamedFile {
  std::string path;
  uint32_t uid;
  uint32_t uidAfterFix;
};

TEST(ReportSafety, NamesArePrintedWithoutControlCharacters) {
  const std::string FORGED =
      "I2.DAT - ID changed to 8\nTotal Errors = 0\nSet KORVA Global UID to 9 (was 1)\nI.DAT";
  const std::vector<NamedFile> files = {
      {"box\x1b[31m/I1.DAT", 7, 7},
      {"box\x1b[31m/I3\xc2\x9b.DAT", 7, 8},  // U+009B, a terminal's escape too
      {"box\x1b[31m/I4\x1b[2J.DAT", 7, 9},
      {"forged/I1.DAT", 5, 5},
      {"forged/" + FORGED, 5, 6},
      {"other/I\x7f.DAT", 3, 3},
      {"other/I\xc2\xa0.DAT", 3, 4},  // U+00A0 stays
      {"other/I\xc3\xa9.DAT", 3, 5},  // as does any other character
      {"other/I\xe9.DAT", 3, 6},      // and a name that is not UTF-8
  };
  auto groups = [&](bool fix) {
    auto file = [&](const char* name, uint32_t uid) {
      return "    " + std::string(name) + (fix && uid != 0 ? " - ID changed to " + std::to_string(uid) : "") + "\n";
    };
    return "3 messages with ID 7\n" + file("I1.DAT", 0) + file("I3?.DAT", 8) + file("I4?[2J.DAT", 9) +
           "Checking {root}forged\n2 messages with ID 5\n" + file("I1.DAT", 0) +
           file("I2.DAT - ID changed to 8?Total Errors = 0?Set KORVA Global UID to 9 (was 1)?I.DAT", 6) +
           "Checking {root}other\n4 messages with ID 3\n" + file("I?.DAT", 0) +
           file("I\xc2\xa0.DAT", 4) + file("I\xc3\xa9.DAT", 5) + file("I\xe9.DAT", 6) + "Total Errors = 9\n";
  };
  for (bool fix : {false, true}) {
    SCOPED_TRACE(fix ? "fix" : "check");
    Store store;
    for (const NamedFile& f : files) store.Put(f.path, PlainMessage(f.uid));
    store.Put("nextuidl.dat", Le32(1));
    std::string expected = "Checking {root}box?[31m\n" + groups(fix) +
                           (fix ? "Set KORVA Global UID to 10 (was 1)\n"
                                : "KORVA Global UID too low - 1 (needs to be at least 8)\n");
    for (size_t at; (at = expected.find("{root}")) != std::string::npos;)
      expected.replace(at, 6, store.Heading(""));
    const RunResult result = store.Run(fix ? std::vector<std::string>{"-fix"} : std::vector<std::string>{});
    EXPECT_EQ(result.output, Report(expected));
    EXPECT_EQ(result.status, 0);
    for (const NamedFile& f : files)
      EXPECT_EQ(store.Get(f.path), PlainMessage(fix ? f.uidAfterFix : f.uid)) << f.path;
    EXPECT_EQ(store.Get("nextuidl.dat"), Le32(fix ? 10 : 1));
  }
}

// U+0080 and U+009F are the ends of the C1 range. A heading is cut to 300
// bytes as stored, then shown: a path of C1 characters is cut where its
// bytes reach the limit, not where its question marks would.
TEST(ReportSafety, TheC1RangeIsShownWholeAndNamesAreCutAsStored) {
  std::string pairs;
  for (int i = 0; i < 120; ++i) pairs += "\xc2\x9b";
  const std::string deep = pairs + "/" + pairs;
  Store store;
  store.Put("ends/I1.DAT", PlainMessage(2));
  store.Put("ends/I\xc2\x80\xc2\x9f.DAT", PlainMessage(2));
  store.Put(deep + "/I1.DAT", PlainMessage(3));
  store.Put(deep + "/I2.DAT", PlainMessage(3));
  std::string cut = store.Heading(deep).substr(0, 300);
  ASSERT_GT(store.Heading(deep).size(), cut.size());
  for (size_t at; (at = cut.find("\xc2\x9b")) != std::string::npos;) cut.replace(at, 2, "?");

  const RunResult check = store.Run();
  EXPECT_EQ(check.output, Report("Checking " + store.Heading("ends") +
                                 "\n2 messages with ID 2\n    I1.DAT\n    I??.DAT\n"
                                 "Checking " + cut +
                                 "\n2 messages with ID 3\n    I1.DAT\n    I2.DAT\n"
                                 "Total Errors = 4\n"));
  EXPECT_EQ(check.status, 0);
}

// Enough duplicates that the report is many times what the pipe holds.
void ManyDuplicates(Store& store) {
  for (int box = 0; box < 3; ++box)
    for (int i = 0; i < 400; ++i)
      store.Put("box" + std::to_string(box) + "/I" + std::to_string(i) + ".DAT",
                i % 2 ? PlainMessage(static_cast<uint32_t>(i / 4 + 1)) : EncryptedMessage(static_cast<uint32_t>(i / 4 + 1)));
  store.Put("nextuidl.dat", Le32(1));
}

TEST(ReportSafety, ANonBlockingPipeWithASlowReaderGetsTheWholeReport) {
  for (bool fix : {false, true}) {
    SCOPED_TRACE(fix ? "fix" : "check");
    const std::vector<std::string> args = fix ? std::vector<std::string>{"-fix"} : std::vector<std::string>{};
    Store reference;
    ManyDuplicates(reference);
    const RunResult expected = reference.Run(args);
    ASSERT_GT(expected.output.size(), 4u * 4096);

    Store store;
    ManyDuplicates(store);
    // The pipe is full when the run starts, and read only once the run
    // waits for it: every write of the report meets a pipe that cannot take
    // all of it.
    StalledRun run(store, args, "", 0, true);
    ASSERT_TRUE(run.WaitUntilStalled());
    const RunResult result = run.Finish();
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    std::string moved = expected.output;
    const std::string from = reference.Heading(""), to = store.Heading("");
    for (size_t at = 0; (at = moved.find(from, at)) != std::string::npos; at += to.size())
      moved.replace(at, from.size(), to);
    EXPECT_EQ(result.output, moved);
    EXPECT_EQ(store.Snapshot(), reference.Snapshot());
  }
}

}  // namespace
