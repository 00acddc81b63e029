// Windows implementation of the platform interface. Subdirectories and files
// are opened relative to the handle of their parent directory (NtCreateFile
// with a root directory), and directories are listed through their handle
// (NtQueryDirectoryFile), so no path string grows with the depth of the
// store: neither the 260-character limit of the ANSI calls nor the 32767 of
// "\\?\" paths binds the walk. Names travel as UTF-8, which every name a
// directory can hold survives, so a listed file can always be opened again.
#include "platform/platform.h"

#include <windows.h>
#include <winternl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// winternl.h leaves out the directory listing call.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(
    HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
    PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
    FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
    PUNICODE_STRING fileName, BOOLEAN restartScan);

struct Directory {
  HANDLE handle;
};

struct File {
  HANDLE handle;
};

namespace {

const NTSTATUS NO_MORE_FILES = static_cast<NTSTATUS>(0x80000006);
// What an open fails with when handles or memory ran out.
const NTSTATUS NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
const NTSTATUS NO_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
const NTSTATUS TOO_MANY_OPENED_FILES = static_cast<NTSTATUS>(0xC000011F);
const ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The directory bit of an entry's attributes.
const ULONG DIRECTORY_ATTRIBUTE = 0x10;

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                              nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* text, size_t length) {
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                              nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

// Opens `name` in the directory `root`; null on failure, told through
// `failure` when given. `options` tells directories from files.
HANDLE OpenRelative(HANDLE root, const std::string& name, ACCESS_MASK access,
                    ULONG options, OpenFailure* failure = nullptr, ULONG share = SHARE_ALL) {
  std::wstring wide = Widen(name);
  if (wide.empty() || wide.size() > 32767) return nullptr;
  UNICODE_STRING objectName;
  objectName.Buffer = wide.data();
  objectName.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root,
                             nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK status;
  NTSTATUS result =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                   share, FILE_OPEN, options | FILE_SYNCHRONOUS_IO_NONALERT,
                   nullptr, 0);
  if (result >= 0) return handle;
  if (failure != nullptr)
    *failure = result == NO_RESOURCES || result == TOO_MANY_OPENED_FILES || result == NO_MEMORY
                   ? OpenFailure::NO_HANDLES
                   : OpenFailure::REFUSED;
  return nullptr;
}

Directory* OpenDirectoryIn(HANDLE root, const std::string& name, OpenFailure* failure) {
  HANDLE handle = OpenRelative(root, name, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                               FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, failure);
  return handle == nullptr ? nullptr : new Directory{handle};
}

struct Entry {
  std::string name;
  bool isDirectory;
};

// Every entry of `dir` but "." and "..", in the order the file system lists
// them; empty when the directory cannot be listed.
std::vector<Entry> ReadEntries(Directory* dir) {
  std::vector<Entry> entries;
  std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the records
  BOOLEAN restart = TRUE;
  for (;;) {
    IO_STATUS_BLOCK status;
    NTSTATUS result = NtQueryDirectoryFile(
        dir->handle, nullptr, nullptr, nullptr, &status, buffer.data(),
        static_cast<ULONG>(buffer.size() * sizeof(LONGLONG)), FileDirectoryInformation,
        FALSE, nullptr, restart);
    restart = FALSE;
    if (result == NO_MORE_FILES || result < 0) break;
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      auto info = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(at);
      std::string name = Narrow(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != "." && name != "..")
        entries.push_back({name, (info->FileAttributes & DIRECTORY_ATTRIBUTE) != 0});
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
  return entries;
}

// Sets `linked` when a write through this handle would change the file
// under another name too: a reparse point (a symbolic link, opened itself),
// or a file with several names. False when that cannot be told.
bool ReadLinked(HANDLE handle, bool& linked) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  linked = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
           info.nNumberOfLinks > 1;
  return true;
}

// True when a handle opened with FILE_OPEN_REPARSE_POINT is known to be no
// reparse point: what it reads is the file's own data.
bool IsPlainFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

std::string GetWorkingDirectory() {
  DWORD size = GetFullPathNameW(L".", 0, nullptr, nullptr);
  std::vector<wchar_t> buffer(size + 1);
  DWORD length = GetFullPathNameW(L".", size + 1, buffer.data(), nullptr);
  if (length == 0 || length > size) return ".";
  return Narrow(buffer.data(), length);
}

void PreparePlatform() {
  // A drive without its medium must fail the open, not stop for a dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// Windows sets no per-process limit that a walk could reach.
size_t CountHandlesLeft() { return static_cast<size_t>(1) << 24; }

uint64_t GetHandleLimit() { return 0; }

// Through the C library's stream, which turns each line end into CR LF as
// Windows programs write them.
bool WriteStandardOutput(const char* data, size_t size, std::string& cause) {
  errno = 0;
  if (fwrite(data, 1, size, stdout) == size && fflush(stdout) == 0) return true;
  cause = strerror(errno != 0 ? errno : EIO);
  clearerr(stdout);
  return false;
}

bool IsTerminal(StandardStream stream) {
  HANDLE handle = GetStdHandle(stream == StandardStream::OUTPUT_STREAM ? STD_OUTPUT_HANDLE
                                                                       : STD_ERROR_HANDLE);
  DWORD mode;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
         GetConsoleMode(handle, &mode) != 0;
}

Directory* OpenDirectory(const std::string& path, OpenFailure* failure) {
  std::wstring wide = Widen(path);
  HANDLE handle = CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE, SHARE_ALL,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // A root that may be searched but not listed: its listing is empty, but
  // the counter can still be opened by its name.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    handle = CreateFileW(wide.c_str(), FILE_TRAVERSE, SHARE_ALL, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (failure != nullptr)
      *failure = error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY ||
                         error == ERROR_NO_SYSTEM_RESOURCES
                     ? OpenFailure::NO_HANDLES
                     : OpenFailure::REFUSED;
    return nullptr;
  }
  return new Directory{handle};
}

Directory* OpenSubdirectory(Directory* parent, const std::string& name,
                            OpenFailure* failure) {
  return OpenDirectoryIn(parent->handle, name, failure);
}

// On NTFS the high 16 bits of the file index are a sequence number that
// changes each time a record is used again: a directory made during the run
// in the record of one deleted earlier gets another index, so no time of
// birth is needed to tell the two apart.
std::optional<DirectoryId> GetDirectoryId(Directory* dir) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(dir->handle, &info)) return std::nullopt;
  return DirectoryId{info.dwVolumeSerialNumber,
                     (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

namespace {

// The lock a fix took: the object lives while a handle to it is open, so
// it goes with the process however that ends.
HANDLE storeLock = nullptr;

// The store among kernel objects, by its root's identity: every path to
// one store (a drive letter, a UNC path, a junction) names one object.
std::wstring NameStoreLock(const DirectoryId& id) {
  return L"MailTally-fix-" + std::to_wstring(id.volume) + L"-" + std::to_wstring(id.node);
}

// A mutex that already exists is held by another fix; one made by another
// account may not be opened at all, which says the same.
StoreLock CreateStoreLock(const std::wstring& name) {
  HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
  DWORD error = GetLastError();
  if (lock != nullptr && error != ERROR_ALREADY_EXISTS) {
    storeLock = lock;
    return StoreLock::TAKEN;
  }
  if (lock != nullptr) CloseHandle(lock);
  return lock != nullptr || error == ERROR_ACCESS_DENIED ? StoreLock::HELD_BY_ANOTHER
                                                         : StoreLock::UNAVAILABLE;
}

}  // namespace

// Global\, not Local\: a fix started by a scheduled task (session 0) and
// one started at a remote desktop (a session of its own) must meet, and
// Local\ names are seen in one session only. Where Global\ is refused (a
// process kept from it, such as one in an app container), Local\ still
// keeps the fixes of one session apart.
StoreLock LockStoreForFix(Directory* root) {
  std::optional<DirectoryId> id = GetDirectoryId(root);
  if (!id) return StoreLock::UNAVAILABLE;
  const std::wstring name = NameStoreLock(*id);
  StoreLock lock = CreateStoreLock(L"Global\\" + name);
  return lock == StoreLock::UNAVAILABLE ? CreateStoreLock(L"Local\\" + name) : lock;
}

void CloseDirectory(Directory* dir) {
  CloseHandle(dir->handle);
  delete dir;
}

// Kept in the file system's own order: NTFS lists names sorted without
// regard to letter case, the order the POSIX build sorts into.
void ListDirectory(Directory* dir, bool withMessageFiles,
                   DirectoryListing& listing) {
  listing.messageFiles.clear();
  listing.subdirectories.clear();
  for (Entry& entry : ReadEntries(dir)) {
    if (entry.isDirectory)
      listing.subdirectories.push_back(std::move(entry.name));
    else if (withMessageFiles && IsMessageFileName(entry.name))
      listing.messageFiles.push_back(std::move(entry.name));
  }
}

// The file system does not tell letter case apart; the listing decides
// which name is found when it holds several that differ only in case (as a
// share from another system can), the same way the POSIX build does.
bool FindFileIgnoringCase(Directory* dir, const std::string& name,
                          std::string& found) {
  bool any = false;
  for (const Entry& entry : ReadEntries(dir)) {
    if (entry.name == name) {
      found = name;
      return !entry.isDirectory;
    }
    if (!any && !entry.isDirectory && EqualsIgnoringCase(entry.name, name)) {
      found = entry.name;
      any = true;
    }
  }
  if (any) return true;
  // Not listed: the directory may be one that can be searched but not
  // listed, where a file is still opened by its name.
  HANDLE handle = OpenRelative(dir->handle, name, FILE_READ_ATTRIBUTES, FILE_NON_DIRECTORY_FILE);
  if (handle == nullptr) return false;
  CloseHandle(handle);
  found = name;
  return true;
}

// Windows mounts a volume only on a directory, as a reparse point: a
// message file is never a mount point, and needs no check beyond that.
bool IsLinkedFile(Directory* dir, const std::string& name) {
  HANDLE handle = OpenRelative(dir->handle, name, FILE_READ_ATTRIBUTES,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (handle == nullptr) return false;
  bool linked = false;
  bool known = ReadLinked(handle, linked);
  CloseHandle(handle);
  return known && linked;
}

File* OpenFile(Directory* dir, const std::string& name, FileAccess access,
               OpenFailure* failure) {
  bool unlinked = access == FileAccess::UPDATE_UNLINKED;
  bool noFollow = access == FileAccess::READ_NO_FOLLOW;
  bool update = unlinked || access == FileAccess::UPDATE;
  ACCESS_MASK rights = GENERIC_READ | (update ? GENERIC_WRITE : 0);
  // A reparse point is opened itself, not followed, so that it can be refused.
  ULONG options =
      FILE_NON_DIRECTORY_FILE | (unlinked || noFollow ? FILE_OPEN_REPARSE_POINT : 0);
  ULONG share = access == FileAccess::UPDATE ? FILE_SHARE_READ : SHARE_ALL;
  HANDLE handle = OpenRelative(dir->handle, name, rights, options, failure, share);
  if (handle == nullptr) return nullptr;
  // A device or pipe is never read; a linked file, where refused, may have
  // been linked since it was examined.
  bool linked = false;
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      (unlinked && (!ReadLinked(handle, linked) || linked)) ||
      (noFollow && !IsPlainFile(handle))) {
    CloseHandle(handle);
    return nullptr;
  }
  return new File{handle};
}

long ReadFileAt(File* file, uint64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD n = 0;
    if (!ReadFile(file->handle, static_cast<char*>(buffer) + done,
                  static_cast<DWORD>(size - done), &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return static_cast<long>(done);
}

bool WriteFileAt(File* file, uint64_t offset, const void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD n = 0;
    if (!WriteFile(file->handle, static_cast<const char*>(data) + done,
                   static_cast<DWORD>(size - done), &n, &at) ||
        n == 0)
      return false;
    done += n;
  }
  return true;
}

bool CloseFile(File* file) {
  bool ok = CloseHandle(file->handle) != 0;
  delete file;
  return ok;
}

namespace {

std::string DescribeError(DWORD error) {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  return n > 0 ? std::string(text, n) : "error " + std::to_string(error);
}

std::string syncFailure;  // the first failure to flush a written file

}  // namespace

bool SyncFile(File* file, std::string& cause) {
  if (FlushFileBuffers(file->handle)) return true;
  cause = DescribeError(GetLastError());
  return false;
}

// Windows has no cheaper flush of a whole volume for an unprivileged
// process: each file is flushed as it is written.
void SyncFileLater(File* file) {
  std::string cause;
  if (!SyncFile(file, cause) && syncFailure.empty()) syncFailure = cause;
}

bool SyncWrittenFiles(std::string& cause) {
  cause = syncFailure;
  return syncFailure.empty();
}
