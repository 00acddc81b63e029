// Everything MailTally needs from the operating system, behind one small
// interface. platform_posix.cc and platform_windows.cc implement it; no other
// file of the program includes an operating system header.
//
// Directories and files are reached through open handles, never through ever
// longer path strings, so the depth of a store is not limited by the system's
// path length. The text paths the walk forms are for the report only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
// Windows names are UTF-16 and may hold a surrogate without its pair; they
// travel as WTF-8, where such a surrogate is its own three bytes
// (ED A0-BF xx), which no UTF-8 text holds.
constexpr bool NAMES_ARE_WTF8 = true;
#else
constexpr char PATH_SEPARATOR = '/';
// POSIX names are bytes, and travel as they are.
constexpr bool NAMES_ARE_WTF8 = false;
#endif

struct Directory;  // an open directory
struct File;       // an open file

// Tells directories apart however they were reached (through links,
// junctions or bind mounts), so the walk visits each one only once. A
// directory deleted during the run may leave its node number to one made
// after it: its time of birth tells the two apart, where the file system
// keeps one (0 where it does not).
struct DirectoryId {
  uint64_t volume;
  uint64_t node;
  int64_t bornSeconds = 0;
  uint32_t bornNanoseconds = 0;
  // The high half of a 128-bit file id (Windows on ReFS); 0 elsewhere.
  uint64_t nodeHigh = 0;
  auto operator<=>(const DirectoryId&) const = default;
};

// Names packed one after another: a directory of a million subdirectories
// costs little more than the bytes of their names.
struct NameList {
  std::string bytes;
  std::vector<size_t> ends;  // name i ends at ends[i], and starts where i-1 ends
};

void AddName(NameList& list, std::string_view name);
std::string_view NameAt(const NameList& list, size_t i);
// Puts the names in the order `before` gives, as std::sort would.
void SortNames(NameList& list, bool (*before)(std::string_view, std::string_view));

// One listing of a directory, both lists in the platform's listing order.
struct DirectoryListing {
  // Names matching "I*.DAT" that are files (or links whose target is
  // missing); directories, pipes, sockets and devices are left out.
  std::vector<std::string> messageFiles;
  // Names of directories and of links to directories; "." and ".." left out.
  NameList subdirectories;
  // False when the listing failed partway: entries may be missing from both
  // lists. A directory that cannot be listed at all is taken as empty.
  bool whole = true;
  // Empty, or repeated[i] set where messageFiles[i] is shown more than once
  // (a name conversion lost the difference between two names): no open by
  // that name is sure to reach either file.
  std::vector<uint8_t> repeated;
};

// Called once at start-up, before any other function of this interface and
// before anything is written to standard output.
void PreparePlatform();

#ifdef _WIN32
// An argument of the command line as Windows holds it, UTF-16, in the WTF-8
// the program compares and prints: no letter is replaced by a look-alike
// the way the ANSI code page's "best fit" does (a fullwidth "ｆ" never
// becomes "f").
std::string NarrowArgument(const wchar_t* argument);
#endif

// How many more files and directories the process may hold open at once,
// as far as the system tells; very many where it sets no small limit.
size_t CountHandlesLeft();

// How many the process may hold open at once; 0 where the system sets no
// small limit.
uint64_t GetHandleLimit();

enum class StandardStream { OUTPUT_STREAM, ERROR_STREAM };

// Writes all of `data` to standard output, waiting where the output cannot
// take more for now (a non-blocking pipe with a slow reader). False, with
// the system's words for the failure in `cause`, when a write failed.
bool WriteStandardOutput(const char* data, size_t size, std::string& cause);

// True when the stream is a terminal: the status line is drawn only on a
// terminal's standard error, and kept clear of report lines only where
// standard output is a terminal too.
bool IsTerminal(StandardStream stream);

// Why an open failed: the system refused it (no permission, held by
// another, an I/O error), handles or memory ran out for the moment, the
// name leads to nothing any more (removed since it was listed), or the name
// is a symbolic link whose target is missing (it holds no file's bytes).
enum class OpenFailure { REFUSED, NO_HANDLES, GONE, NO_TARGET };

// Both return null when the directory cannot be opened, and tell why
// through `failure` when it is given. The store root is opened as ".", the
// current directory of the process. OpenDirectory also opens a directory
// that may be searched but not listed: its listing is empty, and its files
// are still opened by name.
Directory* OpenDirectory(const std::string& path, OpenFailure* failure = nullptr);
Directory* OpenSubdirectory(Directory* parent, const std::string& name,
                            OpenFailure* failure = nullptr);
// Empty when the identity cannot be read, or the file system gives none
// (an id of 0): such a directory cannot be told from any other.
std::optional<DirectoryId> GetDirectoryId(Directory* dir);
void CloseDirectory(Directory* dir);

// What LockStoreForFix found. A lock the system cannot take on this store
// (a network file system that does not carry it, a root that may be
// searched only) is UNAVAILABLE: the fix goes on without it, as it always
// could.
enum class StoreLock { TAKEN, HELD_BY_ANOTHER, UNAVAILABLE };

// Takes the exclusive lock of the store whose root is `root`, without
// waiting, so that fixes of one store on one machine never overlap. It is
// held until `root` is closed (Linux: flock on the root's own handle) or
// the process ends (Windows: a kernel object named by the root's identity),
// and creates no file.
StoreLock LockStoreForFix(Directory* root);

// Lists `dir`; message files are looked for only when `withMessageFiles` is
// set. A directory that cannot be listed gives an empty listing.
void ListDirectory(Directory* dir, bool withMessageFiles,
                   DirectoryListing& listing);

// The full path of a path relative to the store root, for the report:
// the working directory joined with it as text, links not resolved.
std::string GetFullPath(const std::string& relativePath);

// The working directory of the process, as the platform spells it; "."
// when it cannot be told.
std::string GetWorkingDirectory();

// Names compared with the letters a-z folded to A-Z, and no others.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// "I*.DAT" without regard to letter case. Matched on the name itself: a
// pattern given to a system's search may also match a generated alias.
bool IsMessageFileName(std::string_view name);

// Finds the regular file of `dir` named `name`, or, where the file system
// tells letter case apart and `name` itself is absent, the first file in
// listing order whose name equals it without regard to letter case.
bool FindFileIgnoringCase(Directory* dir, const std::string& name,
                          std::string& found);

// True when the file `name` of `dir` is itself a symbolic link (on Windows,
// a name-surrogate reparse point: a symbolic link, junction or mount point;
// a deduplicated file or a cloud placeholder holds its own data), has more
// than one name (link count above 1) or is a
// mount point (a file bind-mounted over this name): a write through this
// name would change a file that is reached by another path too. The link is
// not followed. False when the file cannot be examined.
bool IsLinkedFile(Directory* dir, const std::string& name);

enum class FileAccess {
  READ,
  // As READ, but a name that shows another file's bytes is refused: a
  // symbolic link (on Windows, any reparse point) is not followed, and a
  // file mounted over the name is not read.
  READ_NO_FOLLOW,
  // The existing file, for reading and writing: nothing is ever created or
  // truncated, and only a regular file is opened. On Windows others may
  // read it but not write it while it is held: a server's open for writing
  // fails at once with a sharing violation (it does not wait) instead of
  // interleaving its write with ours.
  UPDATE,
  // As UPDATE, but a linked file (see IsLinkedFile) is refused as well,
  // judged on the open handle, so a file linked since it was examined is
  // not written through either.
  UPDATE_UNLINKED,
};

// `name` is taken with its exact letter case, as a listing gives it.
// Returns null on failure, and tells why through `failure` when it is given.
File* OpenFile(Directory* dir, const std::string& name, FileAccess access,
               OpenFailure* failure = nullptr);
// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
// Returns the count read, or -1 on a read error.
long ReadFileAt(File* file, uint64_t offset, void* buffer, size_t size);
// True when every byte was written.
bool WriteFileAt(File* file, uint64_t offset, const void* data, size_t size);
// Closes the file; false when the system reports an error on closing (a
// write it could not complete shows here on some file systems).
bool CloseFile(File* file);

// Sends what was written through `file` to stable storage now; false, with
// the cause in `cause`, when that fails.
bool SyncFile(File* file, std::string& cause);

// Sees that what was written through `file` reaches stable storage by the
// time SyncWrittenFiles returns. Where the system flushes a whole file
// system for less than a flush of each file (Linux: syncfs), that is done
// once there for the files of one file system; other files, and files on a
// file system that a flush as a whole does not reach (Linux: FUSE), are
// flushed now.
void SyncFileLater(File* file);

// Flushes what SyncFileLater left for later. False, with the cause of the
// first failure in `cause`, when any flush of a file it was given failed.
bool SyncWrittenFiles(std::string& cause);
