// The global UID counter, end to end: compared with the highest UID of the
// run, reported when too low, raised in fix mode, four bytes at offset 0
// and nothing else.
#include <gtest/gtest.h>

#include <filesystem>

#include "testing/file_system.h"
#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

struct Case {
  const char* what;
  uint32_t highest;  // the highest UID in the store; 0 means no message file
  Bytes counter;     // the counter file's bytes
  std::string checkLine;
  std::string fixLine;
  Bytes counterAfterFix;
};

TEST(Counter, ComparedWithTheHighestUid) {
  const Bytes tail = {0xde, 0xad};
  auto withTail = [&](Bytes b) {
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  const Case cases[] = {
      {"too low", 90, Le32(50), "KORVA Global UID too low - 50 (needs to be at least 91)\n",
       "Set KORVA Global UID to 91 (was 50)\n", Le32(91)},
      {"equal to the highest", 90, Le32(90),
       "KORVA Global UID too low - 90 (needs to be at least 91)\n",
       "Set KORVA Global UID to 91 (was 90)\n", Le32(91)},
      {"one above", 90, Le32(91), "", "", Le32(91)},
      {"far above", 90, Le32(4000000000u), "", "", Le32(4000000000u)},
      {"no message file", 0, Le32(0), "KORVA Global UID too low - 0 (needs to be at least 1)\n",
       "Set KORVA Global UID to 1 (was 0)\n", Le32(1)},
      {"highest UID wraps the need to 0", 4294967295u, Le32(3), "", "", Le32(3)},
      {"compared unsigned", 2147483648u, Le32(2147483647u),
       "KORVA Global UID too low - 2147483647 (needs to be at least 2147483649)\n",
       "Set KORVA Global UID to 2147483649 (was 2147483647)\n", Le32(2147483649u)},
      {"bytes after the counter", 90, withTail(Le32(5)),
       "KORVA Global UID too low - 5 (needs to be at least 91)\n",
       "Set KORVA Global UID to 91 (was 5)\n", withTail(Le32(91))},
      {"two bytes", 299, {0x2c, 0x01}, "",
       "", {0x2c, 0x01}},
      {"two bytes, too low", 400, {0x2c, 0x01},
       "KORVA Global UID too low - 300 (needs to be at least 401)\n",
       "Set KORVA Global UID to 401 (was 300)\n", Le32(401)},
      {"empty", 9, {}, "KORVA Global UID too low - 0 (needs to be at least 10)\n",
       "Set KORVA Global UID to 10 (was 0)\n", Le32(10)},
  };
  for (const Case& c : cases) {
    Store store;
    if (c.highest != 0) {
      store.Put("box/I1.DAT", PlainMessage(c.highest));
      store.Put("box/I2.DAT", EncryptedMessage(1));
    }
    store.Put("nextuidl.dat", c.counter);
    EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n" + c.checkLine)) << c.what;
    EXPECT_EQ(store.Get("nextuidl.dat"), c.counter) << c.what;
    EXPECT_EQ(store.Run({"-fix"}).output, Report("Total Errors = 0\n" + c.fixLine)) << c.what;
    EXPECT_EQ(store.Get("nextuidl.dat"), c.counterAfterFix) << c.what;
  }
}

TEST(Counter, FreshUidsCount) {
  Store store;
  store.Put("a/I1.DAT", PlainMessage(30));
  store.Put("a/I2.DAT", PlainMessage(30));
  store.Put("b/I1.DAT", PlainMessage(31));
  store.Put("nextuidl.dat", Le32(32));
  EXPECT_EQ(store.Run({"-fix"}).output,
            Report("Checking " + store.Heading("a") +
                   "\n2 messages with ID 30\n    I1.DAT\n    I2.DAT - ID changed to 31\n"
                   "Total Errors = 2\n"));
  store.Put("a/I3.DAT", PlainMessage(31));
  EXPECT_EQ(store.Run({"-fix"}).output,
            Report("Checking " + store.Heading("a") +
                   "\n2 messages with ID 31\n    I2.DAT\n    I3.DAT - ID changed to 32\n"
                   "Total Errors = 2\n"
                   "Set KORVA Global UID to 33 (was 32)\n"));
}

TEST(Counter, ALinkedCounterIsRaisedAsAnyOther) {
  // Linked message files are left alone by a fix; the counter is not one.
  for (bool symbolic : {false, true}) {
    SCOPED_TRACE(symbolic ? "symbolic link" : "second name");
    if (!(symbolic ? StoreFileSystem().symbolicLinks : StoreFileSystem().hardLinks)) continue;
    Store store;
    store.Put("box/I1.DAT", PlainMessage(7));
    // The other name, on the store's file system, where no message file is.
    store.Put("other/counter", Le32(3));
    const fs::path target = store.root() / "other/counter";
    if (symbolic)
      fs::create_symlink(target, store.root() / "nextuidl.dat");
    else
      fs::create_hard_link(target, store.root() / "nextuidl.dat");
    EXPECT_EQ(store.Run({"-fix"}).output,
              Report("Total Errors = 0\nSet KORVA Global UID to 8 (was 3)\n"));
    EXPECT_EQ(store.Get("nextuidl.dat"), Le32(8));
  }
}

TEST(Counter, FoundByItsNameInARootThatCannotBeListed) {
  if (RUNS_UNDER_WINE)
    GTEST_SKIP() << "Wine cannot make a directory it cannot list the current directory of "
                    "a program, and starts mailtally.exe in C:\\ instead";
  Store store;
  store.Put("box/I1.DAT", PlainMessage(7));
  store.Put("box/I2.DAT", PlainMessage(7));
  store.Put("nextuidl.dat", Le32(0));
  fs::permissions(store.root() / "nextuidl.dat",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
  const auto before = store.Snapshot();
  // Search permission alone, as mode 711 gives a user other than the owner.
  fs::permissions(store.root(),
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
  std::error_code denied;
  fs::directory_iterator listing(store.root(), denied);
  RunResult check, fix;
  if (denied) {
    check = store.Run();
    fix = store.Run({"-fix"});
  }
  fs::permissions(store.root(), fs::perms::owner_all);
  if (!denied) GTEST_SKIP() << "permission bits do not bind this process";

  // Nothing below the root is found; the counter is, by its name.
  EXPECT_EQ(check.output,
            Report("Total Errors = 0\nKORVA Global UID too low - 0 (needs to be at least 1)\n"));
  EXPECT_EQ(fix.output, Report("Total Errors = 0\nSet KORVA Global UID to 1 (was 0)\n"));
  auto expected = before;
  expected["nextuidl.dat"] = Le32(1);
  EXPECT_EQ(store.Snapshot(), expected);
}

TEST(Counter, AbsentCounterIsPassedOver) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(7));
  store.MakeDirectory("nextuidl.dat");  // a directory is no counter
  EXPECT_EQ(store.Run({"-fix"}).output, Report("Total Errors = 0\n"));
  EXPECT_EQ(store.Snapshot().size(), 1u);
}

TEST(Counter, FoundWithoutRegardToLetterCase) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(7));
  store.Put("NEXTUIDL.DAT", Le32(3));
  store.Put("nextUidl.dat", Le32(4));
  if (fs::exists(store.root() / "nextuidl.dat"))
    GTEST_SKIP() << "this file system does not tell letter case apart";
  EXPECT_EQ(store.Run().output,
            Report("Total Errors = 0\nKORVA Global UID too low - 3 (needs to be at least 8)\n"));
  EXPECT_EQ(store.Run({"-fix"}).output,
            Report("Total Errors = 0\nSet KORVA Global UID to 8 (was 3)\n"));
  EXPECT_EQ(store.Get("NEXTUIDL.DAT"), Le32(8));
  EXPECT_EQ(store.Get("nextUidl.dat"), Le32(4));

  store.Put("nextuidl.dat", Le32(9));  // the exact name comes first
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n"));
}

// Where the file system finds a name in any letter case (exFAT), the
// counter made as NEXTUIDL.DAT is found as nextuidl.dat. It is read back
// under the name the tool opened: through a FUSE driver the name it was
// made under may still show the bytes from before the fix.
TEST(Counter, FoundInAnyCaseWhereTheFileSystemFoldsCase) {
  for (const char* name : {"NEXTUIDL.DAT", "NextUidl.Dat"}) {
    Store store;
    store.Put("box/I1.DAT", PlainMessage(7));
    store.Put(name, Le32(3));
    if (!fs::exists(store.root() / "nextuidl.dat"))
      GTEST_SKIP() << "this file system tells letter case apart";
    EXPECT_EQ(store.Run().output,
              Report("Total Errors = 0\nKORVA Global UID too low - 3 (needs to be at least 8)\n"))
        << name;
    EXPECT_EQ(store.Run({"-fix"}).output,
              Report("Total Errors = 0\nSet KORVA Global UID to 8 (was 3)\n"))
        << name;
    EXPECT_EQ(store.Get("nextuidl.dat"), Le32(8)) << name;
    EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n")) << name;
  }
}

TEST(Counter, ReadOnlyCounterIsCheckedButNotRaised) {
  Store store;
  store.Put("box/I1.DAT", PlainMessage(7));
  store.Put("nextuidl.dat", Le32(5));
  fs::permissions(store.root() / "nextuidl.dat", fs::perms::owner_read);
  const std::string low = "KORVA Global UID too low - 5 (needs to be at least 8)\n";
  RunResult fix = store.Run({"-fix"});
  if (store.Get("nextuidl.dat") != Le32(5))
    GTEST_SKIP() << "permission bits do not bind this process";
  EXPECT_EQ(fix.output,
            Report("Total Errors = 0\nError opening file \"nextuidl.dat\"\n" + low));
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n" + low));

  store.Put("box/I1.DAT", PlainMessage(4));  // high enough: nothing to say
  EXPECT_EQ(store.Run({"-fix"}).output, Report("Total Errors = 0\n"));

  // A counter that cannot be read at all may be too low: it is named in
  // both modes, under the name it was found by, and left as it is.
  fs::permissions(store.root() / "nextuidl.dat", fs::perms::none);
  store.Put("box/I1.DAT", PlainMessage(7));
  fs::rename(store.root() / "nextuidl.dat", store.root() / "NextUidl.DAT");
  const std::string found = fs::exists(store.root() / "nextuidl.dat") ? "nextuidl.dat" : "NextUidl.DAT";
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-fix"}, {}}) {
    RunResult run = store.Run(arguments);
    EXPECT_EQ(run.output, Report("Total Errors = 0\nError opening file \"" + found + "\"\n"));
    EXPECT_EQ(run.status, 0);
  }
  fs::permissions(store.root() / "NextUidl.DAT", fs::perms::owner_read);
  EXPECT_EQ(store.Get("NextUidl.DAT"), Le32(5));
}

}  // namespace
