// POSIX implementation of the platform interface: directory handles with
// openat(), one readdir() pass per directory, unbuffered file access.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>

struct Directory {
  DIR* stream;  // null for a directory that can be searched, not listed
  int fd;
  bool read = false;  // a fresh stream starts at its first entry already
};

struct File {
  int fd;
};

namespace {

const int OPEN_FLAGS = O_CLOEXEC | O_NOCTTY;

// Opens a directory for the lookup of names in it only, which needs no read
// permission on it.
#if defined(O_PATH)
const int SEARCH_ONLY = O_PATH;
#elif defined(O_SEARCH)
const int SEARCH_ONLY = O_SEARCH;
#else
const int SEARCH_ONLY = O_RDONLY;
#endif

// What tells whether a write through a name reaches a file that other
// paths lead to as well.
const unsigned LINK_FIELDS = STATX_TYPE | STATX_NLINK | STATX_MNT_ID;

// statx, or where a sandbox refuses it, fstatat, which tells the basic
// fields only: no time of birth, no mount. False on failure.
bool StatAt(int fd, const char* name, int flags, unsigned fields, struct statx& st) {
  if (statx(fd, name, flags, fields, &st) == 0) return true;
  struct stat old;
  if ((errno != EPERM && errno != ENOSYS) || fstatat(fd, name, &old, flags) != 0) return false;
  st = {};
  st.stx_mask = STATX_BASIC_STATS;
  st.stx_mode = static_cast<uint16_t>(old.st_mode);
  st.stx_nlink = static_cast<uint32_t>(old.st_nlink);
  st.stx_ino = old.st_ino;
  st.stx_dev_major = major(old.st_dev);
  st.stx_dev_minor = minor(old.st_dev);
  return true;
}

// Sets `linked` when `file`, reached by a name in the directory `dirFd`,
// is a symbolic link, has several names, or is a mount point: a file bind-
// mounted over the name is on another mount than its directory (its mount,
// where the kernel tells it; else its device, which tells only a file from
// another file system). False when that cannot be told.
// Whether `file` lies on another mount than its directory `dirFd`: a file
// bind-mounted over a name, whose bytes are another file's.
bool ReadOtherMount(int dirFd, const struct statx& file, bool& otherMount) {
  struct statx dir;
  if (!StatAt(dirFd, "", AT_EMPTY_PATH, STATX_MNT_ID, dir)) return false;
  otherMount = (file.stx_mask & dir.stx_mask & STATX_MNT_ID) != 0
                   ? file.stx_mnt_id != dir.stx_mnt_id
                   : file.stx_dev_major != dir.stx_dev_major ||
                         file.stx_dev_minor != dir.stx_dev_minor;
  return true;
}

bool ReadLinked(int dirFd, const struct statx& file, bool& linked) {
  bool otherMount = false;
  if (!ReadOtherMount(dirFd, file, otherMount)) return false;
  linked = S_ISLNK(file.stx_mode) || file.stx_nlink > 1 || otherMount;
  return true;
}

// Letters a-z fold to A-Z; ties fall back to the raw bytes, so the order is
// total and the same on every file system.
bool ListsBefore(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = a[i], cb = b[i];
    if (ca >= 'a' && ca <= 'z') ca -= 'a' - 'A';
    if (cb >= 'a' && cb <= 'z') cb -= 'a' - 'A';
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

enum class EntryKind { FILE, DIRECTORY, OTHER };

// The file type comes from the listing where the file system gives it; only
// links and unknown types cost a stat. A link whose target is missing counts
// as a file, which then cannot be opened.
EntryKind KindOf(int dirFd, const dirent* entry) {
  switch (entry->d_type) {
    case DT_REG:
      return EntryKind::FILE;
    case DT_DIR:
      return EntryKind::DIRECTORY;
    case DT_LNK:
    case DT_UNKNOWN:
      break;
    default:
      return EntryKind::OTHER;
  }
  struct stat st;
  if (fstatat(dirFd, entry->d_name, &st, 0) != 0)
    return entry->d_type == DT_LNK ? EntryKind::FILE : EntryKind::OTHER;
  if (S_ISDIR(st.st_mode)) return EntryKind::DIRECTORY;
  if (S_ISREG(st.st_mode)) return EntryKind::FILE;
  return EntryKind::OTHER;
}

OpenFailure FailureOf(int error) {
  if (error == EMFILE || error == ENFILE || error == ENOMEM) return OpenFailure::NO_HANDLES;
  if (error == ENOENT || error == ENOTDIR) return OpenFailure::GONE;
  return OpenFailure::REFUSED;
}

// Why the open of the file `name` in `dirFd` failed with `error`: a name
// still there is a symbolic link to nothing, not gone; so is one of a loop
// of links, when links were followed.
OpenFailure FileFailureOf(int dirFd, const char* name, int error, bool followed) {
  if (error == ELOOP && followed) return OpenFailure::NO_TARGET;
  OpenFailure failure = FailureOf(error);
  struct stat st;
  if (failure != OpenFailure::GONE || fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return failure;
  return S_ISLNK(st.st_mode) ? OpenFailure::NO_TARGET : OpenFailure::REFUSED;
}

Directory* WrapDirectory(int fd, OpenFailure* failure = nullptr) {
  DIR* stream = fd < 0 ? nullptr : fdopendir(fd);
  if (stream != nullptr) return new Directory{stream, fd, false};
  if (failure != nullptr) *failure = FailureOf(errno);
  if (fd >= 0) close(fd);
  return nullptr;
}

// Starts a pass over the entries of `dir`; a fresh stream is at its first
// entry already and needs no rewinding, which costs a system call. False
// when the directory cannot be listed.
bool RewindListing(Directory* dir) {
  if (dir->stream == nullptr) return false;
  if (dir->read) rewinddir(dir->stream);
  dir->read = true;
  return true;
}

// Started with standard output closed, the process would hand out its
// number to the next file it opens, and the report would be written into
// that file: a closed stream is taken by /dev/null opened for reading only,
// so that writes to it fail as they would have.
void KeepStandardStreamsTaken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int taken = open("/dev/null", O_RDONLY | O_NOCTTY);
    if (taken >= 0 && taken != fd) close(taken);
  }
}

}  // namespace

std::string GetWorkingDirectory() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

void PreparePlatform() {
  // A report that cannot be written stops the run with a message, the same
  // way whether the output is a full disk or a pipe whose reader has gone,
  // and on every platform: the write fails with EPIPE instead of the
  // process dying of SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  KeepStandardStreamsTaken();
  // Every level of the walk holds its directory open; a deep store needs
  // more handles than the usual soft limit of 1024.
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

size_t CountHandlesLeft() {
  uint64_t limit = GetHandleLimit();
  if (limit == 0 || limit > SIZE_MAX) return SIZE_MAX;
  size_t most = static_cast<size_t>(limit);
  // The handles open now, the listing's own aside; where they cannot be
  // listed, a guess on the safe side. A handle numbered above the limit (a
  // checker such as valgrind keeps its own there) takes none of the numbers
  // the process may still open.
  size_t open = 16;
  if (DIR* fds = opendir("/dev/fd")) {
    open = 0;
    while (const dirent* entry = readdir(fds))
      if (entry->d_name[0] != '.' && strtoull(entry->d_name, nullptr, 10) < most) ++open;
    closedir(fds);
    if (open > 0) --open;
  }
  return most > open ? most - open : 0;
}

uint64_t GetHandleLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<uint64_t>(limit.rlim_cur);
}

bool WriteStandardOutput(const char* data, size_t size, std::string& cause) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    int error = n < 0 ? errno : EIO;
    if (error == EINTR) continue;
    // Some parents hand over a non-blocking pipe. Its flags are shared with
    // them, so they are left as they are: the write waits here instead.
    if (error == EAGAIN || error == EWOULDBLOCK) {
      pollfd out = {STDOUT_FILENO, POLLOUT, 0};
      if (poll(&out, 1, -1) >= 0 || errno == EINTR) continue;
      error = errno;
    }
    cause = strerror(error);
    return false;
  }
  return true;
}

bool IsTerminal(StandardStream stream) {
  return isatty(stream == StandardStream::OUTPUT_STREAM ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

Directory* OpenDirectory(const std::string& path, OpenFailure* failure) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | OPEN_FLAGS);
  if (fd >= 0 || errno != EACCES) return WrapDirectory(fd, failure);
  // A root of mode 711: nothing in it can be listed, but the counter can
  // still be opened by its name.
  fd = open(path.c_str(), SEARCH_ONLY | O_DIRECTORY | OPEN_FLAGS);
  return fd < 0 ? nullptr : new Directory{nullptr, fd, false};
}

Directory* OpenSubdirectory(Directory* parent, const std::string& name,
                            OpenFailure* failure) {
  return WrapDirectory(
      openat(parent->fd, name.c_str(), O_RDONLY | O_DIRECTORY | OPEN_FLAGS), failure);
}

std::optional<DirectoryId> GetDirectoryId(Directory* dir) {
  struct statx st;
  if (!StatAt(dir->fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, st)) return std::nullopt;
  DirectoryId id{makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino};
  if ((st.stx_mask & STATX_BTIME) != 0) {
    id.bornSeconds = st.stx_btime.tv_sec;
    id.bornNanoseconds = st.stx_btime.tv_nsec;
  }
  return id;
}

// flock belongs to the open directory itself: it goes with the root's last
// handle or with the process, and leaves nothing behind in the store.
// EWOULDBLOCK is the only answer that means another holder; a file system
// that cannot lock a directory gives another error (ENOLCK, EBADF), as does
// a root opened for search only (EBADF).
StoreLock LockStoreForFix(Directory* root) {
  if (flock(root->fd, LOCK_EX | LOCK_NB) == 0) return StoreLock::TAKEN;
  return errno == EWOULDBLOCK ? StoreLock::HELD_BY_ANOTHER : StoreLock::UNAVAILABLE;
}

void CloseDirectory(Directory* dir) {
  if (dir->stream != nullptr)
    closedir(dir->stream);
  else
    close(dir->fd);
  delete dir;
}

void ListDirectory(Directory* dir, bool withMessageFiles,
                   DirectoryListing& listing) {
  listing.messageFiles.clear();
  listing.subdirectories = NameList();
  listing.whole = true;
  listing.repeated.clear();
  if (!RewindListing(dir)) return;
  for (;;) {
    // readdir tells its end from a failure partway only through errno.
    errno = 0;
    const dirent* entry = readdir(dir->stream);
    if (entry == nullptr) {
      listing.whole = errno == 0;
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    bool message = withMessageFiles && IsMessageFileName(name);
    if (!message && entry->d_type != DT_DIR && entry->d_type != DT_LNK &&
        entry->d_type != DT_UNKNOWN)
      continue;
    switch (KindOf(dir->fd, entry)) {
      case EntryKind::FILE:
        if (message) listing.messageFiles.emplace_back(name);
        break;
      case EntryKind::DIRECTORY:
        AddName(listing.subdirectories, name);
        break;
      case EntryKind::OTHER:
        break;
    }
  }
  std::sort(listing.messageFiles.begin(), listing.messageFiles.end(),
            ListsBefore);
  SortNames(listing.subdirectories, ListsBefore);
}

bool FindFileIgnoringCase(Directory* dir, const std::string& name,
                          std::string& found) {
  struct stat st;
  if (fstatat(dir->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    found = name;
    return fstatat(dir->fd, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
  }
  std::vector<std::string> candidates;
  if (!RewindListing(dir)) return false;
  while (const dirent* entry = readdir(dir->stream)) {
    if (EqualsIgnoringCase(entry->d_name, name) &&
        fstatat(dir->fd, entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
      candidates.emplace_back(entry->d_name);
  }
  if (candidates.empty()) return false;
  found = *std::min_element(candidates.begin(), candidates.end(), ListsBefore);
  return true;
}

bool IsLinkedFile(Directory* dir, const std::string& name) {
  struct statx st;
  bool linked = false;
  return StatAt(dir->fd, name.c_str(), AT_SYMLINK_NOFOLLOW, LINK_FIELDS, st) &&
         ReadLinked(dir->fd, st, linked) && linked;
}

File* OpenFile(Directory* dir, const std::string& name, FileAccess access,
               OpenFailure* failure) {
  // O_NONBLOCK: should a pipe have taken the file's place since the listing,
  // opening it must not wait for a writer.
  bool update = access == FileAccess::UPDATE || access == FileAccess::UPDATE_UNLINKED;
  int flags = (update ? O_RDWR : O_RDONLY) | O_NONBLOCK | OPEN_FLAGS;
  if (access == FileAccess::READ_NO_FOLLOW || access == FileAccess::UPDATE_UNLINKED)
    flags |= O_NOFOLLOW;
  int fd = openat(dir->fd, name.c_str(), flags);
  if (fd < 0) {
    if (failure != nullptr) *failure = FileFailureOf(dir->fd, name.c_str(), errno, (flags & O_NOFOLLOW) == 0);
    return nullptr;
  }
  // Listed as a regular file, but it may have been replaced, linked or
  // mounted over since: nothing else is ever written to. A read that does
  // not follow links does not read another file's bytes through a mount
  // point either.
  struct statx st;
  bool linked = false, otherMount = false;
  bool refused = access != FileAccess::READ &&
                 (!StatAt(fd, "", AT_EMPTY_PATH, LINK_FIELDS, st) ||
                  (update && !S_ISREG(st.stx_mode)) ||
                  (access == FileAccess::UPDATE_UNLINKED &&
                   (!ReadLinked(dir->fd, st, linked) || linked)) ||
                  (access == FileAccess::READ_NO_FOLLOW &&
                   (!ReadOtherMount(dir->fd, st, otherMount) || otherMount)));
  if (refused) {
    close(fd);
    return nullptr;
  }
  return new File{fd};
}

long ReadFileAt(File* file, uint64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(file->fd, static_cast<char*>(buffer) + done, size - done,
                      static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

bool WriteFileAt(File* file, uint64_t offset, const void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(file->fd, static_cast<const char*>(data) + done,
                       size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool CloseFile(File* file) {
  bool ok = close(file->fd) == 0;
  delete file;
  return ok;
}

bool SyncFile(File* file, std::string& cause) {
  if (fdatasync(file->fd) == 0) return true;
  cause = strerror(errno);
  return false;
}

namespace {

// A handle on the file system of the first file written, flushed as a whole
// at the end; and the first failure to flush.
int writtenFileSystem = -1;
dev_t writtenDevice = 0;
std::string syncFailure;

void NoteSyncFailure(const std::string& cause) {
  if (syncFailure.empty()) syncFailure = cause;
}

#if defined(__linux__)
// File systems whose syncfs returns without their server or daemon being
// asked to flush anything: FUSE (ntfs-3g, exfat-fuse, virtiofs) passes no
// flush of a whole file system to its daemon; CIFS and SMB2 send the server
// their writes but its flush only for a file's fsync; 9p the same.
bool IsFlushedPerFileOnly(int fd) {
  const unsigned long FUSE = 0x65735546, CIFS = 0xFF534D42, SMB2 = 0xFE534D42,
                      V9FS = 0x01021997;
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  const unsigned long type = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL;
  return type == FUSE || type == CIFS || type == SMB2 || type == V9FS;
}
#endif

}  // namespace

// One syncfs costs about what a single fdatasync does, and a fix may write
// thousands of files. Only one file system's handle is kept, so the handles
// the walk may use stay as counted; a file elsewhere, or on a file system
// that syncfs does not reach, is flushed at once.
void SyncFileLater(File* file) {
  std::string cause;
#if defined(__linux__)
  struct stat st;
  if (fstat(file->fd, &st) == 0) {
    if (writtenFileSystem >= 0 && st.st_dev == writtenDevice) return;
    if (writtenFileSystem < 0 && !IsFlushedPerFileOnly(file->fd)) {
      writtenFileSystem = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
      writtenDevice = st.st_dev;
      if (writtenFileSystem >= 0) return;
    }
  }
#endif
  if (!SyncFile(file, cause)) NoteSyncFailure(cause);
}

bool SyncWrittenFiles(std::string& cause) {
#if defined(__linux__)
  if (writtenFileSystem >= 0) {
    // Since Linux 5.8 a write-back error of the file system since the
    // handle was opened shows here, not only a failure of the call.
    if (syncfs(writtenFileSystem) != 0) NoteSyncFailure(strerror(errno));
    close(writtenFileSystem);
    writtenFileSystem = -1;
  }
#endif
  cause = syncFailure;
  return syncFailure.empty();
}
