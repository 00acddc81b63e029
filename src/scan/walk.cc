// The one traversal of the store: the only code outside the platform layer
// that opens directories below the root or decides which ones to visit.
#include <set>
#include <utility>

#include "scan/scan.h"

namespace {

// A directory on the way down whose subdirectories are not all visited yet.
struct Level {
  SharedDirectory dir;
  size_t pathLength;  // its path is the first pathLength characters of the walk's
  int depth;
  std::vector<std::string> subdirectories;  // in listing order
  size_t next;                              // the next one to visit
};

// Lists the directory just entered, hands it to `sink` as a mailbox and
// queues its subdirectories. False when the sink stops the traversal.
bool EnterDirectory(SharedDirectory dir, const std::string& path, int depth,
                    std::vector<Level>& levels, const MailboxSink& sink) {
  DirectoryListing listing;
  ListDirectory(dir.get(), true, listing);
  Mailbox box;
  box.dir = dir;
  box.path = path;
  box.depth = depth;
  box.names = std::move(listing.messageFiles);
  box.uids.resize(box.names.size());
  box.read.resize(box.names.size());
  if (!sink(box)) return false;
  if (!listing.subdirectories.empty())
    levels.push_back({std::move(dir), path.size(), depth, std::move(listing.subdirectories), 0});
  return true;
}

}  // namespace

void WalkStore(Directory* root, const MailboxSink& sink) {
  // A directory reached a second time, through a link or a loop, is passed
  // over.
  std::set<DirectoryId> visited{GetDirectoryId(root)};
  std::string path = ".";
  DirectoryListing listing;
  ListDirectory(root, false, listing);
  // The root handle belongs to the caller.
  std::vector<Level> levels;
  levels.push_back({SharedDirectory(root, [](Directory*) {}), path.size(), 0,
                    std::move(listing.subdirectories), 0});
  while (!levels.empty()) {
    Level& parent = levels.back();
    if (parent.next == parent.subdirectories.size()) {
      levels.pop_back();
      continue;
    }
    const std::string& name = parent.subdirectories[parent.next++];
    Directory* opened = OpenSubdirectory(parent.dir.get(), name);
    if (opened == nullptr) continue;
    SharedDirectory child(opened, CloseDirectory);
    if (!visited.insert(GetDirectoryId(opened)).second) continue;
    path.resize(parent.pathLength);
    path += PATH_SEPARATOR;
    path += name;
    int depth = parent.depth + 1;
    // A directory with no subdirectory left to visit is let go before its
    // last one is entered: a chain of any depth holds two handles.
    if (parent.next == parent.subdirectories.size()) levels.pop_back();
    if (!EnterDirectory(std::move(child), path, depth, levels, sink)) return;
  }
}
