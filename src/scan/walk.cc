// The one traversal of the store: the only code outside the platform layer
// that opens directories below the root or decides which ones to visit.
//
// Its use of handles is bounded, whatever the depth or shape of the store:
// a directory is let go once its last subdirectory is entered, and beyond
// what it may hold the handles of the shallowest directories still to return to
// are let go too; such a directory is opened again by name, from the nearest
// one still held, when the traversal comes back to it.
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include "scan/scan.h"
#include "scan/visited.h"

namespace {

// How long an open that failed for want of handles is tried again, while
// others (the walk's mailboxes, or whoever else shares the limit) let go,
// before the run stops for want of them.
const int MOST_OPEN_TRIES = 40;
const auto OPEN_RETRY_PAUSE = std::chrono::milliseconds(25);
// Handles in use only while a directory is opened: the new one, and on the
// way to a directory opened again by name, the one it is opened in.
const size_t OPENING_HANDLES = 2;

// A directory on the way down whose subdirectories are not all visited yet.
struct Level {
  SharedDirectory dir;  // null while let go
  // Tells that a directory opened again is the same; empty when it could
  // not be read, and then no directory opened again is taken for it.
  std::optional<DirectoryId> id;
  size_t pathLength;    // its path is the traversal's path cut to this length
  int depth;
  NameList subdirectories;  // in listing order
  size_t next;                              // the next one to visit
};

struct Traversal {
  std::vector<Level> levels;  // levels[0] is the store root, always held
  std::string path;           // of the directory entered last
  VisitedSet visited;
  size_t mostHeld;   // handles of levels other than the root
  size_t held = 0;
  bool outOfHandles = false;  // an open failed, and waiting freed none
};

// Lets go of the shallowest held level but the root and the newest; false
// when there is none.
bool LetGoOfShallowest(Traversal& t) {
  for (size_t i = 1; i + 1 < t.levels.size(); ++i) {
    if (t.levels[i].dir == nullptr) continue;
    t.levels[i].dir = nullptr;
    --t.held;
    return true;
  }
  return false;
}

// Counts a level just held, and keeps to the bound.
void CountHeld(Traversal& t) {
  ++t.held;
  while (t.held > t.mostHeld && LetGoOfShallowest(t)) {
  }
}

void PopLevel(Traversal& t) {
  if (t.levels.size() > 1 && t.levels.back().dir != nullptr) --t.held;
  t.levels.pop_back();
}

// Opens `name` in `parent`. Handles that ran out are made by letting go of
// levels, or else waited for a while. Null when the system refuses the
// directory, or when handles stay short (t.outOfHandles).
SharedDirectory OpenChild(Traversal& t, Directory* parent, const std::string& name) {
  for (int tries = 1;; ++tries) {
    OpenFailure failure = OpenFailure::REFUSED;
    if (Directory* dir = OpenSubdirectory(parent, name, &failure))
      return SharedDirectory(dir, CloseDirectory);
    if (failure != OpenFailure::NO_HANDLES) return nullptr;
    if (tries == MOST_OPEN_TRIES) {
      t.outOfHandles = true;
      return nullptr;
    }
    if (!LetGoOfShallowest(t)) std::this_thread::sleep_for(OPEN_RETRY_PAUSE);
  }
}

// Opens the top level again by name from the nearest level still held.
// Null when it is gone, or another directory has taken its name.
SharedDirectory ReopenTop(Traversal& t) {
  size_t from = t.levels.size() - 1;
  while (t.levels[from].dir == nullptr) --from;
  SharedDirectory dir = t.levels[from].dir;
  const size_t end = t.levels.back().pathLength;
  for (size_t at = t.levels[from].pathLength + 1; dir != nullptr && at <= end;) {
    size_t stop = std::min(t.path.find(PATH_SEPARATOR, at), end);
    dir = OpenChild(t, dir.get(), t.path.substr(at, stop - at));
    at = stop + 1;
  }
  const std::optional<DirectoryId>& id = t.levels.back().id;
  if (dir == nullptr || !id || GetDirectoryId(dir.get()) != id) return nullptr;
  return dir;
}

// Holds the top level, opening it again if it was let go; false when it
// cannot be (see t.outOfHandles for why).
bool HoldTop(Traversal& t) {
  Level& top = t.levels.back();
  if (top.dir != nullptr) return true;
  top.dir = ReopenTop(t);
  if (top.dir == nullptr) return false;
  CountHeld(t);
  return true;
}

// Lists the directory just entered, hands it to `sink` as a mailbox and
// keeps its subdirectories to visit. False when the sink stops the walk.
bool EnterDirectory(Traversal& t, SharedDirectory dir, std::optional<DirectoryId> id,
                    int depth, const MailboxSink& sink) {
  DirectoryListing listing;
  ListDirectory(dir.get(), true, listing);
  Mailbox box;
  box.dir = dir;
  box.path = t.path;
  box.depth = depth;
  box.names = std::move(listing.messageFiles);
  box.uids.resize(box.names.size());
  box.read.resize(box.names.size());
  box.listedWhole = listing.whole;
  box.repeated = std::move(listing.repeated);
  if (!sink(box)) return false;
  if (!listing.subdirectories.ends.empty()) {
    t.levels.push_back(
        {std::move(dir), id, t.path.size(), depth, std::move(listing.subdirectories), 0});
    CountHeld(t);
  }
  return true;
}

// Hands on a place where the traversal could not go on as it should.
bool HandOnProblem(Traversal& t, MailboxKind kind, size_t pathLength, int depth,
                   const MailboxSink& sink) {
  Mailbox box;
  box.kind = kind;
  box.path = t.path.substr(0, pathLength);
  box.depth = depth;
  return sink(box);
}

}  // namespace

void WalkStore(Directory* root, size_t mostHandles, const MailboxSink& sink) {
  Traversal t;
  t.mostHeld = mostHandles > OPENING_HANDLES ? mostHandles - OPENING_HANDLES : 1;
  // A directory reached a second time, through a link or a loop, is passed
  // over. One whose identity cannot be read is visited but not remembered:
  // it cannot be told from any other.
  const std::optional<DirectoryId> rootId = GetDirectoryId(root);
  if (rootId) AddVisited(t.visited, *rootId);
  t.path.assign(1, '.');  // the root, as the report names it
  DirectoryListing listing;
  ListDirectory(root, false, listing);
  // The root handle belongs to the caller.
  t.levels.push_back({SharedDirectory(root, [](Directory*) {}), rootId, t.path.size(), 0,
                      std::move(listing.subdirectories), 0});
  if (!listing.whole && !HandOnProblem(t, MailboxKind::ROOT_NOT_LISTED_WHOLE, t.path.size(), 0, sink))
    return;
  while (!t.levels.empty()) {
    Level& parent = t.levels.back();
    if (parent.next == parent.subdirectories.ends.size()) {
      PopLevel(t);
      continue;
    }
    if (!HoldTop(t)) {
      if (t.outOfHandles) break;
      bool goOn = HandOnProblem(t, MailboxKind::NOT_REOPENED, parent.pathLength,
                                parent.depth, sink);
      PopLevel(t);
      if (!goOn) return;
      continue;
    }
    SharedDirectory parentDir = parent.dir;
    const std::string name(NameAt(parent.subdirectories, parent.next++));
    bool last = parent.next == parent.subdirectories.ends.size();
    int depth = parent.depth + 1;
    t.path.resize(parent.pathLength);
    SharedDirectory child = OpenChild(t, parentDir.get(), name);
    if (t.outOfHandles) break;
    if (child == nullptr) continue;
    std::optional<DirectoryId> id = GetDirectoryId(child.get());
    if (id && !AddVisited(t.visited, *id)) continue;
    t.path += PATH_SEPARATOR;
    t.path += name;
    // A directory with no subdirectory left to visit is let go before its
    // last one is entered: a chain of any depth holds two handles.
    if (last) PopLevel(t);
    parentDir = nullptr;
    if (!EnterDirectory(t, std::move(child), id, depth, sink)) return;
  }
  if (t.outOfHandles) HandOnProblem(t, MailboxKind::OUT_OF_HANDLES, 0, 0, sink);
}
