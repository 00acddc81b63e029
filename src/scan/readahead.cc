#include "scan/readahead.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "msgfile/msgfile.h"

namespace {

// Reads in flight are what a cold run waits on: the storage of the
// development machine answered faster up to about 64 at once, and 16
// readers left a third of that speed unused. On a warm cache a reader
// rarely waits, so the extra threads cost neither time nor memory there
// (bench/run.sh).
const int MOST_READERS = 64;
const int DEFAULT_READERS = MOST_READERS;
// Files a reader takes at once: few enough to spread one mailbox over
// several readers, enough that handing them over costs little.
const size_t CHUNK_FILES = 32;
// How far the helpers may run ahead of the walk, at most. This bounds the
// memory they hold, whatever the size of the store: it grows only with the
// largest mailbox, which is always held whole. The open-file limit may
// allow fewer mailboxes ahead (ShareHandles).
const size_t MOST_FILES_AHEAD = 4096;
const size_t MOST_MAILBOXES_AHEAD = 64;
const auto WAIT_SLICE = std::chrono::milliseconds(100);

// A mailbox as the readers see it, with how far its reading has come.
struct QueuedMailbox {
  Mailbox box;
  size_t chunksLeft = 0;  // guarded by ReadAhead::mutex
};

struct Chunk {
  QueuedMailbox* queued;
  size_t number;
};

struct ReadAhead {
  explicit ReadAhead(Progress& shown) : progress(shown) {}
  std::mutex mutex;
  std::condition_variable work;   // readers wait for chunks
  std::condition_variable ready;  // the walk waits for its next mailbox
  std::condition_variable room;   // the lister waits for the walk to catch up
  std::deque<std::unique_ptr<QueuedMailbox>> mailboxes;  // walk order
  std::deque<Chunk> chunks;                              // walk order
  size_t filesAhead = 0;
  size_t mostMailboxesAhead = MOST_MAILBOXES_AHEAD;
  bool listed = false;
  bool stopping = false;
  // Only a fix rewrites files: a check may read links ahead (ReadChunk).
  bool followLinks = false;
  Progress& progress;  // the readers count the files they read
};

// Reads the UIDs of one chunk; in a fix, but for those of symbolic links and
// mount points. A fix may rewrite files in earlier mailboxes before the
// walk reaches this one, and such a rewrite changes what a later name reads
// only when that name leads to another file's bytes, through a symbolic
// link or a file bind-mounted over it: a file with several names is never
// rewritten, and a file changed by someone else is caught by the compare
// before each rewrite. So the walk reads those names itself, after every
// earlier rewrite, and nothing read here is ever stale.
void ReadChunk(ReadAhead& ahead, const Chunk& chunk) {
  QueuedMailbox& queued = *chunk.queued;
  Mailbox& box = queued.box;
  size_t first = chunk.number * CHUNK_FILES;
  size_t end = std::min(first + CHUNK_FILES, box.names.size());
  // A read that failed is left to the walk as well: the cause may be
  // passing (all handles in use, say), and only the walk's own failure reads
  // as UID 0.
  size_t read = 0;
  for (size_t i = first; i < end; ++i) {
    bool done = TryReadMessageUid(box.dir.get(), box.names[i], ahead.followLinks, box.uids[i]);
    box.read[i] = done ? READ : NOT_READ;
    read += done;
  }
  ahead.progress.files += read;
  std::lock_guard<std::mutex> lock(ahead.mutex);
  if (--queued.chunksLeft == 0) ahead.ready.notify_all();
}

void RunReader(ReadAhead& ahead) {
  for (;;) {
    Chunk chunk;
    {
      std::unique_lock<std::mutex> lock(ahead.mutex);
      ahead.work.wait(lock, [&] { return ahead.stopping || !ahead.chunks.empty(); });
      if (ahead.stopping) return;
      chunk = ahead.chunks.front();
      ahead.chunks.pop_front();
    }
    ReadChunk(ahead, chunk);
  }
}

void WakeReaders(ReadAhead& ahead, size_t chunks) {
  for (size_t i = 0; i < chunks; ++i) ahead.work.notify_one();
}

// Hands a listed mailbox to the readers and the walk, once the walk is
// close enough behind. False when the run is stopping.
bool QueueMailbox(ReadAhead& ahead, Mailbox& box) {
  auto queued = std::make_unique<QueuedMailbox>();
  queued->box = std::move(box);
  size_t files = queued->box.names.size();
  size_t chunks = (files + CHUNK_FILES - 1) / CHUNK_FILES;
  queued->chunksLeft = chunks;

  std::unique_lock<std::mutex> lock(ahead.mutex);
  ahead.room.wait(lock, [&] {
    return ahead.stopping || ahead.mailboxes.empty() ||
           (ahead.mailboxes.size() < ahead.mostMailboxesAhead &&
            ahead.filesAhead < MOST_FILES_AHEAD);
  });
  if (ahead.stopping) return false;
  for (size_t i = 0; i < chunks; ++i) ahead.chunks.push_back({queued.get(), i});
  ahead.filesAhead += files;
  ahead.mailboxes.push_back(std::move(queued));
  lock.unlock();
  ahead.ready.notify_all();
  WakeReaders(ahead, chunks);
  return true;
}

void ListStore(ReadAhead& ahead, Directory* root, size_t mostHandles) {
  WalkStore(root, mostHandles, [&](Mailbox& box) { return QueueMailbox(ahead, box); });
  std::lock_guard<std::mutex> lock(ahead.mutex);
  ahead.listed = true;
  ahead.ready.notify_all();
}

// The next mailbox in walk order with all its files read; null at the end.
std::unique_ptr<QueuedMailbox> TakeMailbox(ReadAhead& ahead) {
  std::unique_lock<std::mutex> lock(ahead.mutex);
  for (;;) {
    if (!ahead.mailboxes.empty() && ahead.mailboxes.front()->chunksLeft == 0) {
      std::unique_ptr<QueuedMailbox> queued = std::move(ahead.mailboxes.front());
      ahead.mailboxes.pop_front();
      ahead.filesAhead -= queued->box.names.size();
      ahead.room.notify_one();
      return queued;
    }
    if (ahead.mailboxes.empty() && ahead.listed) return nullptr;
    // Rather than wait for its next mailbox, the walk reads the part no
    // reader has taken yet: on a warm cache that saves most hand-overs.
    if (!ahead.mailboxes.empty() && !ahead.chunks.empty() &&
        ahead.chunks.front().queued == ahead.mailboxes.front().get()) {
      Chunk chunk = ahead.chunks.front();
      ahead.chunks.pop_front();
      lock.unlock();
      ReadChunk(ahead, chunk);
      lock.lock();
      continue;
    }
    if (!ahead.progress.enabled) {
      ahead.ready.wait(lock);
      continue;
    }
    // A large mailbox takes a while: the status line goes on meanwhile.
    ahead.ready.wait_for(lock, WAIT_SLICE);
    lock.unlock();
    RefreshProgress(ahead.progress);
    lock.lock();
  }
}

void CheckQueuedMailboxes(ReadAhead& ahead, WalkState& walk) {
  // A lost report, or handles run out, stop the walk.
  while (MayGoOn(walk.totals)) {
    std::unique_ptr<QueuedMailbox> queued = TakeMailbox(ahead);
    if (queued == nullptr) return;
    CheckMailbox(walk, queued->box);
  }
}

// The shares of the handles the helpers may hold: each reader holds one
// file at a time, each mailbox ahead of the walk its directory, and the
// lister's traversal what is left (WalkStore). False when too few are left
// for read-ahead to be worth it.
struct HandleShares {
  int readers;
  size_t mailboxesAhead;
  size_t listerHandles;
};

bool ShareHandles(size_t spare, int readers, HandleShares& shares) {
  shares.readers = static_cast<int>(std::min(static_cast<size_t>(readers), spare / 4));
  shares.mailboxesAhead = std::min(MOST_MAILBOXES_AHEAD, spare / 4);
  size_t rest = spare - static_cast<size_t>(shares.readers) - shares.mailboxesAhead;
  if (shares.readers == 0 || rest < MOST_HANDLES_AT_LEAST) return false;
  shares.listerHandles = rest;
  return true;
}

// Starts up to `count` readers; fewer when the system refuses threads.
void StartReaders(ReadAhead& ahead, int count, std::vector<std::thread>& readers) {
  for (int i = 0; i < count; ++i) {
    try {
      readers.emplace_back(RunReader, std::ref(ahead));
    } catch (const std::system_error&) {
      break;
    }
  }
}

// Stops the helpers, also those the walk left early: a lister waiting for
// room, readers waiting for work.
void StopHelpers(ReadAhead& ahead, std::thread& lister, std::vector<std::thread>& readers) {
  {
    std::lock_guard<std::mutex> lock(ahead.mutex);
    ahead.stopping = true;
  }
  ahead.work.notify_all();
  ahead.room.notify_all();
  if (lister.joinable()) lister.join();
  for (std::thread& reader : readers) reader.join();
}

}  // namespace

int CountReaders() {
  const char* text = std::getenv("MAILTALLY_READERS");
  if (text == nullptr || *text == '\0') return DEFAULT_READERS;
  char* end = nullptr;
  long count = std::strtol(text, &end, 10);
  if (*end != '\0' || count < 0) return DEFAULT_READERS;
  return static_cast<int>(std::min<long>(count, MOST_READERS));
}

bool ScanStoreAhead(Directory* root, int readers, size_t spareHandles, WalkState& walk) {
  HandleShares shares;
  if (!ShareHandles(spareHandles, readers, shares)) return false;
  ReadAhead ahead(walk.totals.progress);
  ahead.followLinks = walk.mode == Mode::CHECK;
  ahead.mostMailboxesAhead = shares.mailboxesAhead;
  std::vector<std::thread> threads;
  StartReaders(ahead, shares.readers, threads);
  std::thread lister;
  if (!threads.empty()) {
    try {
      lister = std::thread(ListStore, std::ref(ahead), root, shares.listerHandles);
    } catch (const std::system_error&) {
    }
  }
  bool started = lister.joinable();
  if (started) CheckQueuedMailboxes(ahead, walk);
  StopHelpers(ahead, lister, threads);
  return started;
}
