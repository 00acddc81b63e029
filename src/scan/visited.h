// The directories the traversal has visited, kept compactly: a store of
// millions of directories costs about 20 bytes for each (the identity's 16
// bytes in a hash table at least 3/4 full), not the 100 of a tree node.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "platform/platform.h"

// What is kept of a DirectoryId within its volume: the node and the time of
// birth in nanoseconds. A field DirectoryId gains is added here and in
// StoreDirectoryId, which alone build it; equality and the hash take every
// field.
struct StoredId {
  uint64_t node = 0;
  int64_t born = 0;
  bool operator==(const StoredId&) const = default;
};

// Open addressing, linear probing; grown a quarter at a time, one shard at a
// time, so growing never holds much more than the table itself.
struct VisitedShard {
  std::vector<StoredId> slots;
  size_t count = 0;
};

const size_t VISITED_SHARDS = 64;

struct VisitedVolume {
  uint64_t volume;
  VisitedShard shards[VISITED_SHARDS];
};

struct VisitedSet {
  std::vector<VisitedVolume> volumes;  // few: one for each file system
  // Identities whose time of birth does not fit in 64 bits of nanoseconds
  // (a file system's odd dates), and 128-bit file ids, kept whole.
  std::set<DirectoryId> unusual;
};

// Adds `id`; false when it was there already.
bool AddVisited(VisitedSet& set, const DirectoryId& id);
