// What a file or directory is, told by more than its name and node number,
// on a store that changes under the run: a directory made during the run on
// the node of one deleted earlier, and a message file bind-mounted over
// another's name. Both need mounts, which need root with CAP_SYS_ADMIN;
// where the machine refuses them, the tests skip.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "testing/stalled_run.h"
#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

const char REFUSED_BIND[] = "cannot bind-mount a file here (needs root with CAP_SYS_ADMIN)";

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

// A mount made by `command` over `where`, for the life of the object, and
// unmounted however the test ends.
class Mounted {
 public:
  Mounted(const std::string& command, const fs::path& where) : where_(where) {
    mounted_ = std::system((command + " 2>/dev/null").c_str()) == 0;
  }
  ~Mounted() {
    // Lazily where something still holds it: a loop device is let go when
    // the last user of the mount is.
    if (mounted_)
      std::system(("umount " + Quote(where_) + " || umount -l " + Quote(where_)).c_str());
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_;
};

ino_t NodeOf(const fs::path& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// ext4 gives a directory made after another was deleted the lowest free
// node number, which is the deleted one's. Its nodes of 256 bytes (the
// default but on old systems' small file systems) keep the time of birth.
TEST(Identity, ADirectoryMadeDuringTheRunIsNotTakenForOneDeleted) {
  if (std::getenv("MAILTALLY_READERS") != nullptr)
    GTEST_SKIP() << "sets MAILTALLY_READERS itself, run by the default pass";
  Store store;
  TempDir scratch;
  const fs::path image = scratch.path() / "ext4.img";
  Mounted ext4("truncate -s 8M " + Quote(image) + " && mkfs.ext4 -q -F -I 256 " + Quote(image) +
                   " >/dev/null && mount -o loop " + Quote(image) + " " + Quote(store.root()),
               store.root());
  if (!ext4.mounted())
    GTEST_SKIP() << "cannot mount an ext4 image here (needs root with CAP_SYS_ADMIN, loop "
                    "devices and mkfs.ext4)";
  fs::remove(store.root() / "lost+found");  // the store holds its mailboxes only
  store.MakeDirectory("a");
  store.Put("m/I1.DAT", PlainMessage(7));
  store.Put("m/I2.DAT", PlainMessage(7));
  store.MakeDirectory("z");
  store.Put("nextuidl.dat", Le32(100));
  const ino_t deleted = NodeOf(store.root() / "a");

  // The run waits at the first write of its report, in m: a is visited,
  // z not yet opened. With read-ahead, z would be listed by then, and
  // z/new made too late to be reached at all.
  StalledRun run(store, {"-fix"}, "MAILTALLY_READERS=0");
  ASSERT_TRUE(run.WaitUntilStalled());
  fs::remove(store.root() / "a");
  store.Put("z/new/I1.DAT", EncryptedMessage(5));
  store.Put("z/new/I2.DAT", PlainMessage(5));
  if (NodeOf(store.root() / "z/new") != deleted)
    GTEST_SKIP() << "the file system did not give z/new the node of the deleted a";
  const RunResult fix = run.Finish();

  EXPECT_EQ(fix.status, 0);
  EXPECT_EQ(fix.output, Report("Checking " + store.Heading("m") + "\n" +
                               "2 messages with ID 7\n"
                               "    I1.DAT\n"
                               "    I2.DAT - ID changed to 8\n"
                               "Checking " + store.Heading("z/new") + "\n" +
                               "2 messages with ID 5\n"
                               "    I1.DAT\n"
                               "    I2.DAT - ID changed to 6\n"
                               "Total Errors = 4\n"));
  EXPECT_EQ(store.Snapshot(), (std::map<std::string, Bytes>{
                                  {"m/I1.DAT", PlainMessage(7)},
                                  {"m/I2.DAT", PlainMessage(8)},
                                  {"z/new/I1.DAT", EncryptedMessage(5)},
                                  {"z/new/I2.DAT", PlainMessage(6)},
                                  {"nextuidl.dat", Le32(100)},
                              }));
  EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n"));
}

// A file bind-mounted over a message file's name has one name on its own
// file system, yet a write through that name changes it in box1, a mailbox
// already checked. Mounted before the run, the fix sees it; mounted while
// the run waits between that look and its write, the write itself is
// refused.
TEST(Identity, ABindMountedMessageFileIsNotWrittenThrough) {
  const struct {
    const char* when;
    bool duringRun;
    const char* lastLines;
  } cases[] = {
      {"mounted before the run", false, "    I2.DAT - linked file, not changed\n"},
      {"mounted before the write", true,
       "    I2.DAT - ID changed to 4\n"
       "Error opening file \"./box2/I2.DAT\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    Store store;
    store.Put("box1/I1.DAT", PlainMessage(4));
    store.Put("box1/I5.DAT", EncryptedMessage(3));
    store.Put("box2/I1.DAT", PlainMessage(3));
    store.Put("box2/I2.DAT", PlainMessage(3));
    store.Put("nextuidl.dat", Le32(100));
    const auto before = store.Snapshot();
    const fs::path over = store.root() / "box2/I2.DAT";
    const std::string bind =
        "mount --bind " + Quote(store.root() / "box1/I5.DAT") + " " + Quote(over);
    RunResult fix;
    if (c.duringRun) {
      // The change line is flushed after the look, before the write.
      StalledRun run(store, {"-fix"});
      ASSERT_TRUE(run.WaitUntilStalled());
      Mounted mount(bind, over);
      if (!mount.mounted()) GTEST_SKIP() << REFUSED_BIND;
      fix = run.Finish();
    } else {
      Mounted mount(bind, over);
      if (!mount.mounted()) GTEST_SKIP() << REFUSED_BIND;
      fix = store.Run({"-fix"});
    }

    EXPECT_EQ(fix.status, 0);
    EXPECT_EQ(fix.output, Report("Checking " + store.Heading("box2") + "\n" +
                                 "2 messages with ID 3\n"
                                 "    I1.DAT\n" +
                                 c.lastLines + "Total Errors = 2\n"));
    EXPECT_EQ(store.Snapshot(), before);
  }
}

// A file bind-mounted over a name reads as the file it is, which an earlier
// mailbox's fix may yet rewrite: box2/I2.DAT is box1/I2.DAT, renumbered
// from 4 to 5 before box2 is checked, so box2 holds no duplicate. The run
// is held before that rewrite while the readers read box2 ahead of the
// walk; what they read through the mount would be stale.
TEST(Identity, AFileBindMountedOverANameIsReadAfterTheFixesBeforeIt) {
  Store store;
  store.Put("box1/I1.DAT", PlainMessage(4));
  store.Put("box1/I2.DAT", PlainMessage(4));
  store.Put("box2/I1.DAT", PlainMessage(4));
  store.Put("box2/I2.DAT", PlainMessage(9));
  store.Put("nextuidl.dat", Le32(100));
  const fs::path over = store.root() / "box2/I2.DAT";
  Mounted mount("mount --bind " + Quote(store.root() / "box1/I2.DAT") + " " + Quote(over), over);
  if (!mount.mounted()) GTEST_SKIP() << REFUSED_BIND;

  // The change line is flushed before the rewrite; the readers are not
  // held, and two files take them far less than this.
  StalledRun run(store, {"-fix"});
  ASSERT_TRUE(run.WaitUntilStalled());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const RunResult fix = run.Finish();

  EXPECT_EQ(fix.status, 0);
  EXPECT_EQ(fix.output, Report("Checking " + store.Heading("box1") + "\n" +
                               "2 messages with ID 4\n"
                               "    I1.DAT\n"
                               "    I2.DAT - ID changed to 5\n"
                               "Total Errors = 2\n"));
  EXPECT_EQ(store.Get("box1/I2.DAT"), PlainMessage(5));
  EXPECT_EQ(store.Get("box2/I1.DAT"), PlainMessage(4));
}

}  // namespace
