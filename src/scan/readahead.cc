#include "scan/readahead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "msgfile/msgfile.h"

namespace {

const int DEFAULT_READERS = 16;
const int MOST_READERS = 64;
// Files a reader takes at once: few enough to spread one mailbox over
// several readers, enough that handing them over costs little.
const size_t CHUNK_FILES = 32;
// How far the helpers may run ahead of the walk. This bounds the memory
// and the directory handles they hold, whatever the size of the store: it
// grows only with the largest mailbox, which is always held whole.
const size_t MOST_FILES_AHEAD = 4096;
const size_t MOST_MAILBOXES_AHEAD = 64;
const auto WAIT_SLICE = std::chrono::milliseconds(100);

using SharedDirectory = std::shared_ptr<Directory>;

// A directory as the lister found it, in walk order, with its files' UIDs.
struct Mailbox {
  SharedDirectory dir;
  std::string path;
  int depth = 0;
  std::vector<std::string> names;  // message files in listing order
  std::vector<uint32_t> uids;      // uids[i] belongs to names[i]
  // The write count of the walk when each chunk's reads began.
  std::vector<uint64_t> chunkWrites;
  size_t chunksLeft = 0;  // guarded by ReadAhead::mutex
};

struct Chunk {
  Mailbox* box;
  size_t number;
};

struct ReadAhead {
  std::mutex mutex;
  std::condition_variable work;   // readers wait for chunks
  std::condition_variable ready;  // the walk waits for its next mailbox
  std::condition_variable room;   // the lister waits for the walk to catch up
  std::deque<std::unique_ptr<Mailbox>> mailboxes;  // walk order
  std::deque<Chunk> chunks;                        // walk order
  std::deque<Chunk> urgent;                        // re-reads the walk waits for
  size_t filesAhead = 0;
  bool listed = false;
  bool stopping = false;
  // Mailboxes the walk has rewritten files in. A UID read before a rewrite
  // may be stale (a file can have a second name in a later mailbox), so
  // such reads are done again when the walk reaches them.
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> filesRead{0};
};

void ReadChunk(ReadAhead& ahead, const Chunk& chunk) {
  Mailbox& box = *chunk.box;
  uint64_t writes = ahead.writes.load();
  size_t first = chunk.number * CHUNK_FILES;
  size_t end = std::min(first + CHUNK_FILES, box.names.size());
  for (size_t i = first; i < end; ++i) box.uids[i] = ReadMessageUid(box.dir.get(), box.names[i]);
  ahead.filesRead += end - first;
  std::lock_guard<std::mutex> lock(ahead.mutex);
  box.chunkWrites[chunk.number] = writes;
  if (--box.chunksLeft == 0) ahead.ready.notify_all();
}

void RunReader(ReadAhead& ahead) {
  for (;;) {
    Chunk chunk;
    {
      std::unique_lock<std::mutex> lock(ahead.mutex);
      ahead.work.wait(lock, [&] {
        return ahead.stopping || !ahead.urgent.empty() || !ahead.chunks.empty();
      });
      if (ahead.stopping) return;
      std::deque<Chunk>& queue = ahead.urgent.empty() ? ahead.chunks : ahead.urgent;
      chunk = queue.front();
      queue.pop_front();
    }
    ReadChunk(ahead, chunk);
  }
}

void WakeReaders(ReadAhead& ahead, size_t chunks) {
  for (size_t i = 0; i < chunks; ++i) ahead.work.notify_one();
}

// Hands a listed mailbox to the readers and the walk, once the walk is
// close enough behind. False when the run is stopping.
bool QueueMailbox(ReadAhead& ahead, const SharedDirectory& dir, const std::string& path,
                  int depth, std::vector<std::string>& names) {
  auto box = std::make_unique<Mailbox>();
  box->dir = dir;
  box->path = path;
  box->depth = depth;
  box->names = std::move(names);
  box->uids.resize(box->names.size());
  size_t chunks = (box->names.size() + CHUNK_FILES - 1) / CHUNK_FILES;
  box->chunkWrites.resize(chunks);
  box->chunksLeft = chunks;

  std::unique_lock<std::mutex> lock(ahead.mutex);
  ahead.room.wait(lock, [&] {
    return ahead.stopping || ahead.mailboxes.empty() ||
           (ahead.mailboxes.size() < MOST_MAILBOXES_AHEAD &&
            ahead.filesAhead < MOST_FILES_AHEAD);
  });
  if (ahead.stopping) return false;
  for (size_t i = 0; i < chunks; ++i) ahead.chunks.push_back({box.get(), i});
  ahead.filesAhead += box->names.size();
  ahead.mailboxes.push_back(std::move(box));
  lock.unlock();
  ahead.ready.notify_all();
  WakeReaders(ahead, chunks);
  return true;
}

// The walk's order and its choice of directories, exactly as ScanDirectory
// makes them; the mailboxes go to the queue instead of being checked.
bool ListAhead(ReadAhead& ahead, const SharedDirectory& dir, std::string& path, int depth,
               VisitedDirectories& visited) {
  DirectoryListing listing;
  ListDirectory(dir.get(), depth > 0, listing);
  if (depth > 0 && !QueueMailbox(ahead, dir, path, depth, listing.messageFiles)) return false;
  size_t parentLength = path.size();
  for (const std::string& name : listing.subdirectories) {
    Directory* child = OpenSubdirectory(dir.get(), name);
    if (child == nullptr) continue;
    if (!visited.insert(GetDirectoryId(child)).second) {
      CloseDirectory(child);
      continue;
    }
    path += PATH_SEPARATOR;
    path += name;
    bool goOn = ListAhead(ahead, SharedDirectory(child, CloseDirectory), path, depth + 1, visited);
    path.resize(parentLength);
    if (!goOn) return false;
  }
  return true;
}

void ListStore(ReadAhead& ahead, Directory* root) {
  VisitedDirectories visited{GetDirectoryId(root)};
  std::string path = ".";
  // The root handle belongs to the caller.
  ListAhead(ahead, SharedDirectory(root, [](Directory*) {}), path, 0, visited);
  std::lock_guard<std::mutex> lock(ahead.mutex);
  ahead.listed = true;
  ahead.ready.notify_all();
}

// The next mailbox in walk order with all its files read; null at the end.
std::unique_ptr<Mailbox> TakeMailbox(ReadAhead& ahead, Progress& progress) {
  std::unique_lock<std::mutex> lock(ahead.mutex);
  for (;;) {
    if (!ahead.mailboxes.empty() && ahead.mailboxes.front()->chunksLeft == 0) {
      std::unique_ptr<Mailbox> box = std::move(ahead.mailboxes.front());
      ahead.mailboxes.pop_front();
      ahead.filesAhead -= box->names.size();
      ahead.room.notify_one();
      return box;
    }
    if (ahead.mailboxes.empty() && ahead.listed) return nullptr;
    // Rather than wait for its next mailbox, the walk reads the part no
    // reader has taken yet: on a warm cache that saves most hand-overs.
    if (!ahead.mailboxes.empty() && !ahead.chunks.empty() &&
        ahead.chunks.front().box == ahead.mailboxes.front().get()) {
      Chunk chunk = ahead.chunks.front();
      ahead.chunks.pop_front();
      lock.unlock();
      ReadChunk(ahead, chunk);
      lock.lock();
      continue;
    }
    if (!progress.enabled) {
      ahead.ready.wait(lock);
      continue;
    }
    // A large mailbox takes a while: the status line goes on meanwhile.
    ahead.ready.wait_for(lock, WAIT_SLICE);
    lock.unlock();
    progress.files = ahead.filesRead.load();
    RefreshProgress(progress);
    lock.lock();
  }
}

// Reads again, and waits for, the chunks of `box` read before the walk's
// latest rewrite.
void RereadStaleChunks(ReadAhead& ahead, Mailbox& box) {
  uint64_t writes = ahead.writes.load();
  std::unique_lock<std::mutex> lock(ahead.mutex);
  size_t stale = 0;
  for (size_t i = 0; i < box.chunkWrites.size(); ++i) {
    if (box.chunkWrites[i] == writes) continue;
    ahead.urgent.push_back({&box, i});
    ++stale;
  }
  if (stale == 0) return;
  box.chunksLeft = stale;
  lock.unlock();
  WakeReaders(ahead, stale);
  lock.lock();
  ahead.ready.wait(lock, [&] { return box.chunksLeft == 0; });
}

void WalkMailboxes(ReadAhead& ahead, Mode mode, RunTotals& totals) {
  // After a failed check the walk leaves that directory's subdirectories
  // and its parent's remaining ones: everything listed at its depth or
  // deeper until the walk is back above it.
  int skipFrom = INT_MAX;
  while (std::unique_ptr<Mailbox> box = TakeMailbox(ahead, totals.progress)) {
    if (!CheckReportOutput(totals)) break;
    if (box->depth >= skipFrom) continue;
    skipFrom = INT_MAX;
    RereadStaleChunks(ahead, *box);
    uint32_t dirMax = 0;
    DirectoryIndex index = IndexMessageFiles(box->names, box->uids, dirMax);
    int32_t errorsBefore = totals.errorCount;
    totals.progress.files = ahead.filesRead.load();
    if (!CheckMailbox(index, box->dir.get(), box->path, mode, dirMax, totals))
      skipFrom = box->depth;
    if (mode == Mode::FIX && totals.errorCount != errorsBefore) ++ahead.writes;
  }
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

void StopReaders(ReadAhead& ahead, std::vector<std::thread>& readers) {
  {
    std::lock_guard<std::mutex> lock(ahead.mutex);
    ahead.stopping = true;
  }
  ahead.work.notify_all();
  ahead.room.notify_all();
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

void ScanStoreAhead(Directory* root, Mode mode, int readers, RunTotals& totals) {
  ReadAhead ahead;
  std::vector<std::thread> threads;
  StartReaders(ahead, readers, threads);
  std::thread lister;
  if (!threads.empty()) {
    try {
      lister = std::thread(ListStore, std::ref(ahead), root);
    } catch (const std::system_error&) {
    }
  }
  if (!lister.joinable()) {
    // No helpers to be had: the plain walk does the same work.
    StopReaders(ahead, threads);
    ScanStore(root, mode, totals);
    return;
  }
  WalkMailboxes(ahead, mode, totals);
  // A walk that stopped early leaves the lister waiting for room.
  StopReaders(ahead, threads);
  lister.join();
}
