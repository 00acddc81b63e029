// Windows implementation of the platform interface. Subdirectories and files
// are opened relative to the handle of their parent directory (NtCreateFile
// with a root directory), and directories are listed through their handle
// (NtQueryDirectoryFile), so no path string grows with the depth of the
// store: neither the 260-character limit of the ANSI calls nor the 32767 of
// "\\?\" paths binds the walk. Names travel as WTF-8 (see Narrow), which
// every name a directory can hold survives, unpaired surrogates too, so a
// listed file is always opened again under its own name and no other.
//
// Wine checks neither the access rights of a handle nor letter case as
// Windows does; what the code relies on there is said where it is used, and
// platform_windows_test.cc checks the rights each handle is granted.
#include "platform/platform_windows.h"

#include <winternl.h>

#include <algorithm>
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

HANDLE GetDirectoryHandle(Directory* dir) { return dir->handle; }
HANDLE GetFileHandle(File* file) { return file->handle; }

namespace {

const NTSTATUS NO_MORE_FILES = static_cast<NTSTATUS>(0x80000006);
// What an open fails with when handles or memory ran out.
const NTSTATUS NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
const NTSTATUS NO_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
const NTSTATUS TOO_MANY_OPENED_FILES = static_cast<NTSTATUS>(0xC000011F);
// What an open of a name that leads to nothing (any more) fails with.
const NTSTATUS OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
const NTSTATUS OBJECT_PATH_NOT_FOUND = static_cast<NTSTATUS>(0xC000003A);
// What an open fails with while another holds the file with no sharing.
const NTSTATUS SHARING_VIOLATION = static_cast<NTSTATUS>(0xC0000043);
// A mail server holds a file with no sharing only while it writes it: an
// open refused for that is tried again for about a second.
const int MOST_SHARED_OPEN_TRIES = 20;
const DWORD SHARED_OPEN_PAUSE_MS = 50;
const ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The directory bit of an entry's attributes.
const ULONG DIRECTORY_ATTRIBUTE = 0x10;
// What every directory handle is asked of: its listing (NtQueryDirectoryFile),
// opens below it, and its identity (GetDirectoryId reads it through
// GetFileInformationByHandleEx, which Windows refuses without
// FILE_READ_ATTRIBUTES). Any caller that may list a directory is granted
// FILE_READ_ATTRIBUTES on each of its entries, so asking for it refuses no
// directory the walk could list its way to.
const ACCESS_MASK DIRECTORY_RIGHTS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

void AppendUtf8(std::string& text, uint32_t c) {
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (c >> 18));
    text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code point of the WTF-8 sequence at the start of `text` and its
// length in bytes; 0 when it starts with no whole, shortest sequence.
size_t DecodeWtf8(std::string_view text, uint32_t& c) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t length = byte(0) < 0x80 ? 1 : byte(0) < 0xC2 ? 0 : byte(0) < 0xE0 ? 2
                : byte(0) < 0xF0 ? 3 : byte(0) < 0xF5 ? 4 : 0;
  if (length == 0 || length > text.size()) return 0;
  c = length == 1 ? byte(0) : byte(0) & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  return c < least[length] || c > 0x10FFFF ? 0 : length;
}

OpenFailure FailureOfStatus(NTSTATUS result) {
  if (result == NO_RESOURCES || result == TOO_MANY_OPENED_FILES || result == NO_MEMORY)
    return OpenFailure::NO_HANDLES;
  if (result == OBJECT_NAME_NOT_FOUND || result == OBJECT_PATH_NOT_FOUND)
    return OpenFailure::GONE;
  return OpenFailure::REFUSED;
}

// Opens `name` in the directory `root`; null on failure, told through
// `failure` when given, with the system's status in `statusOut` when given.
// `options` tells directories from files. A name
// from a listing is opened with its exact letter case (`nameAttributes` 0):
// in a directory that tells case apart, a case-insensitive open of
// "I1.DAT" may give "i1.dat", another file. Only a name that is looked up
// rather than listed asks for OBJ_CASE_INSENSITIVE. (Wine opens without
// regard to case whatever is asked, so its tests cannot tell the two.)
HANDLE OpenRelative(HANDLE root, const std::string& name, ACCESS_MASK access,
                    ULONG options, OpenFailure* failure = nullptr, ULONG share = SHARE_ALL,
                    ULONG nameAttributes = 0, NTSTATUS* statusOut = nullptr) {
  std::wstring wide = Widen(name);
  if (wide.empty() || wide.size() > 32767) return nullptr;
  UNICODE_STRING objectName;
  objectName.Buffer = wide.data();
  objectName.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, nameAttributes, root, nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK status;
  NTSTATUS result =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                   share, FILE_OPEN, options | FILE_SYNCHRONOUS_IO_NONALERT,
                   nullptr, 0);
  if (result >= 0) return handle;
  if (failure != nullptr) *failure = FailureOfStatus(result);
  if (statusOut != nullptr) *statusOut = result;
  return nullptr;
}

// OpenRelative for a message file or the counter, which a server may hold
// with no sharing for a moment while it writes it.
HANDLE OpenSharedFile(HANDLE root, const std::string& name, ACCESS_MASK access,
                      ULONG options, OpenFailure* failure, ULONG share) {
  for (int tries = 1;; ++tries) {
    NTSTATUS result = 0;
    HANDLE handle = OpenRelative(root, name, access, options, failure, share, 0, &result);
    if (handle != nullptr || result != SHARING_VIOLATION || tries == MOST_SHARED_OPEN_TRIES)
      return handle;
    Sleep(SHARED_OPEN_PAUSE_MS);
  }
}

Directory* OpenDirectoryIn(HANDLE root, const std::string& name, OpenFailure* failure) {
  HANDLE handle = OpenRelative(root, name, DIRECTORY_RIGHTS,
                               FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, failure);
  return handle == nullptr ? nullptr : new Directory{handle};
}

struct Entry {
  std::string name;
  bool isDirectory;
};

// Every entry of `dir` but "." and "..", in the order the file system lists
// them; empty when the directory cannot be listed. `whole`, when given, is
// cleared when the listing failed after its first batch of entries.
std::vector<Entry> ReadEntries(Directory* dir, bool* whole = nullptr) {
  std::vector<Entry> entries;
  if (whole != nullptr) *whole = true;
  std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the records
  BOOLEAN restart = TRUE;
  for (;;) {
    IO_STATUS_BLOCK status;
    NTSTATUS result = NtQueryDirectoryFile(
        dir->handle, nullptr, nullptr, nullptr, &status, buffer.data(),
        static_cast<ULONG>(buffer.size() * sizeof(LONGLONG)), FileDirectoryInformation,
        FALSE, nullptr, restart);
    if (result < 0 && result != NO_MORE_FILES && !restart && whole != nullptr) *whole = false;
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
// under another name too: a name-surrogate reparse point (a symbolic link or
// junction, opened itself, so that the tag read is its own), or a file with
// several names. False when that cannot be told.
bool ReadLinked(HANDLE handle, bool& linked) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandle(handle, &info) ||
      !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
    return false;
  linked = IsLinkingReparsePoint(tag.FileAttributes, tag.ReparseTag) || info.nNumberOfLinks > 1;
  return true;
}

// The identity of the file or directory open as `handle`: its 128-bit id
// (FileIdInfo; on ReFS the 64-bit index need not be unique), or the 64-bit
// index where the system gives no 128-bit one. Both need FILE_READ_ATTRIBUTES.
std::optional<DirectoryId> ReadFileId(HANDLE handle) {
  FILE_ID_INFO ids;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids)) {
    uint64_t low, high;
    memcpy(&low, ids.FileId.Identifier, sizeof low);
    memcpy(&high, ids.FileId.Identifier + sizeof low, sizeof high);
    return MakeFileId(ids.VolumeSerialNumber, low, high);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return MakeFileId(info.dwVolumeSerialNumber,
                    (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0);
}

// True when a handle opened with FILE_OPEN_REPARSE_POINT is known to be no
// reparse point: what it reads is the file's own data.
bool IsPlainFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Names a conversion made alike (two names that are not valid UTF-16, on
// Windows or as Wine shows a host's names) appear more than once: every
// copy is marked, none of them is sure to open the file it was listed for.
void MarkRepeatedNames(const std::vector<std::string>& names, std::vector<uint8_t>& repeated) {
  repeated.clear();
  std::vector<size_t> order(names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return names[a] < names[b]; });
  for (size_t i = 1; i < order.size(); ++i) {
    if (names[order[i]] != names[order[i - 1]]) continue;
    repeated.resize(names.size());
    repeated[order[i]] = repeated[order[i - 1]] = 1;
  }
}

}  // namespace

std::string Narrow(const wchar_t* text, size_t length) {
  std::string narrow;
  narrow.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    AppendUtf8(narrow, c);  // a surrogate without its pair, as its own three bytes
  }
  return narrow;
}

std::wstring Widen(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0xFFFD;
    size_t length = DecodeWtf8(text.substr(i), c);
    i += length == 0 ? 1 : length;
    if (length == 0) c = 0xFFFD;
    if (c < 0x10000) {
      wide += static_cast<wchar_t>(c);
    } else {
      wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return wide;
}

std::optional<DirectoryId> MakeFileId(uint64_t volume, uint64_t low, uint64_t high) {
  const uint64_t INVALID = ~static_cast<uint64_t>(0);  // FILE_INVALID_FILE_ID
  if ((low == 0 && high == 0) || (low == INVALID && (high == 0 || high == INVALID)))
    return std::nullopt;
  DirectoryId id{volume, low};
  id.nodeHigh = high;
  return id;
}

bool IsLinkingReparsePoint(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparseTag);
}

std::string NarrowArgument(const wchar_t* argument) {
  return Narrow(argument, wcslen(argument));
}

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
  HANDLE handle = CreateFileW(wide.c_str(), DIRECTORY_RIGHTS, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // A root that may be searched but not listed: its listing is empty, but
  // the counter can still be opened by its name.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    handle = CreateFileW(wide.c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
std::optional<DirectoryId> GetDirectoryId(Directory* dir) { return ReadFileId(dir->handle); }

namespace {

// The lock a fix took: the object lives while a handle to it is open, so
// it goes with the process however that ends.
HANDLE storeLock = nullptr;

// The store among kernel objects, by its root's identity: every path to
// one store (a drive letter, a UNC path, a junction) names one object.
std::wstring NameStoreLock(const DirectoryId& id) {
  return L"MailTally-fix-" + std::to_wstring(id.volume) + L"-" + std::to_wstring(id.nodeHigh) +
         L"-" + std::to_wstring(id.node);
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
  listing.subdirectories = NameList();
  for (Entry& entry : ReadEntries(dir, &listing.whole)) {
    if (entry.isDirectory)
      AddName(listing.subdirectories, entry.name);
    else if (withMessageFiles && IsMessageFileName(entry.name))
      listing.messageFiles.push_back(std::move(entry.name));
  }
  MarkRepeatedNames(listing.messageFiles, listing.repeated);
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
  HANDLE handle = OpenRelative(dir->handle, name, FILE_READ_ATTRIBUTES, FILE_NON_DIRECTORY_FILE,
                               nullptr, SHARE_ALL, OBJ_CASE_INSENSITIVE);
  if (handle == nullptr) return false;
  CloseHandle(handle);
  found = name;
  return true;
}

// Windows mounts a volume only on a directory, as a reparse point: a
// message file is never a mount point, and needs no check beyond that.
// Wine makes no reparse points but symbolic links of its own; that a tag
// other than a name surrogate is not linked is tested on the rule itself.
bool IsLinkedFile(Directory* dir, const std::string& name) {
  HANDLE handle = OpenRelative(dir->handle, name, FILE_READ_ATTRIBUTES,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (handle == nullptr) return false;
  bool linked = false;
  bool known = ReadLinked(handle, linked);
  CloseHandle(handle);
  return known && linked;
}

namespace {

// `opened`, a reparse point that leads nowhere else (deduplicated, a cloud
// placeholder, archived) opened itself, as the same file opened through the
// file system's filter instead, which alone shows its data: reads and writes
// through the reparse point itself would reach the stub the filter keeps,
// not what the walk read through an ordinary open. The new handle must be
// the file examined, not one a link put in its place since. Null, with the
// open refused, when it is not; `opened` is closed either way. (Wine makes
// no such files; this path is reasoned, not tested.)
HANDLE ReopenThroughFilter(HANDLE root, const std::string& name, HANDLE opened,
                           ACCESS_MASK rights, ULONG share, OpenFailure* failure) {
  HANDLE handle = OpenRelative(root, name, rights, FILE_NON_DIRECTORY_FILE, failure, share);
  std::optional<DirectoryId> examined = ReadFileId(opened);
  CloseHandle(opened);
  if (handle == nullptr) return nullptr;
  if (!examined || ReadFileId(handle) != examined) {
    CloseHandle(handle);
    if (failure != nullptr) *failure = OpenFailure::REFUSED;
    return nullptr;
  }
  return handle;
}

}  // namespace

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
  HANDLE handle = OpenSharedFile(dir->handle, name, rights, options, failure, share);
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
  if (unlinked && !IsPlainFile(handle)) handle = ReopenThroughFilter(dir->handle, name, handle,
                                                                     rights, share, failure);
  return handle == nullptr ? nullptr : new File{handle};
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
