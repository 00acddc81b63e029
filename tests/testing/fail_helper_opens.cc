// Preloaded into a run of the tool (LD_PRELOAD) by the tests: every open of
// a message file (a name ending in ".DAT", in any case) made on a thread
// other than the process's main thread fails with EMFILE, as a read-ahead
// helper's open does when the handles run out. The walk's own opens, on the
// main thread, and every directory open go through, so the run can finish
// and its report and bytes can be compared with those of the plain walk.
// The tool itself has no hook for this: the fault comes from outside, where
// a real one would. So that a test can tell the fault was met at all, the
// first refusal creates the file named by REFUSED_OPENS_MARK, when set.
#include <atomic>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool FailsHere(const char* path) {
  size_t length = path != nullptr ? strlen(path) : 0;
  if (length < 4 || strcasecmp(path + length - 4, ".dat") != 0) return false;
  return syscall(SYS_gettid) != getpid();
}

// The mode argument, which the caller passes only when the file may be
// created.
mode_t ModeOf(int flags, va_list args) {
  bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return creates ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

using OpenAt = int (*)(int, const char*, int, ...);
using Open = int (*)(const char*, int, ...);

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int Refuse() {
  static std::atomic<bool> marked{false};
  const char* mark = getenv("REFUSED_OPENS_MARK");
  if (mark != nullptr && !marked.exchange(true)) {
    static const Open next = Next<Open>("open");
    int fd = next(mark, O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) close(fd);
  }
  errno = EMFILE;
  return -1;
}

}  // namespace

// Every name glibc may route an open through, the fortified ones (taking
// no mode) included.
extern "C" {

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsHere(path)) return Refuse();
  static const OpenAt next = Next<OpenAt>("openat");
  return next(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsHere(path)) return Refuse();
  static const OpenAt next = Next<OpenAt>("openat64");
  return next(dir, path, flags, mode);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsHere(path)) return Refuse();
  static const Open next = Next<Open>("open");
  return next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (FailsHere(path)) return Refuse();
  static const Open next = Next<Open>("open64");
  return next(path, flags, mode);
}

int __openat_2(int dir, const char* path, int flags) {
  if (FailsHere(path)) return Refuse();
  static const auto next = Next<int (*)(int, const char*, int)>("__openat_2");
  return next(dir, path, flags);
}

int __open_2(const char* path, int flags) {
  if (FailsHere(path)) return Refuse();
  static const auto next = Next<int (*)(const char*, int)>("__open_2");
  return next(path, flags);
}

}  // extern "C"
