/* The reference the benchmark measures mailtally against: the least a walk
 * of the store can do. One readdir pass per directory, and for each message
 * file below the root openat + one pread of 24 bytes + close, relative to
 * the open directory. No sorting, no index, no report: it prints the count
 * of files read and the sum of their first bytes, so nothing is optimised
 * away. Started in the store root, like mailtally.
 *
 *   c_loop             one thread, each file read as its directory is listed
 *   c_loop THREADS     the parallel reference: the directory pass first,
 *                      keeping every directory open, then the same
 *                      openat/pread/close of each file spread over THREADS
 *                      threads, which take the files one at a time in walk
 *                      order. On a cold cache this is what storage gives
 *                      with that many requests in flight. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

struct PendingFile {
  int dirFd;
  char* name;
};

static long filesRead;
static unsigned long byteSum;
/* The parallel reference's files, listed by the directory pass. */
static int parallel;
static struct PendingFile* pending;
static size_t pendingCount, pendingRoom;
static atomic_size_t nextPending;
static pthread_mutex_t sumLock = PTHREAD_MUTEX_INITIALIZER;

static int IsMessageFile(const char* name) {
  size_t length = strlen(name);
  return length >= 5 && (name[0] == 'I' || name[0] == 'i') &&
         strcasecmp(name + length - 4, ".DAT") == 0;
}

/* Returns the sum of the first bytes of the file, or -1 when it cannot be
 * opened. */
static long ReadHead(int dirFd, const char* name) {
  unsigned char head[24];
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long sum = 0;
  ssize_t n = pread(fd, head, sizeof head, 0);
  for (ssize_t i = 0; i < n; ++i) sum += head[i];
  close(fd);
  return sum;
}

static void KeepFile(int dirFd, const char* name) {
  if (!parallel) {
    long sum = ReadHead(dirFd, name);
    if (sum < 0) return;
    byteSum += (unsigned long)sum;
    ++filesRead;
    return;
  }
  if (pendingCount == pendingRoom) {
    pendingRoom = pendingRoom ? 2 * pendingRoom : 4096;
    pending = realloc(pending, pendingRoom * sizeof *pending);
    if (pending == NULL) abort();
  }
  pending[pendingCount].dirFd = dirFd;
  pending[pendingCount].name = strdup(name);
  ++pendingCount;
}

static void Walk(int dirFd, int depth) {
  /* The parallel reference reads the files later, through dirFd: the
   * listing gets a handle of its own. */
  int listFd = parallel ? dup(dirFd) : dirFd;
  DIR* dir = listFd < 0 ? NULL : fdopendir(listFd);
  if (dir == NULL) {
    if (listFd >= 0) close(listFd);
    if (!parallel) close(dirFd);
    return;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (entry->d_type == DT_DIR) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (child >= 0) Walk(child, depth + 1);
    } else if (depth > 0 && entry->d_type == DT_REG && IsMessageFile(name)) {
      KeepFile(dirFd, name);
    }
  }
  closedir(dir);
}

static void* ReadPending(void* unused) {
  (void)unused;
  long count = 0;
  unsigned long sum = 0;
  for (;;) {
    size_t i = atomic_fetch_add(&nextPending, 1);
    if (i >= pendingCount) break;
    long head = ReadHead(pending[i].dirFd, pending[i].name);
    if (head < 0) continue;
    sum += (unsigned long)head;
    ++count;
  }
  pthread_mutex_lock(&sumLock);
  filesRead += count;
  byteSum += sum;
  pthread_mutex_unlock(&sumLock);
  return NULL;
}

static int ReadInParallel(int threads) {
  pthread_t* ids = calloc((size_t)threads, sizeof *ids);
  int started = 0;
  while (started < threads && pthread_create(&ids[started], NULL, ReadPending, NULL) == 0)
    ++started;
  if (started == 0) return 0;
  for (int i = 0; i < started; ++i) pthread_join(ids[i], NULL);
  free(ids);
  return 1;
}

int main(int argc, char** argv) {
  int threads = argc > 1 ? atoi(argv[1]) : 0;
  if (argc > 2 || (argc > 1 && threads < 1)) {
    fprintf(stderr, "usage: c_loop [THREADS]\n");
    return 2;
  }
  parallel = threads > 0;
  if (parallel) {
    /* Every directory stays open until the reads are done. */
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
  }
  int root = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return 1;
  Walk(root, 0);
  if (parallel && !ReadInParallel(threads)) return 1;
  printf("%ld files, byte sum %lu\n", filesRead, byteSum);
  return 0;
}
