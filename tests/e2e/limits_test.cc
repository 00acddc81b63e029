// The tool's own use of handles never changes a result: under an open-file
// limit far below what the store would take to hold open, with and without
// read-ahead, every store gives the report, and is left with the bytes, of
// a run without a limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "testing/store.h"

namespace fs = std::filesystem;

namespace {

const char LOW_LIMIT[] = "prlimit --nofile=32:32";

void PutHere(const std::string& name, const Bytes& bytes) {
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Builds a tree deeper than any path the system takes whole, one level at
// a time from the working directory.
void BuildDeep(const Store& store, int levels, const std::function<void(int)>& fillLevel) {
  fs::path start = fs::current_path();
  fs::current_path(store.root());
  for (int level = 0; level < levels; ++level) {
    fs::create_directory("d");
    fs::current_path("d");
    fillLevel(level);
  }
  fs::current_path(start);
}

// Every mailbox holds one duplicate pair: 300 mailboxes need more handles
// than the limit if the readers or the lister keep them.
void ManyMailboxes(Store& store) {
  for (int box = 0; box < 300; ++box) {
    std::string dir = "box" + std::to_string(box) + "/";
    store.Put(dir + "I1.DAT", PlainMessage(2));
    store.Put(dir + "I2.DAT", EncryptedMessage(2));
    store.Put(dir + "I3.DAT", PlainMessage(1));
  }
}

// A chain of 3,000 levels with a duplicate pair every 10 levels.
void LongChain(Store& store) {
  BuildDeep(store, 3000, [](int level) {
    if (level % 10 != 0) return;
    PutHere("I1.DAT", PlainMessage(level + 1));
    PutHere("I2.DAT", PlainMessage(level + 1));
  });
}

// 300 levels, each with subdirectories on both sides of the one the tree
// goes on in, so every level still has one to visit when the walk comes
// back up.
void DeepBranchingTree(Store& store) {
  BuildDeep(store, 300, [](int level) {
    for (const char* side : {"a", "e"}) {
      fs::create_directory(side);
      PutHere(std::string(side) + "/I1.DAT", PlainMessage(7));
      PutHere(std::string(side) + "/I2.DAT", PlainMessage(level % 3 == 0 ? 7 : 8));
    }
    PutHere("I1.DAT", EncryptedMessage(4));
    PutHere("I2.DAT", PlainMessage(4));
  });
}

// Empties the store and builds it again, so that every run reports the
// same root.
void Rebuild(Store& store, void (*build)(Store&)) {
  std::string root = "'" + store.root().string() + "'";
  ASSERT_EQ(std::system(("cd " + root + " && rm -rf -- * && test -z \"$(ls -A)\"").c_str()), 0);
  build(store);
  store.Put("nextuidl.dat", Le32(3));
}

// The store's bytes, names and layout, as an archive in a stable form.
std::string Archive(const Store& store) {
  TempDir out;
  std::string file = (out.path() / "store.tar").string();
  std::string command = "tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -C '" +
                        store.root().string() + "' -cf '" + file + "' .";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Limits, ALowOpenFileLimitChangesNoReportAndNoByte) {
  if (std::getenv("MAILTALLY_READERS") != nullptr)
    GTEST_SKIP() << "sets MAILTALLY_READERS itself, run by the default pass";
  if (std::system("prlimit --nofile=32:32 true 2>/dev/null") != 0)
    GTEST_SKIP() << "prlimit cannot lower the open-file limit here";
  const struct {
    const char* name;
    void (*build)(Store&);
  } stores[] = {{"300 mailboxes", ManyMailboxes},
                {"3,000-level chain", LongChain},
                {"deep branching tree", DeepBranchingTree}};
  for (const auto& fixture : stores) {
    SCOPED_TRACE(fixture.name);
    Store store;
    Rebuild(store, fixture.build);
    const RunResult check = store.Run();
    const RunResult fix = store.Run({"-fix"});
    ASSERT_NE(fix.output.find("ID changed to"), std::string::npos);
    const std::string fixed = Archive(store);

    for (const char* readers : {"MAILTALLY_READERS=0", "MAILTALLY_READERS=16"}) {
      SCOPED_TRACE(readers);
      Rebuild(store, fixture.build);
      const std::string environment = std::string(readers) + " " + LOW_LIMIT;
      EXPECT_EQ(store.Run({}, environment).output, check.output);
      EXPECT_EQ(store.Run({"-fix"}, environment).output, fix.output);
      EXPECT_EQ(Archive(store), fixed);
    }
  }
}

}  // namespace
