// Properties of check and fix runs over many small random stores. The
// stores come from fixed seeds, so a failure names the seed that shows it.
// Nothing here predicts which UID a file gets: the report says what it did,
// and the store afterwards must agree with the report and with the promise
// that a fix changes UID fields and the counter and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "testing/file_system.h"
#include "testing/store.h"
#include "testing/uid_field.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, Bytes>;
using Random = std::mt19937;

const uint32_t HIGHEST = 4294967295u;
const uint32_t EDGE_UIDS[] = {0,           1,           2,           3,          2147483646u,
                              2147483647u, 2147483648u, 2147483649u, 4294967293u, 4294967294u,
                              HIGHEST};
const char* const MAILBOX_NAMES[] = {"alice", "Alice", "BOB", "box 1", "-dash", "Mixed.Case",
                                     "x"};
const char* const COUNTER_NAMES[] = {"nextuidl.dat", "nextuidl.dat", "NEXTUIDL.DAT",
                                     "NextUidl.Dat"};

int StoreCount() {
  const char* text = std::getenv("MAILTALLY_PROPERTY_STORES");
  return text != nullptr ? std::atoi(text) : 300;
}

uint32_t Pick(Random& random, uint32_t below) {
  return std::uniform_int_distribution<uint32_t>(0, below - 1)(random);
}

bool Chance(Random& random, int percent) { return static_cast<int>(Pick(random, 100)) < percent; }

// `bytes` with the four bytes at `offset` set to `uid` (masked or not).
Bytes WithField(Bytes bytes, size_t offset, uint32_t uid, uint8_t mask) {
  bytes.resize(std::max(bytes.size(), offset + 4));
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(uid >> (8 * i)) ^ mask;
  return bytes;
}

Bytes WithUid(const Bytes& bytes, uint32_t uid) {
  size_t offset = FieldOffset(bytes);
  return WithField(bytes, offset, uid, offset == PLAIN_UID_OFFSET ? 0 : ENCRYPTED_UID_MASK);
}

// A store and what the test needs to know of it beyond its bytes.
struct Generated {
  std::set<std::string> mailboxes;
  std::string counter;                // its name; empty when there is none
  std::set<std::string> unreadable;   // no permission at all
  std::set<std::string> readOnly;
  // Names of message files that are linked: every name of a file with
  // several, and symbolic links. A fix never writes through them.
  std::set<std::string> linked;
  // Symbolic links among the message files, to files in the root (which is
  // no mailbox, so nothing the run writes changes what they read), or to
  // nothing (an empty target).
  std::map<std::string, std::string> symbolic;
};

Bytes RandomMessage(Random& random, uint32_t uid) {
  Bytes body(Pick(random, 12));
  for (uint8_t& b : body) b = static_cast<uint8_t>(Pick(random, 256));
  std::string text(body.begin(), body.end());
  switch (Pick(random, 10)) {
    case 0: {  // a plain file of 0 to 3 bytes
      Bytes bytes = Le32(uid);
      bytes.resize(Pick(random, 4));
      return bytes;
    }
    case 1: {  // an encrypted file cut inside its UID field
      Bytes bytes = EncryptedMessage(uid, "");
      bytes.resize(ENCRYPTED_UID_OFFSET + Pick(random, 4));
      return bytes;
    }
    default:
      return Chance(random, 50) ? PlainMessage(uid, text) : EncryptedMessage(uid, text);
  }
}

std::string RandomMessageName(Random& random) {
  static const char LETTERS[] = "0123456789abcXYZ";
  static const char* const EXTENSIONS[] = {".DAT", ".dat", ".Dat"};
  std::string name = Chance(random, 80) ? "I" : "i";
  for (uint32_t n = 1 + Pick(random, 3); n > 0; --n) name += LETTERS[Pick(random, 16)];
  return name + EXTENSIONS[Pick(random, 3)];
}

// Run as root without the test launcher, permission bits do not bind and
// every file stays readable and writable.
bool PermissionsBind() {
  static const bool bind = [] {
    TempDir dir(StoreDirectory());
    fs::path file = dir.path() / "probe";
    std::ofstream(file) << "x";
    fs::permissions(file, fs::perms::none);
    return !std::ifstream(file).is_open();
  }();
  return bind;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

// `path` as the store's file system keeps it once `taken` are there: where
// it does not tell letter case apart, the name already taken in other case.
std::string AsStored(const std::set<std::string>& taken, const std::string& path) {
  if (StoreFileSystem().caseDistinctNames) return path;
  for (const std::string& other : taken)
    if (EqualIgnoringCase(other, path)) return other;
  return path;
}

// Beside the message files, entries that not every file system holds: a
// FIFO named like a message file, which the tool never opens, and a
// message file whose name is not UTF-8. Made last, so that a store's
// other files do not depend on the file system.
void AddWhatTheFileSystemHolds(Random& random, Store& store, const Generated& g) {
  const FileSystemLimits& limits = StoreFileSystem();
  std::string box = *std::next(g.mailboxes.begin(), Pick(random, g.mailboxes.size()));
  if (limits.fifos && Chance(random, 20)) {
    std::string fifo = (store.root() / box / "I0fifo.DAT").string();
    EXPECT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  }
  if (limits.nonUtf8Names && Chance(random, 20))
    store.Put(box + "/I\xe9\xff.DAT", PlainMessage(EDGE_UIDS[Pick(random, std::size(EDGE_UIDS))]));
}

// Second names for message files, in any mailbox, and symbolic links, where
// the file system holds them.
void AddLinks(Random& random, Store& store, Generated& g,
              const std::vector<std::string>& messages) {
  const FileSystemLimits& limits = StoreFileSystem();
  std::vector<std::string> targets;  // files whose permissions stay as they are
  for (const std::string& path : messages)
    if (g.unreadable.count(path) == 0 && g.readOnly.count(path) == 0) targets.push_back(path);
  for (uint32_t n = Pick(random, 4); n > 0; --n) {
    std::string box = *std::next(g.mailboxes.begin(), Pick(random, g.mailboxes.size()));
    std::string path = box + "/" + RandomMessageName(random);
    std::error_code error;
    if (fs::exists(fs::symlink_status(store.root() / path, error))) continue;
    uint32_t kind = Pick(random, 10);
    bool hard = kind < 5 && !targets.empty();
    if (!(hard ? limits.hardLinks : limits.symbolicLinks)) continue;
    if (hard) {
      std::string target = targets[Pick(random, targets.size())];
      fs::create_hard_link(store.root() / target, store.root() / path);
      g.linked.insert(target);
    } else if (kind < 9) {
      std::string target = "target" + std::to_string(n) + ".bin";
      store.Put(target, RandomMessage(random, EDGE_UIDS[Pick(random, std::size(EDGE_UIDS))]));
      fs::create_symlink(store.root() / target, store.root() / path);
      g.symbolic[path] = target;
    } else {
      fs::create_symlink("missing", store.root() / path);
      g.symbolic[path] = "";
    }
    g.linked.insert(path);
  }
}

Generated MakeRandomStore(Random& random, Store& store) {
  Generated g;
  std::vector<std::string> messages;
  for (uint32_t n = 1 + Pick(random, 3); n > 0; --n) {
    std::string box = AsStored(g.mailboxes, MAILBOX_NAMES[Pick(random, std::size(MAILBOX_NAMES))]);
    g.mailboxes.insert(box);
    if (Chance(random, 30))
      g.mailboxes.insert(AsStored(
          g.mailboxes, box + "/" + MAILBOX_NAMES[Pick(random, std::size(MAILBOX_NAMES))]));
  }
  std::set<std::string> paths;
  for (const std::string& box : g.mailboxes) {
    store.MakeDirectory(box);
    // A few UIDs per mailbox make duplicate groups likely.
    std::vector<uint32_t> pool;
    for (uint32_t n = 1 + Pick(random, 3); n > 0; --n)
      pool.push_back(Chance(random, 60) ? EDGE_UIDS[Pick(random, std::size(EDGE_UIDS))]
                                        : static_cast<uint32_t>(random()));
    for (uint32_t n = Pick(random, 9); n > 0; --n) {
      std::string path = AsStored(paths, box + "/" + RandomMessageName(random));
      paths.insert(path);
      uint32_t uid = Chance(random, 80) ? pool[Pick(random, pool.size())]
                                        : EDGE_UIDS[Pick(random, std::size(EDGE_UIDS))];
      store.Put(path, RandomMessage(random, uid));
      messages.push_back(path);
      if (Chance(random, 6)) g.unreadable.insert(path);
      else if (Chance(random, 6)) g.readOnly.insert(path);
    }
    if (Chance(random, 20)) store.Put(box + "/notes.txt", PlainMessage(1));
  }
  if (Chance(random, 20)) store.Put("I1.DAT", PlainMessage(HIGHEST));  // the root is no mailbox
  if (Chance(random, 85)) {
    g.counter = COUNTER_NAMES[Pick(random, std::size(COUNTER_NAMES))];
    static const size_t LENGTHS[] = {0, 1, 2, 3, 4, 4, 4, 4, 6};
    uint32_t value = Chance(random, 50) ? EDGE_UIDS[Pick(random, std::size(EDGE_UIDS))]
                                        : static_cast<uint32_t>(random());
    Bytes bytes = Le32(value);
    bytes.resize(LENGTHS[Pick(random, std::size(LENGTHS))], 0x5a);
    store.Put(g.counter, bytes);
    if (Chance(random, 5)) g.unreadable.insert(g.counter);
    else if (Chance(random, 10)) g.readOnly.insert(g.counter);
  }
  AddWhatTheFileSystemHolds(random, store, g);
  if (!PermissionsBind()) {
    g.unreadable.clear();
    g.readOnly.clear();
  }
  AddLinks(random, store, g, messages);
  for (const std::string& path : g.unreadable) fs::permissions(store.root() / path, fs::perms::none);
  for (const std::string& path : g.readOnly)
    fs::permissions(store.root() / path, fs::perms::owner_read);
  return g;
}

// Every file with its bytes, unreadable ones included.
Files ReadAll(const Store& store, const Generated& g) {
  for (const std::string& path : g.unreadable)
    fs::permissions(store.root() / path, fs::perms::owner_read);
  Files files = store.Snapshot();
  for (const std::string& path : g.unreadable) fs::permissions(store.root() / path, fs::perms::none);
  // The tool opens the counter as nextuidl.dat: where that name finds the
  // file in any case, the driver may show its listed name's stale bytes.
  if (!StoreFileSystem().caseDistinctNames && !g.counter.empty())
    files[g.counter] = store.Get("nextuidl.dat");
  return files;
}

// The UIDs the tool can see in each mailbox: an unreadable file, and a
// symbolic link to nothing, read as 0; a symbolic link reads its target.
std::map<std::string, std::vector<uint32_t>> SeenUids(const Files& files, const Generated& g) {
  std::map<std::string, std::vector<uint32_t>> seen;
  auto see = [&](const std::string& path, uint32_t uid) {
    std::string box = fs::path(path).parent_path().generic_string();
    std::string name = fs::path(path).filename().string();
    if (g.mailboxes.count(box) != 0 && (name[0] == 'I' || name[0] == 'i'))
      seen[box].push_back(uid);
  };
  for (const auto& [path, bytes] : files)
    see(path, g.unreadable.count(path) != 0 ? 0 : UidOf(bytes));
  for (const auto& [path, target] : g.symbolic)
    see(path, target.empty() ? 0 : UidOf(files.at(target)));
  return seen;
}

int DuplicateCount(const Files& files, const Generated& g) {
  int count = 0;
  for (const auto& [box, uids] : SeenUids(files, g))
    for (uint32_t uid : uids)
      if (std::count(uids.begin(), uids.end(), uid) > 1) ++count;
  return count;
}

std::optional<uint32_t> HighestSeen(const Files& files, const Generated& g) {
  std::optional<uint32_t> highest;
  for (const auto& [box, uids] : SeenUids(files, g))
    for (uint32_t uid : uids) highest = std::max(highest.value_or(0), uid);
  return highest;
}

std::string Hex(const Bytes& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) text += std::string(" ") + DIGITS[b >> 4] + DIGITS[b & 15];
  return text;
}

// Names each file that differs, with both versions of its bytes.
std::string Differences(const Files& actual, const Files& expected) {
  std::string text;
  std::set<std::string> paths;
  for (const auto& [path, bytes] : actual) paths.insert(path);
  for (const auto& [path, bytes] : expected) paths.insert(path);
  for (const std::string& path : paths) {
    auto a = actual.find(path), e = expected.find(path);
    if (a == actual.end() || e == expected.end() || a->second != e->second)
      text += path + ":\n  is      " + (a == actual.end() ? " (missing)" : Hex(a->second)) +
              "\n  expected" + (e == expected.end() ? " (missing)" : Hex(e->second)) + "\n";
  }
  return text;
}

// What a fix run's report says it did.
struct FixReport {
  std::map<std::string, uint32_t> changed;  // path -> new UID, written without error
  std::set<std::string> linked;             // paths left alone as linked
  std::map<std::string, uint32_t> highestBefore;  // per mailbox path, from the group lines
  bool troubled = false;                    // an error line, or no free ID left
  std::optional<uint32_t> counterSet;
  int totalErrors = -1;
  uint32_t highestGiven = 0;  // of every fresh UID, written or not
};

FixReport ParseFix(const std::string& output, const Store& store) {
  FixReport report;
  std::istringstream in(output);
  std::string line, box, lastChanged;
  const std::string root = store.Heading("");
  while (std::getline(in, line)) {
    const std::string changedMark = " - ID changed to ";
    size_t mark = line.find(changedMark);
    if (line.rfind("Checking ", 0) == 0) {
      box = line.substr(9 + root.size());
    } else if (line.rfind("    ", 0) == 0 && mark != std::string::npos) {
      lastChanged = box + "/" + line.substr(4, mark - 4);
      uint32_t uid = static_cast<uint32_t>(std::stoul(line.substr(mark + changedMark.size())));
      report.changed[lastChanged] = uid;
      report.highestGiven = std::max(report.highestGiven, uid);
      continue;
    } else if (line.rfind("Error reading file ", 0) == 0 ||
               line.rfind("Error listing directory ", 0) == 0) {
      report.troubled = true;  // names what a mailbox could not read, not a change
    } else if (line.rfind("Error", 0) == 0) {
      report.troubled = true;
      report.changed.erase(lastChanged);  // the line after a change tells it failed
    } else if (line.find(" - no free ID left, not changed") != std::string::npos ||
               line.find(" - not changed, a file of this mailbox could not be read") !=
                   std::string::npos) {
      report.troubled = true;
    } else if (size_t at = line.find(" - linked file, not changed"); at != std::string::npos) {
      report.linked.insert(box + "/" + line.substr(4, at - 4));
      report.troubled = true;
    } else if (line.rfind("Total Errors = ", 0) == 0) {
      report.totalErrors = std::stoi(line.substr(15));
    } else if (line.rfind("Set KORVA Global UID to ", 0) == 0) {
      report.counterSet = static_cast<uint32_t>(std::stoul(line.substr(24)));
    }
    lastChanged.clear();
  }
  return report;
}

std::string CounterLine(const Files& files, const Generated& g) {
  if (g.counter.empty()) return "";
  // Named as the tool finds it: by its own name where that finds it.
  if (g.unreadable.count(g.counter) != 0)
    return "Error opening file \"" +
           (StoreFileSystem().caseDistinctNames ? g.counter : std::string("nextuidl.dat")) + "\"\n";
  uint32_t stored = 0;
  const Bytes& bytes = files.at(g.counter);
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) stored |= uint32_t{bytes[i]} << (8 * i);
  uint32_t needed = HighestSeen(files, g).value_or(0) + 1;
  if (stored >= needed) return "";
  return "KORVA Global UID too low - " + std::to_string(stored) + " (needs to be at least " +
         std::to_string(needed) + ")\n";
}

void CheckRunChangesNothing(const Store& store, const Generated& g, const Files& before) {
  RunResult check = store.Run();
  EXPECT_EQ(check.status, 0);
  std::string tail = "Total Errors = " + std::to_string(DuplicateCount(before, g)) + "\n" +
                     CounterLine(before, g);
  ASSERT_GE(check.output.size(), tail.size());
  EXPECT_EQ(check.output.substr(check.output.size() - tail.size()), tail) << check.output;
  EXPECT_EQ(Differences(ReadAll(store, g), before), "");
}

void FixRunChangesOnlyUidsAndCounter(const Store& store, const Generated& g, const Files& before) {
  RunResult fix = store.Run({"-fix"});
  EXPECT_EQ(fix.status, 0);
  FixReport report = ParseFix(fix.output, store);
  EXPECT_EQ(report.totalErrors, DuplicateCount(before, g)) << fix.output;

  // Linked files are never written, and only they are told to be linked.
  for (const auto& [path, uid] : report.changed)
    EXPECT_EQ(g.linked.count(path), 0u) << "written through a link: " << path << "\n"
                                        << fix.output;
  for (const std::string& path : report.linked)
    EXPECT_EQ(g.linked.count(path), 1u) << "not linked: " << path << "\n" << fix.output;

  Files after = ReadAll(store, g);
  Files expected = before;
  for (const auto& [path, uid] : report.changed) {
    ASSERT_TRUE(before.count(path)) << "the report names a file that is not there: " << path;
    expected[path] = WithUid(before.at(path), uid);
  }
  if (report.counterSet) expected[g.counter] = WithField(before.at(g.counter), 0, *report.counterSet, 0);
  EXPECT_EQ(Differences(after, expected), "") << fix.output;

  // Fresh UIDs are above every UID the mailbox held before, and none is
  // handed out in a mailbox with a file that could not be read.
  auto seenBefore = SeenUids(before, g);
  for (const auto& [path, uid] : report.changed) {
    std::string box = fs::path(path).parent_path().generic_string();
    for (const std::string& unreadable : g.unreadable)
      EXPECT_NE(fs::path(unreadable).parent_path().generic_string(), box)
          << "renumbered beside an unreadable file: " << path << "\n" << fix.output;
    for (uint32_t old : seenBefore[box]) EXPECT_GT(uid, old) << path << "\n" << fix.output;
  }

  RunResult again = store.Run();
  if (!report.troubled) {
    EXPECT_EQ(again.output.rfind(Report("Total Errors = 0\n"), 0), 0u)
        << fix.output << "then\n" << again.output;
  }

  // A fresh UID counts towards the counter even when its file could not be
  // written; once the highest is 4294967295 no counter can be above it.
  uint32_t highest = std::max(HighestSeen(after, g).value_or(0), report.highestGiven);
  bool counterWritable = !g.counter.empty() && g.unreadable.count(g.counter) == 0 &&
                         g.readOnly.count(g.counter) == 0;
  if (counterWritable && highest != HIGHEST) {
    EXPECT_EQ(CounterLine(after, g), "") << fix.output;
  }
}

TEST(Properties, RandomStores) {
  const int stores = StoreCount();
  for (int seed = 1; seed <= stores && !::testing::Test::HasFailure(); ++seed) {
    SCOPED_TRACE("store seed " + std::to_string(seed));
    Random random(static_cast<Random::result_type>(seed));
    Store store;
    Generated g = MakeRandomStore(random, store);
    Files before = ReadAll(store, g);
    CheckRunChangesNothing(store, g, before);
    FixRunChangesOnlyUidsAndCounter(store, g, before);
  }
}

}  // namespace
