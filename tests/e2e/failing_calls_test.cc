// System calls that fail from outside the tool, as a failing disk, a full
// handle table or a file system that refuses a call make them fail
// (testing/fail_calls.h): the run says what it could not do, and never
// reports as done or as read what was not.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "testing/fail_calls.h"
#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

#ifdef MAILTALLY_FAIL_CALLS

// Two files of UID 3 in box, and a counter below them.
void PutDuplicates(Store& store) {
  store.Put("box/I1.DAT", PlainMessage(3));
  store.Put("box/I2.DAT", EncryptedMessage(3));
  store.Put("nextuidl.dat", Le32(1));
}

std::string DuplicatesFixed(const Store& store) {
  return "Checking " + store.Heading("box") +
         "\n2 messages with ID 3\n    I1.DAT\n    I2.DAT - ID changed to 4\nTotal Errors = 2\n";
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A raise of the counter that cannot be flushed may be lost in a power cut,
// and the server would hand out used UIDs again: it is not reported as set.
TEST(FailingCalls, ACounterThatCannotBeFlushedIsNotReportedAsSet) {
  Store store;
  PutDuplicates(store);
  TempDir marks;
  const fs::path mark = marks.path() / "met";
  const RunResult fix = store.Run({"-fix"}, FailCalls("fdatasync", mark));
  EXPECT_TRUE(fs::exists(mark)) << "no flush of the counter was failed";
  EXPECT_EQ(fix.output, Report(DuplicatesFixed(store) +
                               "Error setting KORVA Global UID to 5 (was 1)\n"));
  EXPECT_EQ(fix.output.find("Set KORVA Global UID"), std::string::npos);
  EXPECT_EQ(store.Get("box/I2.DAT"), EncryptedMessage(4));
}

// The rewritten message files are flushed as a whole file system at the
// end of a fix; a failure there is the run's, though each write went well.
TEST(FailingCalls, MessageFilesThatCannotBeFlushedFailTheRun) {
  Store store;
  PutDuplicates(store);
  TempDir scratch;
  const fs::path mark = scratch.path() / "met";
  const fs::path output = scratch.path() / "stdout";
  const RunResult fix = store.RunWithOutput({"-fix"}, ">'" + output.string() + "'",
                                            "</dev/null", FailCalls("syncfs", mark));
  EXPECT_TRUE(fs::exists(mark)) << "no flush of the rewritten files was failed";
  EXPECT_EQ(fix.status, 255);
  EXPECT_EQ(fix.errors,
            "mailtally: the rewritten message files could not be flushed to stable storage "
            "(Input/output error)\n");
  EXPECT_EQ(ReadWhole(output),
            Report(DuplicatesFixed(store) + "Set KORVA Global UID to 5 (was 1)\n"));
  EXPECT_EQ(store.Get("box/I2.DAT"), EncryptedMessage(4));
}

// The walk keeps handles in reserve, so its own open of a message file
// fails for want of them only when something outside takes them: that is
// the run's want, not the file's, and never reads as UID 0.
TEST(FailingCalls, TheWalksOpenThatFindsNoHandlesIsNeverAUid) {
  if (std::getenv("MAILTALLY_READERS") != nullptr)
    GTEST_SKIP() << "sets MAILTALLY_READERS itself, run by the default pass";
  for (const char* mode : {"", "-fix"}) {
    SCOPED_TRACE(mode);
    Store store;
    store.Put("box/I1.DAT", PlainMessage(1));
    store.Put("box/I2.DAT", PlainMessage(2));
    const auto before = store.Snapshot();
    TempDir marks;
    const fs::path mark = marks.path() / "met";
    const RunResult run =
        store.Run(*mode ? std::vector<std::string>{mode} : std::vector<std::string>{},
                  "MAILTALLY_READERS=0 " + FailCalls("main-dat-open", mark));
    EXPECT_TRUE(fs::exists(mark)) << "no open of the walk was failed";
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, Report(""));
    EXPECT_EQ(store.Snapshot(), before);
  }
}

// A directory whose identity cannot be read cannot be told from one already
// visited; it is checked rather than passed over.
TEST(FailingCalls, ADirectoryWhoseIdentityCannotBeReadIsChecked) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(3));
  store.Put("box/I2.DAT", PlainMessage(3));
  store.Put("other/I1.DAT", PlainMessage(5));
  store.Put("other/I2.DAT", PlainMessage(5));
  TempDir marks;
  const fs::path mark = marks.path() / "met";
  const RunResult check = store.Run({}, FailCalls("directory-id=box", mark));
  EXPECT_TRUE(fs::exists(mark)) << "the identity of box was read";
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.output, Report("Checking " + store.Heading("box") +
                                 "\n2 messages with ID 3\n    I1.DAT\n    I2.DAT\n"
                                 "Checking " + store.Heading("other") +
                                 "\n2 messages with ID 5\n    I1.DAT\n    I2.DAT\n"
                                 "Total Errors = 4\n"));
}

#endif

}  // namespace
