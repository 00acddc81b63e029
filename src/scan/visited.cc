#include "scan/visited.h"

namespace {

// The time of birth is kept as nanoseconds where that is exact: within
// about 285 years of 1970, which every real date is.
const int64_t MOST_BORN_SECONDS = 9'000'000'000;
const int64_t EMPTY_BORN = INT64_MIN;  // a slot holding no identity
// A shard grows by a quarter once it is 9/10 full.
const size_t FULL_TENTHS = 9;
const size_t FIRST_SLOTS = 16;

// False for an identity that does not fit: a time of birth beyond the range
// above, or a 128-bit file id (Windows on ReFS), which are kept whole.
bool StoreDirectoryId(const DirectoryId& id, StoredId& stored) {
  if (id.bornSeconds > MOST_BORN_SECONDS || id.bornSeconds < -MOST_BORN_SECONDS) return false;
  if (id.nodeHigh != 0) return false;
  stored.node = id.node;
  stored.born = id.bornSeconds * 1'000'000'000 + static_cast<int64_t>(id.bornNanoseconds);
  return true;
}

uint64_t HashStoredId(const StoredId& stored) {
  uint64_t h = stored.node * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(stored.born);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return h;
}

// True when `stored` was added, false when it was there already.
bool PlaceInSlots(std::vector<StoredId>& slots, const StoredId& stored, uint64_t hash) {
  size_t i = hash % slots.size();
  while (slots[i].born != EMPTY_BORN) {
    if (slots[i] == stored) return false;
    if (++i == slots.size()) i = 0;
  }
  slots[i] = stored;
  return true;
}

void GrowShard(VisitedShard& shard) {
  size_t size = shard.slots.empty() ? FIRST_SLOTS : shard.slots.size() + shard.slots.size() / 4;
  std::vector<StoredId> grown(size, StoredId{0, EMPTY_BORN});
  for (const StoredId& stored : shard.slots)
    if (stored.born != EMPTY_BORN) PlaceInSlots(grown, stored, HashStoredId(stored));
  shard.slots = std::move(grown);
}

VisitedVolume& FindVolume(VisitedSet& set, uint64_t volume) {
  for (VisitedVolume& v : set.volumes)
    if (v.volume == volume) return v;
  set.volumes.emplace_back();
  set.volumes.back().volume = volume;
  return set.volumes.back();
}

}  // namespace

bool AddVisited(VisitedSet& set, const DirectoryId& id) {
  StoredId stored;
  if (!StoreDirectoryId(id, stored)) return set.unusual.insert(id).second;
  uint64_t hash = HashStoredId(stored);
  VisitedShard& shard = FindVolume(set, id.volume).shards[hash >> 58];
  if ((shard.count + 1) * 10 > shard.slots.size() * FULL_TENTHS) GrowShard(shard);
  if (!PlaceInSlots(shard.slots, stored, hash)) return false;
  ++shard.count;
  return true;
}
