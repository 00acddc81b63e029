// Preloaded into a run of the tool (LD_PRELOAD) by the tests, to make one
// system call fail the way a failing disk, a full handle table or a file
// system that refuses a call would. The tool has no hook for this: the
// fault comes from outside, where a real one would.
//
// MAILTALLY_FAIL_CALLS names the faults, separated by commas; a fault that
// takes a value is written NAME=VALUE:
//   fdatasync           every fdatasync fails with EIO
//   syncfs              every syncfs fails with EIO
//   main-dat-open       every open of a message file (a name ending in
//                       ".DAT", in any case) on the process's main thread
//                       fails with EMFILE, as when the handles run out
//   helper-dat-open     the same on every other thread: a read-ahead
//                       helper's opens fail, the walk's go through
//   directory-id=NAME   reading the identity of a directory named NAME
//                       (its last path part) fails with EIO: statx and fstat
//                       on the directory's own handle
//   listing=NAME        the listing of a directory named NAME fails with EIO
//                       where it would have ended: every entry is given
//                       first, so the report is the same from run to run,
//                       and the tool cannot tell it from a failure partway
// So that a test can tell a fault was met at all, the first one met creates
// the file named by MAILTALLY_FAIL_CALLS_MARK, when set.
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using Open = int (*)(const char*, int, ...);
using OpenAt = int (*)(int, const char*, int, ...);

// The value of fault `name`: "" for one given without a value; false when
// it is not asked for.
bool Asked(const char* name, std::string* value = nullptr) {
  const char* list = getenv("MAILTALLY_FAIL_CALLS");
  if (list == nullptr) return false;
  const size_t length = strlen(name);
  for (const char* at = list; *at != '\0';) {
    const char* end = strchr(at, ',');
    if (end == nullptr) end = at + strlen(at);
    if (strncmp(at, name, length) == 0 && (at + length == end || at[length] == '=')) {
      if (value != nullptr)
        value->assign(at + length == end ? end : at + length + 1, end);
      return true;
    }
    at = *end == ',' ? end + 1 : end;
  }
  return false;
}

// Marks that a fault was met, and fails the call with `error`.
int Fail(int error) {
  static std::atomic<bool> marked{false};
  const char* mark = getenv("MAILTALLY_FAIL_CALLS_MARK");
  if (mark != nullptr && !marked.exchange(true)) {
    static const Open next = Next<Open>("open");
    int fd = next(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
  }
  errno = error;
  return -1;
}

bool OnMainThread() { return syscall(SYS_gettid) == getpid(); }

bool IsMessageFile(const char* path) {
  size_t length = path != nullptr ? strlen(path) : 0;
  return length >= 4 && strcasecmp(path + length - 4, ".dat") == 0;
}

bool FailsOpen(const char* path) {
  return IsMessageFile(path) && Asked(OnMainThread() ? "main-dat-open" : "helper-dat-open");
}

// Whether the open handle `fd` is a directory whose last path part is the
// value of fault `name`.
bool IsNamedDirectory(int fd, const char* name) {
  std::string wanted;
  if (!Asked(name, &wanted) || wanted.empty()) return false;
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  const char* last = strrchr(path, '/');
  return last != nullptr && wanted == last + 1;
}

mode_t ModeOf(int flags, va_list args) {
  bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return creates ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// readdir's end of a listing, which it tells from a failure by leaving
// errno as it was.
template <typename Entry>
Entry* EndListing(DIR* stream, int errorBefore) {
  const int error = errno;
  if (error == errorBefore && IsNamedDirectory(dirfd(stream), "listing")) {
    Fail(EIO);
    return nullptr;
  }
  errno = error;
  return nullptr;
}

}  // namespace

extern "C" {

int fdatasync(int fd) {
  if (Asked("fdatasync")) return Fail(EIO);
  static const auto next = Next<int (*)(int)>("fdatasync");
  return next(fd);
}

int syncfs(int fd) {
  if (Asked("syncfs")) return Fail(EIO);
  static const auto next = Next<int (*)(int)>("syncfs");
  return next(fd);
}

int statx(int dir, const char* path, int flags, unsigned mask, struct statx* st) {
  if (*path == '\0' && (flags & AT_EMPTY_PATH) != 0 &&
      IsNamedDirectory(dir, "directory-id"))
    return Fail(EIO);
  static const auto next =
      Next<int (*)(int, const char*, int, unsigned, struct statx*)>("statx");
  return next(dir, path, flags, mask, st);
}

int fstat(int fd, struct stat* st) {
  if (IsNamedDirectory(fd, "directory-id")) return Fail(EIO);
  static const auto next = Next<int (*)(int, struct stat*)>("fstat");
  return next(fd, st);
}

int fstatat(int dir, const char* path, struct stat* st, int flags) {
  if (*path == '\0' && (flags & AT_EMPTY_PATH) != 0 &&
      IsNamedDirectory(dir, "directory-id"))
    return Fail(EIO);
  static const auto next = Next<int (*)(int, const char*, struct stat*, int)>("fstatat");
  return next(dir, path, st, flags);
}

struct dirent* readdir(DIR* stream) {
  static const auto next = Next<struct dirent* (*)(DIR*)>("readdir");
  int errorBefore = errno;
  struct dirent* entry = next(stream);
  return entry != nullptr ? entry : EndListing<struct dirent>(stream, errorBefore);
}

struct dirent64* readdir64(DIR* stream) {
  static const auto next = Next<struct dirent64* (*)(DIR*)>("readdir64");
  int errorBefore = errno;
  struct dirent64* entry = next(stream);
  return entry != nullptr ? entry : EndListing<struct dirent64>(stream, errorBefore);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsOpen(path)) return Fail(EMFILE);
  static const Open next = Next<Open>("open");
  return next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsOpen(path)) return Fail(EMFILE);
  static const Open next = Next<Open>("open64");
  return next(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsOpen(path)) return Fail(EMFILE);
  static const OpenAt next = Next<OpenAt>("openat");
  return next(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsOpen(path)) return Fail(EMFILE);
  static const OpenAt next = Next<OpenAt>("openat64");
  return next(dir, path, flags, mode);
}

int __openat_2(int dir, const char* path, int flags) {
  if (FailsOpen(path)) return Fail(EMFILE);
  static const auto next = Next<int (*)(int, const char*, int)>("__openat_2");
  return next(dir, path, flags);
}

int __open_2(const char* path, int flags) {
  if (FailsOpen(path)) return Fail(EMFILE);
  static const auto next = Next<int (*)(const char*, int)>("__open_2");
  return next(path, flags);
}

}  // extern "C"
