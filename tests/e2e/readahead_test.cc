// Reading ahead of the walk must not show: whatever the number of readers
// (MAILTALLY_READERS, 0 for none), the report and the bytes left behind are
// those of the plain walk. The stores here are larger than the distance the
// readers may run ahead, and one mailbox holds more files than that.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstdlib>
#include <map>
#include <random>

#include "testing/fail_calls.h"
#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

// Mailboxes at several depths with duplicates spread over them, one large
// mailbox, and a symbolic link in a later mailbox to a file rewritten in an
// earlier one, so that the rewrite shows in what the link reads.
void FillStore(Store& store) {
  for (const fs::directory_entry& entry : fs::directory_iterator(store.root()))
    fs::remove_all(entry.path());
  std::mt19937 random(7);
  for (int box = 0; box < 80; ++box) {
    std::string dir = "box" + std::to_string(box) + (box % 10 == 3 ? "/sub/deeper" : "");
    for (int file = 0; file < 20; ++file) {
      uint32_t uid = 1 + random() % 200;
      std::string name = dir + "/I" + std::to_string(file) + ".DAT";
      store.Put(name, file % 2 == 0 ? PlainMessage(uid) : EncryptedMessage(uid));
    }
  }
  for (int file = 0; file < 4500; ++file) {
    uint32_t uid = file % 1000 == 999 ? file - 500 : file + 1;
    store.Put("large/I" + std::to_string(file) + ".DAT", PlainMessage(uid));
  }
  store.Put("link1/I1.DAT", PlainMessage(41));
  store.Put("link1/I2.DAT", PlainMessage(41));
  store.MakeDirectory("link2");
  fs::create_symlink("../link1/I2.DAT", store.root() / "link2/I1.DAT");
  store.Put("link2/I2.DAT", PlainMessage(42));
  store.Put("nextuidl.dat", Le32(10));
}

// What every run with readers must give: the plain walk's.
struct PlainWalk {
  RunResult check;
  RunResult fix;
  std::map<std::string, Bytes> bytes;  // after the fix
};

PlainWalk RunPlainWalk(Store& store) {
  FillStore(store);
  PlainWalk plain;
  plain.check = store.Run({}, "MAILTALLY_READERS=0");
  plain.fix = store.Run({"-fix"}, "MAILTALLY_READERS=0");
  plain.bytes = store.Snapshot();
  return plain;
}

TEST(ReadAhead, SameReportAndBytesWhateverTheNumberOfReaders) {
  if (std::getenv("MAILTALLY_READERS") != nullptr)
    GTEST_SKIP() << "sets MAILTALLY_READERS itself, run by the default pass";
  Store store;
  const PlainWalk plain = RunPlainWalk(store);
  // The link to link1/I2.DAT is read after its rewrite to 42; the link
  // itself, first of its group, is never written.
  ASSERT_NE(plain.fix.output.find("link2\n2 messages with ID 42\n    I1.DAT\n"
                                 "    I2.DAT - ID changed to 43\n"),
            std::string::npos);

  for (const char* readers : {"1", "3", ""}) {
    SCOPED_TRACE(std::string("MAILTALLY_READERS=") + readers);
    FillStore(store);
    const std::string environment = std::string("MAILTALLY_READERS=") + readers;
    EXPECT_EQ(store.Run({}, environment).output, plain.check.output);
    EXPECT_EQ(store.Run({"-fix"}, environment).output, plain.fix.output);
    EXPECT_EQ(store.Snapshot(), plain.bytes);
  }
}

#ifdef MAILTALLY_FAIL_CALLS
// A read that fails on a helper is the walk's to do again, never a UID 0:
// with every open of a message file off the main thread failing, as when
// the handles run out, the run is still the plain walk's.
TEST(ReadAhead, AReadThatFailsOnAHelperIsNeverAUid) {
  if (std::getenv("MAILTALLY_READERS") != nullptr)
    GTEST_SKIP() << "sets MAILTALLY_READERS itself, run by the default pass";
  Store store;
  const PlainWalk plain = RunPlainWalk(store);

  FillStore(store);
  TempDir marks;
  for (const char* mode : {"", "-fix"}) {
    SCOPED_TRACE(mode);
    const fs::path mark = marks.path() / (std::string("refused") + mode);
    const std::string preload = FailCalls("helper-dat-open", mark);
    const RunResult run = store.Run(*mode ? std::vector<std::string>{mode}
                                          : std::vector<std::string>{},
                                    preload);
    EXPECT_TRUE(fs::exists(mark)) << "no helper's open was refused";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, *mode ? plain.fix.output : plain.check.output);
  }
  EXPECT_EQ(store.Snapshot(), plain.bytes);
}
#endif

}  // namespace
