/* The reference the benchmark measures mailtally against: the least a walk
 * of the store can do. One readdir pass per directory, and for each message
 * file below the root openat + one pread of 24 bytes + close, relative to
 * the open directory. No sorting, no index, no report: it prints the count
 * of files read and the sum of their first bytes, so nothing is optimised
 * away. Started in the store root, like mailtally.
 *
 *   c_loop             one thread, each file read as its directory is listed
 *   c_loop THREADS     the parallel reference: THREADS threads take the
 *                      work from one queue, directories to list and chunks
 *                      of up to 64 files to read, opening each directory by
 *                      its path from the root. On a cold cache this is what
 *                      storage gives with that many requests in flight,
 *                      for many small directories as for one large one.
 *
 * Either holds few handles (the sequential loop one a level of depth, a
 * thread at most two), and it never reads part of a store silently: a
 * directory or file it cannot open is counted, named on standard error
 * with the cause, and the status is 1. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

enum { CHUNK_FILES = 64 };

static int rootFd;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t workCame = PTHREAD_COND_INITIALIZER;
static long filesRead, failures;
static unsigned long byteSum;

/* Work of the parallel reference: a directory to list (names == NULL) or a
 * chunk of its message files to read. */
struct Work {
  char* path;
  char** names;
  int count;
  struct Work* next;
};
static struct Work* queue;
static int busy;

static void Fail(const char* what, const char* path, const char* name) {
  int error = errno;
  pthread_mutex_lock(&lock);
  /* The first few are named; the count tells the rest. */
  if (++failures <= 10)
    fprintf(stderr, "c_loop: cannot open %s %s%s%s (%s)\n", what, path, name ? "/" : "",
          name ? name : "", strerror(error));
  pthread_mutex_unlock(&lock);
}

static int IsMessageFile(const char* name) {
  size_t length = strlen(name);
  return length >= 5 && (name[0] == 'I' || name[0] == 'i') &&
         strcasecmp(name + length - 4, ".DAT") == 0;
}

/* DT_DIR, DT_REG, or another type; asks the file system when readdir does
 * not tell. */
static int TypeOf(int dirFd, const struct dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type;
  struct stat st;
  if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

/* Adds the sum of the file's first 24 bytes to *sum and counts it. */
static void ReadHead(int dirFd, const char* path, const char* name, long* count,
                     unsigned long* sum) {
  unsigned char head[24];
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail("file", path, name);
    return;
  }
  ssize_t n = pread(fd, head, sizeof head, 0);
  for (ssize_t i = 0; i < n; ++i) *sum += head[i];
  close(fd);
  ++*count;
}

static char* JoinPath(const char* path, const char* name) {
  char* joined = malloc(strlen(path) + strlen(name) + 2);
  if (joined == NULL) abort();
  sprintf(joined, "%s/%s", path, name);
  return joined;
}

/* The sequential loop: one handle for each level it is in. */
static void Walk(int dirFd, const char* path, int depth) {
  DIR* dir = fdopendir(dirFd);
  if (dir == NULL) {
    Fail("directory", path, NULL);
    close(dirFd);
    return;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    int type = TypeOf(dirFd, entry);
    if (type == DT_DIR) {
      char* childPath = JoinPath(path, name);
      int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (child >= 0)
        Walk(child, childPath, depth + 1);
      else
        Fail("directory", childPath, NULL);
      free(childPath);
    } else if (depth > 0 && type == DT_REG && IsMessageFile(name)) {
      ReadHead(dirFd, path, name, &filesRead, &byteSum);
    }
  }
  closedir(dir);
}

static void Push(char* path, char** names, int count) {
  struct Work* work = malloc(sizeof *work);
  if (work == NULL) abort();
  *work = (struct Work){path, names, count, NULL};
  pthread_mutex_lock(&lock);
  work->next = queue;
  queue = work;
  pthread_cond_signal(&workCame);
  pthread_mutex_unlock(&lock);
}

/* Lists a directory: its subdirectories and chunks of its files become work. */
static void ListWork(int dirFd, const char* path, int depth) {
  DIR* dir = fdopendir(dirFd);
  if (dir == NULL) {
    Fail("directory", path, NULL);
    close(dirFd);
    return;
  }
  char** names = NULL;
  int count = 0;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    int type = TypeOf(dirFd, entry);
    if (type == DT_DIR) {
      Push(JoinPath(path, name), NULL, 0);
    } else if (depth > 0 && type == DT_REG && IsMessageFile(name)) {
      if (names == NULL && (names = malloc(CHUNK_FILES * sizeof *names)) == NULL) abort();
      names[count++] = strdup(name);
      if (count == CHUNK_FILES) {
        Push(strdup(path), names, count);
        names = NULL;
        count = 0;
      }
    }
  }
  closedir(dir);
  if (count > 0) Push(strdup(path), names, count);
}

static void DoWork(struct Work* work, long* count, unsigned long* sum) {
  int depth = 0;
  for (const char* c = work->path; *c; ++c) depth += *c == '/';
  int dirFd = openat(rootFd, work->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    Fail("directory", work->path, NULL);
  } else if (work->names == NULL) {
    ListWork(dirFd, work->path, depth);
  } else {
    for (int i = 0; i < work->count; ++i) ReadHead(dirFd, work->path, work->names[i], count, sum);
    close(dirFd);
  }
  for (int i = 0; i < work->count; ++i) free(work->names[i]);
  free(work->names);
  free(work->path);
  free(work);
}

static void* RunWorker(void* unused) {
  (void)unused;
  long count = 0;
  unsigned long sum = 0;
  pthread_mutex_lock(&lock);
  for (;;) {
    while (queue == NULL && busy > 0) pthread_cond_wait(&workCame, &lock);
    if (queue == NULL) break;
    struct Work* work = queue;
    queue = work->next;
    ++busy;
    pthread_mutex_unlock(&lock);
    DoWork(work, &count, &sum);
    pthread_mutex_lock(&lock);
    if (--busy == 0 && queue == NULL) pthread_cond_broadcast(&workCame);
  }
  filesRead += count;
  byteSum += sum;
  pthread_mutex_unlock(&lock);
  return NULL;
}

static int RunInParallel(int threads) {
  pthread_t* ids = calloc((size_t)threads, sizeof *ids);
  if (ids == NULL) return 0;
  Push(strdup("."), NULL, 0);
  int started = 0;
  while (started < threads && pthread_create(&ids[started], NULL, RunWorker, NULL) == 0)
    ++started;
  for (int i = 0; i < started; ++i) pthread_join(ids[i], NULL);
  free(ids);
  return started > 0;
}

int main(int argc, char** argv) {
  int threads = argc > 1 ? atoi(argv[1]) : 0;
  if (argc > 2 || (argc > 1 && threads < 1)) {
    fprintf(stderr, "usage: c_loop [THREADS]\n");
    return 2;
  }
  /* A thread holds at most a directory and a file: the limit must allow
   * that, beside the root and the standard streams. */
  struct rlimit limit;
  if (threads > 0 && getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 2 * (rlim_t)threads + 8) {
      fprintf(stderr, "c_loop: %d threads need %d open files, the limit is %lu\n", threads,
              2 * threads + 8, (unsigned long)limit.rlim_cur);
      return 1;
    }
  }
  rootFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    Fail("directory", ".", NULL);
    return 1;
  }
  if (threads > 0) {
    if (!RunInParallel(threads)) {
      fprintf(stderr, "c_loop: no thread could be started\n");
      return 1;
    }
  } else {
    Walk(dup(rootFd), ".", 0);
  }
  printf("%ld files, byte sum %lu\n", filesRead, byteSum);
  if (failures > 0) {
    fprintf(stderr, "c_loop: %ld files or directories could not be opened; the count is short\n",
            failures);
    return 1;
  }
  return 0;
}
