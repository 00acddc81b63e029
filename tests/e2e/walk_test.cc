// The walk over the store, end to end. What the walk read shows in the
// duplicate groups it reports and in the highest UID the counter is
// compared with (a counter of 0 always asks for highest + 1).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

std::string CounterLine(uint32_t needed) {
  return "KORVA Global UID too low - 0 (needs to be at least " + std::to_string(needed) +
         ")\n";
}

TEST(Walk, ComparesUidsOnlyWithinOneMailbox) {
  Store store;
  store.Put("I0001.DAT", PlainMessage(5));  // the root holds no mailbox
  store.Put("I0002.DAT", PlainMessage(500));
  store.Put("box1/I0001.DAT", PlainMessage(5));
  store.Put("box2/I0001.DAT", EncryptedMessage(5));
  store.Put("a/I0001.DAT", PlainMessage(5));
  store.Put("a/b/I0001.DAT", PlainMessage(9));
  store.Put("a/b/I0002.DAT", PlainMessage(6));
  store.MakeDirectory("empty");
  store.Put("nextuidl.dat", Le32(0));
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n" + CounterLine(10)));
}

TEST(Walk, ReadsNothingWhenTheRootHasNoMailbox) {
  Store store;
  store.Put("I0001.DAT", PlainMessage(5));
  store.Put("I0002.DAT", PlainMessage(5));
  store.Put("nextuidl.dat", Le32(0));
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n" + CounterLine(1)));
}

TEST(Walk, SelectsMessageFilesByNameWithoutRegardToCase) {
  Store store;
  const std::string longName = "I" + std::string(55, '7') + ".DAT";
  store.Put("box/i0001.dat", PlainMessage(3));
  store.Put("box/I0002.Dat", PlainMessage(3));
  store.Put("box/I.DAT", PlainMessage(3));
  store.Put("box/" + longName, PlainMessage(3));
  store.Put("box/I1.DATX", PlainMessage(3));
  store.Put("box/XI1.DAT", PlainMessage(3));
  store.Put("box/I1.DA", PlainMessage(3));
  store.Put("box/README", PlainMessage(3));
  // A directory named like a message file is walked, not read.
  store.Put("box/I0003.DAT/I0001.DAT", PlainMessage(8));
  store.Put("box/I0003.DAT/I0002.DAT", PlainMessage(8));
  RunResult run = store.Run({"-fix"});
  EXPECT_EQ(run.output, Report("Checking " + store.Heading("box") +
                               "\n"
                               "4 messages with ID 3\n"
                               "    I.DAT\n"
                               "    i0001.dat - ID changed to 4\n"
                               "    I0002.Dat - ID changed to 5\n"
                               "    " + longName + " - ID changed to 6\n"
                               "Checking " + store.Heading("box/I0003.DAT") +
                               "\n"
                               "2 messages with ID 8\n"
                               "    I0001.DAT\n"
                               "    I0002.DAT - ID changed to 9\n"
                               "Total Errors = 6\n"));
  EXPECT_EQ(store.Get("box/" + longName), PlainMessage(6));
  EXPECT_EQ(store.Get("box/I1.DATX"), PlainMessage(3));
}

TEST(Walk, VisitsMailboxesInNameOrderParentsFirst) {
  Store store;
  for (const char* box : {"b", "A", "a", "a/z", "B/c"}) {
    store.Put(std::string(box) + "/I1.DAT", PlainMessage(1));
    store.Put(std::string(box) + "/I2.DAT", PlainMessage(1));
  }
  std::string expected;
  for (const char* box : {"A", "a", "a/z", "B/c", "b"}) {
    expected += "Checking " + store.Heading(box) +
                "\n2 messages with ID 1\n    I1.DAT\n    I2.DAT\n";
  }
  EXPECT_EQ(store.Run().output, Report(expected + "Total Errors = 10\n"));
}

TEST(Walk, FollowsLinksToDirectoriesButVisitsEachDirectoryOnce) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(4));
  store.Put("box/I2.DAT", PlainMessage(4));
  fs::create_directory_symlink("..", store.root() / "box/loop");
  fs::create_directory_symlink("box", store.root() / "alias");  // listed first
  fs::create_directory_symlink(store.root() / "box", store.root() / "box/self");
  store.Put("other/I1.DAT", PlainMessage(2));
  fs::create_symlink(store.root() / "other/I1.DAT", store.root() / "other/I2.DAT");
  fs::create_symlink("missing", store.root() / "other/I3.DAT");
  fs::create_symlink("missing", store.root() / "other/sub");
  store.Put("nextuidl.dat", Le32(0));
  EXPECT_EQ(store.Run().output,
            Report("Checking " + store.Heading("alias") +
                   "\n2 messages with ID 4\n    I1.DAT\n    I2.DAT\n"
                   "Checking " + store.Heading("other") +
                   "\n2 messages with ID 2\n    I1.DAT\n    I2.DAT\n"
                   "Total Errors = 4\n" + CounterLine(5)));
}

TEST(Walk, NeverOpensPipesOrDevices) {
  if (RUNS_UNDER_WINE)
    GTEST_SKIP() << "Wine lists pipes and devices as plain files; mailtally.exe never "
                    "reads or writes them, but they take part with UID 0 (a Windows "
                    "directory holds neither)";
  Store store;
  store.Put("box/I1.DAT", PlainMessage(4));
  ASSERT_EQ(std::system(("mkfifo " + (store.root() / "box/I2.DAT").string()).c_str()), 0);
  fs::create_symlink("/dev/zero", store.root() / "box/I3.DAT");
  store.Put("nextuidl.dat", Le32(0));
  EXPECT_EQ(store.Run({"-fix"}).output, Report("Total Errors = 0\n"
                                               "Set KORVA Global UID to 5 (was 0)\n"));
}

TEST(Walk, PassesOverDirectoriesItCannotList) {
  Store store;
  store.Put("closed/I1.DAT", PlainMessage(4));
  store.Put("closed/I2.DAT", PlainMessage(4));
  store.Put("closed/sub/I1.DAT", PlainMessage(4));
  store.Put("closed/sub/I2.DAT", PlainMessage(4));
  store.Put("open/I1.DAT", PlainMessage(3));
  store.Put("nextuidl.dat", Le32(0));
  fs::permissions(store.root() / "closed", fs::perms::none);
  std::error_code denied;
  if (fs::is_directory(store.root() / "closed/sub", denied))
    GTEST_SKIP() << "permission bits do not bind this process (root without the test "
                    "launcher); the unlistable directory cannot be made";
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n" + CounterLine(4)));
}

// Too deep for any path the system takes whole, so the tree is made, and
// its files read back, by a shell that goes down one level at a time.
// 500 levels at a time keep each path the shell passes well below the limit.
std::string GoDown(int levels, bool make) {
  std::string chunk = "d";
  for (int i = 1; i < 500; ++i) chunk += "/d";
  std::string steps;
  for (int done = 0; done < levels; done += 500)
    steps += (make ? " && mkdir -p " + chunk : std::string()) + " && cd " + chunk;
  return steps;
}

std::string Octal(const Bytes& bytes) {
  std::string text;
  for (uint8_t b : bytes) text += "\\" + std::to_string(b >> 6) + std::to_string((b >> 3) & 7) +
                                  std::to_string(b & 7);
  return text;
}

TEST(Walk, WalksATwoThousandLevelTree) {
  // Under Wine 1,000 levels: a path of 2,000 characters is still far beyond
  // the 260 of Windows' plain path calls, and Wine's server resolves the
  // whole path of every file it opens, component by component, so its cost
  // grows with the cube of the depth (2,000 levels take over ten minutes).
  const int LEVELS = RUNS_UNDER_WINE ? 1000 : 2000;
  Store store;
  std::string setUp = "cd '" + store.root().string() + "'" + GoDown(LEVELS, true) +
                      " && printf '" + Octal(PlainMessage(77)) + "' >I1.DAT && printf '" +
                      Octal(EncryptedMessage(77)) + "' >I2.DAT";
  ASSERT_EQ(std::system(setUp.c_str()), 0);
  store.Put("nextuidl.dat", Le32(0));

  RunResult run = store.Run({"-fix"});
  std::string path = "d";
  for (int level = 1; level < LEVELS; ++level) path += "/d";
  EXPECT_EQ(run.output, Report("Checking " + store.Heading(path).substr(0, 300) +
                               "\n"
                               "2 messages with ID 77\n"
                               "    I1.DAT\n"
                               "    I2.DAT - ID changed to 78\n"
                               "Total Errors = 2\n"
                               "Set KORVA Global UID to 79 (was 0)\n"));
  store.Put("copy", {});
  std::string readBack = "cd '" + store.root().string() + "'" + GoDown(LEVELS, false) +
                         " && cat I2.DAT >'" + (store.root() / "copy").string() + "'";
  ASSERT_EQ(std::system(readBack.c_str()), 0);
  EXPECT_EQ(store.Get("copy"), EncryptedMessage(78));
}

}  // namespace
