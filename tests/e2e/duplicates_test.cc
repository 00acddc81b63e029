// Duplicate UIDs within a mailbox, reported and renumbered, end to end.
// Every fix run is checked byte for byte: the renumbered files must differ
// from before in their UID field only, every other file not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, Bytes>;

// Expects `after` to be `before` with the given files replaced.
void ExpectOnlyChanged(const Files& before, const Files& after, const Files& changed) {
  Files expected = before;
  for (const auto& [path, bytes] : changed) expected[path] = bytes;
  EXPECT_EQ(after, expected);
}

TEST(Duplicates, TheRunOfTheExampleStoreInBothModes) {
  Store store;
  store.Put("box1/I0001.DAT", PlainMessage(7, "first"));
  store.Put("box1/I0002.DAT", EncryptedMessage(7, "second"));
  store.Put("box1/I0003.DAT", PlainMessage(90, "third"));
  Files before = store.Snapshot();
  const std::string head = "Checking " + store.Heading("box1") + "\n2 messages with ID 7\n";

  RunResult check = store.Run();
  EXPECT_EQ(check.output,
            Report(head + "    I0001.DAT\n    I0002.DAT\nTotal Errors = 2\n"));
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(store.Snapshot(), before);

  RunResult fix = store.Run({"-fix"});
  EXPECT_EQ(fix.output,
            Report(head + "    I0001.DAT\n    I0002.DAT - ID changed to 91\nTotal Errors = 2\n"));
  EXPECT_EQ(fix.status, 0);
  ExpectOnlyChanged(before, store.Snapshot(),
                    {{"box1/I0002.DAT", EncryptedMessage(91, "second")}});

  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n"));
}

TEST(Duplicates, GroupsInUnsignedOrderFilesInListingOrder) {
  Store store;
  // Three files of UID 5, then groups for 8 and 3 in one mailbox whose
  // highest UID is 20; UIDs from 2^31 up sort after the small ones.
  store.Put("a/I1.DAT", PlainMessage(5));
  store.Put("a/I2.DAT", EncryptedMessage(5));
  store.Put("a/I3.DAT", PlainMessage(5));
  store.Put("a/I4.DAT", PlainMessage(10));
  store.Put("b/I1.DAT", PlainMessage(8));
  store.Put("b/I2.DAT", PlainMessage(3));
  store.Put("b/I3.DAT", EncryptedMessage(3));
  store.Put("b/I4.DAT", EncryptedMessage(8));
  store.Put("b/I5.DAT", PlainMessage(20));
  store.Put("c/I1.DAT", PlainMessage(2147483648u));
  store.Put("c/I2.DAT", PlainMessage(4000000000u));
  store.Put("c/I3.DAT", PlainMessage(4000000000u));
  store.Put("c/I4.DAT", PlainMessage(2147483648u));
  store.Put("c/I5.DAT", PlainMessage(1));
  store.Put("c/I6.DAT", PlainMessage(1));
  Files before = store.Snapshot();

  const std::string check =
      "Checking " + store.Heading("a") +
      "\n3 messages with ID 5\n    I1.DAT\n    I2.DAT\n    I3.DAT\n"
      "Checking " + store.Heading("b") +
      "\n2 messages with ID 3\n    I2.DAT\n    I3.DAT\n"
      "2 messages with ID 8\n    I1.DAT\n    I4.DAT\n"
      "Checking " + store.Heading("c") +
      "\n2 messages with ID 1\n    I5.DAT\n    I6.DAT\n"
      "2 messages with ID 2147483648\n    I1.DAT\n    I4.DAT\n"
      "2 messages with ID 4000000000\n    I2.DAT\n    I3.DAT\n"
      "Total Errors = 13\n";
  EXPECT_EQ(store.Run().output, Report(check));
  EXPECT_EQ(store.Snapshot(), before);

  const std::string fix =
      "Checking " + store.Heading("a") +
      "\n3 messages with ID 5\n    I1.DAT\n    I2.DAT - ID changed to 11\n"
      "    I3.DAT - ID changed to 12\n"
      "Checking " + store.Heading("b") +
      "\n2 messages with ID 3\n    I2.DAT\n    I3.DAT - ID changed to 21\n"
      "2 messages with ID 8\n    I1.DAT\n    I4.DAT - ID changed to 22\n"
      "Checking " + store.Heading("c") +
      "\n2 messages with ID 1\n    I5.DAT\n    I6.DAT - ID changed to 4000000001\n"
      "2 messages with ID 2147483648\n    I1.DAT\n    I4.DAT - ID changed to 4000000002\n"
      "2 messages with ID 4000000000\n    I2.DAT\n    I3.DAT - ID changed to 4000000003\n"
      "Total Errors = 13\n";
  EXPECT_EQ(store.Run({"-fix"}).output, Report(fix));
  ExpectOnlyChanged(before, store.Snapshot(),
                    {{"a/I2.DAT", EncryptedMessage(11)},
                     {"a/I3.DAT", PlainMessage(12)},
                     {"b/I3.DAT", EncryptedMessage(21)},
                     {"b/I4.DAT", EncryptedMessage(22)},
                     {"c/I6.DAT", PlainMessage(4000000001u)},
                     {"c/I4.DAT", PlainMessage(4000000002u)},
                     {"c/I3.DAT", PlainMessage(4000000003u)}});
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n"));
}

TEST(Duplicates, NoFreshUidAboveTheHighest) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(6));
  store.Put("box/I2.DAT", PlainMessage(6));
  store.Put("box/I3.DAT", PlainMessage(4294967294u));
  store.Put("box/I4.DAT", EncryptedMessage(9));
  store.Put("box/I5.DAT", PlainMessage(9));
  store.Put("box/I6.DAT", PlainMessage(9));
  store.Put("nextuidl.dat", Le32(7));
  Files before = store.Snapshot();
  EXPECT_EQ(store.Run({"-fix"}).output,
            Report("Checking " + store.Heading("box") +
                   "\n2 messages with ID 6\n    I1.DAT\n    I2.DAT - ID changed to 4294967295\n"
                   "3 messages with ID 9\n    I4.DAT\n"
                   "    I5.DAT - no free ID left, not changed\n"
                   "    I6.DAT - no free ID left, not changed\n"
                   "Total Errors = 5\n"));
  // The counter cannot go above the highest UID: it stays as it was.
  ExpectOnlyChanged(before, store.Snapshot(), {{"box/I2.DAT", PlainMessage(4294967295u)}});
}

TEST(Duplicates, UnreadableFilesFormOneGroupWithUidZero) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(8));
  store.Put("box/I2.DAT", PlainMessage(3));
  store.Put("box/I3.DAT", PlainMessage(3));
  store.Put("box/I4.DAT", EncryptedMessage(9));
  store.Put("box/I5.DAT", PlainMessage(9));
  for (const char* name : {"box/I1.DAT", "box/I4.DAT", "box/I5.DAT"})
    fs::permissions(store.root() / name, fs::perms::none);
  if (store.Run().output.find("ID 0") == std::string::npos)
    GTEST_SKIP() << "permission bits do not bind this process";
  Files before = store.Snapshot();
  // The unreadable files are named and still count as UID 0; but their
  // UIDs are unknown, so no fresh UID is safe in this mailbox: the fix
  // changes nothing here, and the counter is raised to what was seen.
  store.Put("nextuidl.dat", Le32(2));
  before = store.Snapshot();
  std::string errors;
  for (const char* name : {"box/I1.DAT", "box/I4.DAT", "box/I5.DAT"})
    errors += "Error reading file \"" + Store::Relative(name) + "\"\n";
  const std::string group0 = "Checking " + store.Heading("box") + "\n3 messages with ID 0\n    I1.DAT\n";
  const std::string notChanged = " - not changed, a file of this mailbox could not be read\n";
  RunResult check = store.Run();
  EXPECT_EQ(check.output,
            Report(errors + group0 + "    I4.DAT\n    I5.DAT\n"
                   "2 messages with ID 3\n    I2.DAT\n    I3.DAT\n"
                   "Total Errors = 5\nKORVA Global UID too low - 2 (needs to be at least 4)\n"));
  RunResult fix = store.Run({"-fix"});
  EXPECT_EQ(fix.output,
            Report(errors + group0 + "    I4.DAT" + notChanged + "    I5.DAT" + notChanged +
                   "2 messages with ID 3\n    I2.DAT\n    I3.DAT" + notChanged +
                   "Total Errors = 5\nSet KORVA Global UID to 4 (was 2)\n"));
  EXPECT_EQ(fix.status, 0);
  ExpectOnlyChanged(before, store.Snapshot(), {{"nextuidl.dat", Le32(4)}});
}

// The file that cannot be read holds the very UID a fix would hand out:
// renumbering would make the duplicate it is meant to remove.
TEST(Duplicates, NoFreshUidWhereAFileCouldNotBeRead) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(7));
  store.Put("box/I2.DAT", PlainMessage(7));
  store.Put("box/I3.DAT", EncryptedMessage(8));
  store.Put("other/I1.DAT", PlainMessage(2));
  store.Put("other/I2.DAT", PlainMessage(2));
  store.Put("nextuidl.dat", Le32(5));
  Files before = store.Snapshot();
  fs::permissions(store.root() / "box/I3.DAT", fs::perms::none);
  RunResult check = store.Run();
  if (check.output.find("Error reading") == std::string::npos)
    GTEST_SKIP() << "permission bits do not bind this process";
  const std::string unread = "Error reading file \"" + Store::Relative("box/I3.DAT") + "\"\n" +
                             "Checking " + store.Heading("box") + "\n2 messages with ID 7\n    I1.DAT\n";
  const std::string other = "Checking " + store.Heading("other") + "\n2 messages with ID 2\n    I1.DAT\n";
  EXPECT_EQ(check.output, Report(unread + "    I2.DAT\n" + other + "    I2.DAT\nTotal Errors = 4\n"
                                 "KORVA Global UID too low - 5 (needs to be at least 8)\n"));
  RunResult fix = store.Run({"-fix"});
  EXPECT_EQ(fix.output,
            Report(unread + "    I2.DAT - not changed, a file of this mailbox could not be read\n" +
                   other + "    I2.DAT - ID changed to 3\nTotal Errors = 4\n"
                   "Set KORVA Global UID to 8 (was 5)\n"));
  EXPECT_EQ(fix.status, 0);
  fs::permissions(store.root() / "box/I3.DAT", fs::perms::owner_read | fs::perms::owner_write);
  ExpectOnlyChanged(before, store.Snapshot(),
                    {{"other/I2.DAT", PlainMessage(3)}, {"nextuidl.dat", Le32(8)}});
}

// Under Wine two host names that are not UTF-8 both show as one name:
// neither file can be opened for sure, so both count as unread, and the
// mailbox is not renumbered, the counter raised to what was seen.
TEST(Duplicates, TwoNamesListedAlikeAreNeitherReadNorRewritten) {
  if (!RUNS_UNDER_WINE) GTEST_SKIP() << "only a name conversion shows one name twice";
  Store store;
  store.Put("box/I\xe9.DAT", PlainMessage(8));
  store.Put("box/I\xff.DAT", PlainMessage(9));
  store.Put("box/I1.DAT", PlainMessage(3));
  store.Put("box/I2.DAT", PlainMessage(3));
  store.Put("nextuidl.dat", Le32(1));
  Files before = store.Snapshot();
  const std::string shown = "I\xef\xbf\xbd.DAT";  // U+FFFD
  const std::string error = "Error reading file \"" + Store::Relative("box/" + shown) + "\"\n";
  const std::string notChanged = " - not changed, a file of this mailbox could not be read\n";
  const std::string head = error + error + "Checking " + store.Heading("box") +
                           "\n2 messages with ID 0\n    " + shown + "\n    " + shown;
  EXPECT_EQ(store.Run().output,
            Report(head + "\n2 messages with ID 3\n    I1.DAT\n    I2.DAT\n"
                   "Total Errors = 4\nKORVA Global UID too low - 1 (needs to be at least 4)\n"));
  EXPECT_EQ(store.Run({"-fix"}).output,
            Report(head + notChanged + "2 messages with ID 3\n    I1.DAT\n    I2.DAT" + notChanged +
                   "Total Errors = 4\nSet KORVA Global UID to 4 (was 1)\n"));
  ExpectOnlyChanged(before, store.Snapshot(), {{"nextuidl.dat", Le32(4)}});
}

#ifdef MAILTALLY_HOLD_FILE
// Holds `path` of the store with no sharing for `milliseconds`, or, with
// `untilReleased`, until AwaitHoldEnd (`milliseconds` at most), from a
// Win32 program under the tool's wineserver; returns once it is held. Its
// marks are files of the store root named after `mark` (no mailbox); the
// hold has ended once `mark` is there.
void HoldFile(const Store& store, const std::string& path, int milliseconds,
              const std::string& mark, bool untilReleased = false) {
  std::string command = "cd '" + store.root().string() + "' && WINEPREFIX='" MAILTALLY_WINE_PREFIX
                        "' WINEDEBUG=-all wine '" MAILTALLY_HOLD_FILE "' '" + path + "' " +
                        std::to_string(milliseconds) + " '" + mark + ".ready' '" + mark + "'" +
                        (untilReleased ? " '" + mark + ".release'" : "") +
                        " >/dev/null 2>&1 </dev/null &";
  ASSERT_EQ(std::system(command.c_str()), 0);
  fs::path ready = store.root() / (mark + ".ready");
  for (int i = 0; i < 600 && !fs::exists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(ready)) << "the file was never held";
}

// Ends a hold taken until released, and waits for any hold to end.
void AwaitHoldEnd(const Store& store, const std::string& mark) {
  std::ofstream(store.root() / (mark + ".release")).put('\n');
  for (int i = 0; i < 1200 && !fs::exists(store.root() / mark); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// A server holds a file with no sharing only while it writes it: a brief
// hold is waited out and the file read; a long one makes it unread, and
// its mailbox is not renumbered.
TEST(Duplicates, AFileHeldWithNoSharingIsWaitedForThenUnread) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(7));
  store.Put("box/I2.DAT", PlainMessage(7));
  store.Put("box/I3.DAT", PlainMessage(8));
  store.Put("nextuidl.dat", Le32(5));
  const std::string group = "Checking " + store.Heading("box") + "\n2 messages with ID 7\n    I1.DAT\n";

  HoldFile(store, "box\\I3.DAT", 120000, "long", true);
  RunResult held = store.Run({"-fix"});
  AwaitHoldEnd(store, "long");
  EXPECT_EQ(held.output,
            Report("Error reading file \"" + Store::Relative("box/I3.DAT") + "\"\n" + group +
                   "    I2.DAT - not changed, a file of this mailbox could not be read\n"
                   "Total Errors = 2\nSet KORVA Global UID to 8 (was 5)\n"));
  EXPECT_EQ(store.Get("box/I2.DAT"), PlainMessage(7));

  HoldFile(store, "box\\I3.DAT", 700, "brief");
  RunResult waited = store.Run({"-fix"});
  AwaitHoldEnd(store, "brief");
  EXPECT_EQ(waited.output,
            Report(group + "    I2.DAT - ID changed to 9\nTotal Errors = 2\n"
                   "Set KORVA Global UID to 10 (was 8)\n"));
  EXPECT_EQ(store.Get("box/I2.DAT"), PlainMessage(9));
  EXPECT_EQ(store.Get("box/I3.DAT"), PlainMessage(8));
}
#endif

TEST(Duplicates, ReadOnlyDuplicateIsReportedAndLeftAlone) {
  Store store;
  store.Put("box/I1.DAT", EncryptedMessage(3));
  store.Put("box/I2.DAT", EncryptedMessage(3));
  store.Put("box/I3.DAT", PlainMessage(3));
  fs::permissions(store.root() / "box/I2.DAT", fs::perms::owner_read);
  Files before = store.Snapshot();
  RunResult run = store.Run({"-fix"});
  if (store.Get("box/I2.DAT") != before["box/I2.DAT"])
    GTEST_SKIP() << "permission bits do not bind this process";
  EXPECT_EQ(run.output,
            Report("Checking " + store.Heading("box") +
                   "\n3 messages with ID 3\n    I1.DAT\n"
                   "    I2.DAT - ID changed to 4\n"
                   "Error opening file \"" + Store::Relative("box/I2.DAT") + "\"\n"
                   "    I3.DAT - ID changed to 5\n"
                   "Total Errors = 3\n"));
  ExpectOnlyChanged(before, store.Snapshot(), {{"box/I3.DAT", PlainMessage(5)}});
}

// A linked message file: one with several names, or a symbolic link. A
// rewrite through it would change it under its other names as well, so a
// fix leaves it alone and spends no fresh UID on it. `check` and `fix` are
// the report's lines, a heading naming its mailbox relative to the root.
struct LinkCase {
  const char* what;
  std::function<void(Store&, const fs::path& outside)> make;
  std::string check;
  std::string fix;
  Files changed;
};

// The report's lines with each "Checking <mailbox>" given its full path.
std::string WithHeadings(const Store& store, const std::string& lines) {
  std::istringstream in(lines);
  std::string line, text;
  while (std::getline(in, line)) {
    if (line.rfind("Checking ", 0) == 0) line = "Checking " + store.Heading(line.substr(9));
    text += line + "\n";
  }
  return text;
}

// Every file of the store, and of the directory outside it, by path.
Files Everything(const Store& store, const fs::path& outside) {
  Files files = store.Snapshot();
  for (const fs::directory_entry& entry : fs::directory_iterator(outside)) {
    std::ifstream in(entry.path(), std::ios::binary);
    files["outside/" + entry.path().filename().string()] =
        Bytes(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

// Each case is run in check mode, then twice in fix mode: the second fix
// must find nothing left to renumber and change nothing.
void ExpectLinkedFilesLeftAlone(const std::vector<LinkCase>& cases) {
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.what);
    Store store;
    TempDir outside;
    c.make(store, outside.path());
    Files before = Everything(store, outside.path());
    EXPECT_EQ(store.Run().output, Report(WithHeadings(store, c.check)));
    EXPECT_EQ(Everything(store, outside.path()), before);
    EXPECT_EQ(store.Run({"-fix"}).output, Report(WithHeadings(store, c.fix)));
    ExpectOnlyChanged(before, Everything(store, outside.path()), c.changed);
    EXPECT_EQ(store.Run({"-fix"}).output.find(" - ID changed to "), std::string::npos);
    ExpectOnlyChanged(before, Everything(store, outside.path()), c.changed);
  }
}

void HardLink(const Store& store, const std::string& from, const std::string& to) {
  fs::create_hard_link(store.root() / from, store.root() / to);
}

TEST(Duplicates, FilesWithSeveralNamesAreNotRewritten) {
  ExpectLinkedFilesLeftAlone({
      {"two names in one mailbox",
       [](Store& store, const fs::path&) {
         store.Put("a/I1.DAT", PlainMessage(5));
         HardLink(store, "a/I1.DAT", "a/I2.DAT");
         store.Put("a/I3.DAT", PlainMessage(9));
       },
       "Checking a\n2 messages with ID 5\n    I1.DAT\n    I2.DAT\nTotal Errors = 2\n",
       "Checking a\n2 messages with ID 5\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\nTotal Errors = 2\n",
       {}},
      {"one name in a mailbox checked before",
       [](Store& store, const fs::path&) {
         store.Put("a/I2.DAT", PlainMessage(6));
         store.Put("b/I1.DAT", PlainMessage(5));
         store.Put("b/I2.DAT", EncryptedMessage(5));
         HardLink(store, "b/I2.DAT", "a/I1.DAT");
       },
       "Checking b\n2 messages with ID 5\n    I1.DAT\n    I2.DAT\nTotal Errors = 2\n",
       "Checking b\n2 messages with ID 5\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\nTotal Errors = 2\n",
       {}},
      {"no fresh UID is spent on a linked file",
       [](Store& store, const fs::path&) {
         store.Put("box/I1.DAT", PlainMessage(3));
         store.Put("box/I2.DAT", PlainMessage(3));
         store.Put("box/I3.DAT", EncryptedMessage(3));
         HardLink(store, "box/I2.DAT", "box/I4.DAT");
         store.Put("box/I9.DAT", PlainMessage(4));
       },
       "Checking box\n4 messages with ID 3\n    I1.DAT\n    I2.DAT\n    I3.DAT\n"
       "    I4.DAT\nTotal Errors = 4\n",
       "Checking box\n4 messages with ID 3\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\n    I3.DAT - ID changed to 5\n"
       "    I4.DAT - linked file, not changed\nTotal Errors = 4\n",
       {{"box/I3.DAT", EncryptedMessage(5)}}},
      {"a linked file is told before a missing free ID, its other name outside",
       [](Store& store, const fs::path& outside) {
         store.Put("box/I1.DAT", PlainMessage(4294967295u));
         store.Put("box/I2.DAT", PlainMessage(4294967295u));
         fs::create_hard_link(store.root() / "box/I2.DAT", outside / "I2.DAT");
         store.Put("box/I3.DAT", EncryptedMessage(4294967295u));
       },
       "Checking box\n3 messages with ID 4294967295\n    I1.DAT\n    I2.DAT\n"
       "    I3.DAT\nTotal Errors = 3\n",
       "Checking box\n3 messages with ID 4294967295\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\n"
       "    I3.DAT - no free ID left, not changed\nTotal Errors = 3\n",
       {}},
  });
}

TEST(Duplicates, SymbolicLinksAreNotRewritten) {
  if (RUNS_UNDER_WINE)
    GTEST_SKIP() << "Wine follows a symbolic link of the Linux file system unseen, so "
                    "mailtally.exe cannot tell it from its target (NTFS shows it as a "
                    "reparse point)";
  ExpectLinkedFilesLeftAlone({
      {"a link to a file outside the store",
       [](Store& store, const fs::path& outside) {
         store.Put("box/I1.DAT", PlainMessage(7));
         Bytes target = PlainMessage(7, "outside");
         std::ofstream(outside / "I7.DAT", std::ios::binary)
             .write(reinterpret_cast<const char*>(target.data()),
                    static_cast<std::streamsize>(target.size()));
         fs::create_symlink(outside / "I7.DAT", store.root() / "box/I2.DAT");
         store.Put("box/I3.DAT", PlainMessage(7));
       },
       "Checking box\n3 messages with ID 7\n    I1.DAT\n    I2.DAT\n    I3.DAT\n"
       "Total Errors = 3\n",
       "Checking box\n3 messages with ID 7\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\n    I3.DAT - ID changed to 8\n"
       "Total Errors = 3\n",
       {{"box/I3.DAT", PlainMessage(8)}}},
      {"links to files of the store, in another mailbox, in its own, and missing",
       [](Store& store, const fs::path&) {
         store.Put("a/I1.DAT", EncryptedMessage(7));
         store.Put("b/I1.DAT", PlainMessage(7));
         fs::create_symlink("../a/I1.DAT", store.root() / "b/I2.DAT");
         fs::create_symlink("I1.DAT", store.root() / "b/I3.DAT");
         store.Put("c/I1.DAT", {});
         fs::create_symlink("missing", store.root() / "c/I2.DAT");
       },
       "Checking b\n3 messages with ID 7\n    I1.DAT\n    I2.DAT\n    I3.DAT\n"
       "Checking c\n2 messages with ID 0\n    I1.DAT\n    I2.DAT\nTotal Errors = 5\n",
       "Checking b\n3 messages with ID 7\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\n    I3.DAT - linked file, not changed\n"
       "Checking c\n2 messages with ID 0\n    I1.DAT\n"
       "    I2.DAT - linked file, not changed\nTotal Errors = 5\n",
       {}},
  });
}

}  // namespace
