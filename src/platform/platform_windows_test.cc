// Tests of the Windows platform layer, run under Wine beside the end-to-end
// cases (tests/wine.cmake). A small runner of its own: the cross build has
// no GoogleTest, and building it there would cost every Windows build more
// than these few checks are worth.
//
// Wine is more lenient than Windows: it grants a handle what was asked but
// does not check the rights a call needs, and it opens names without regard
// to case. So these tests check what Windows would refuse (the rights each
// handle is granted) rather than wait for a call to fail.
#include "platform/platform_windows.h"

#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "report/report.h"

namespace {

int failures = 0;

void Check(bool ok, const char* condition, const std::string& what, int line) {
  if (ok) return;
  printf("platform_windows_test.cc:%d: %s (%s)\n", line, condition, what.c_str());
  ++failures;
}

#define CHECK(condition, what) Check((condition), #condition, (what), __LINE__)

std::string Hex(std::string_view bytes) {
  std::string text;
  char part[4];
  for (unsigned char c : bytes) {
    snprintf(part, sizeof part, "%02X ", c);
    text += part;
  }
  return text;
}

// A directory of its own under the temporary directory; what a test makes
// in it is removed after it, deepest first.
class Scratch {
 public:
  Scratch() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    root_ = std::wstring(temp) + L"mailtally-platform-" + std::to_wstring(GetCurrentProcessId());
    MakeDirectory(L"");
  }
  ~Scratch() {
    for (auto at = made_.rbegin(); at != made_.rend(); ++at)
      if (!DeleteFileW(at->c_str())) RemoveDirectoryW(at->c_str());
  }
  std::wstring Path(const std::wstring& relative) const {
    return relative.empty() ? root_ : root_ + L"\\" + relative;
  }
  void MakeDirectory(const std::wstring& relative) {
    CreateDirectoryW(Path(relative).c_str(), nullptr);
    made_.push_back(Path(relative));
  }
  // False when the system cannot make a file of that name.
  bool TryPut(const std::wstring& relative, const std::string& bytes) {
    HANDLE file = CreateFileW(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    made_.push_back(Path(relative));
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok;
  }
  void Put(const std::wstring& relative, const std::string& bytes) {
    CHECK(TryPut(relative, bytes), "made " + Narrow(relative.data(), relative.size()));
  }
  void Link(const std::wstring& relative, const std::wstring& existing) {
    CHECK(CreateHardLinkW(Path(relative).c_str(), Path(existing).c_str(), nullptr), "hard link");
    made_.push_back(Path(relative));
  }
  std::string Utf8Path(const std::wstring& relative) const {
    std::wstring path = Path(relative);
    return Narrow(path.data(), path.size());
  }

 private:
  std::wstring root_;
  std::vector<std::wstring> made_;
};

ACCESS_MASK GrantedAccess(HANDLE handle) {
  PUBLIC_OBJECT_BASIC_INFORMATION info = {};
  ULONG length = 0;
  if (NtQueryObject(handle, ObjectBasicInformation, &info, sizeof info, &length) < 0) return 0;
  return info.GrantedAccess;
}

std::string ReadAll(Directory* dir, const std::string& name) {
  File* file = OpenFile(dir, name, FileAccess::READ);
  if (file == nullptr) return "(not opened)";
  char buffer[64];
  long n = ReadFileAt(file, 0, buffer, sizeof buffer);
  CloseFile(file);
  return n < 0 ? "(not read)" : std::string(buffer, static_cast<size_t>(n));
}

// Every handle the layer returns is granted what the layer later asks of
// it, as Windows checks it: a directory is listed (FILE_LIST_DIRECTORY),
// opened below (FILE_TRAVERSE) and identified (FILE_READ_ATTRIBUTES, which
// GetFileInformationByHandle(Ex) needs); a file is read, examined for links
// and reparse points, and in an update written and flushed; all of them are
// used for synchronous I/O (SYNCHRONIZE).
void TestGrantedAccess() {
  Scratch store;
  store.MakeDirectory(L"box");
  store.Put(L"box\\I1.DAT", "abcd");
  Directory* root = OpenDirectory(store.Utf8Path(L""));
  CHECK(root != nullptr, "root opened");
  if (root == nullptr) return;
  Directory* box = OpenSubdirectory(root, "box");
  CHECK(box != nullptr, "subdirectory opened");
  if (box == nullptr) return CloseDirectory(root);

  const ACCESS_MASK DIRECTORY_NEEDS =
      FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  CHECK((GrantedAccess(GetDirectoryHandle(root)) & DIRECTORY_NEEDS) == DIRECTORY_NEEDS, "root");
  CHECK((GrantedAccess(GetDirectoryHandle(box)) & DIRECTORY_NEEDS) == DIRECTORY_NEEDS,
        "subdirectory");
  std::optional<DirectoryId> rootId = GetDirectoryId(root);
  std::optional<DirectoryId> boxId = GetDirectoryId(box);
  CHECK(rootId && boxId && rootId != boxId, "both identified, apart");

  const ACCESS_MASK READ_NEEDS = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const ACCESS_MASK UPDATE_NEEDS = READ_NEEDS | FILE_WRITE_DATA;
  const struct {
    FileAccess access;
    ACCESS_MASK needs;
    const char* what;
  } kinds[] = {
      {FileAccess::READ, READ_NEEDS, "READ"},
      {FileAccess::READ_NO_FOLLOW, READ_NEEDS, "READ_NO_FOLLOW"},
      {FileAccess::UPDATE, UPDATE_NEEDS, "UPDATE"},
      {FileAccess::UPDATE_UNLINKED, UPDATE_NEEDS, "UPDATE_UNLINKED"},
  };
  for (const auto& kind : kinds) {
    File* file = OpenFile(box, "I1.DAT", kind.access);
    CHECK(file != nullptr, kind.what);
    if (file == nullptr) continue;
    ACCESS_MASK granted = GrantedAccess(GetFileHandle(file));
    CHECK((granted & kind.needs) == kind.needs, kind.what);
    CloseFile(file);
  }
  CloseDirectory(box);
  CloseDirectory(root);
}

// Names travel as WTF-8: a surrogate without its pair keeps its own three
// bytes, so I<D800>.DAT, I<DC00>.DAT and I<FFFD>.DAT stay three names, and
// each opens the file listed under it. Wine 8 cannot make a file whose name
// holds an unpaired surrogate (it has no Unix name for it, and answers
// ERROR_FILE_NOT_FOUND), so there those files are left out, said on the
// output, and the conversion's round trip is what shows the names apart;
// on Windows all of them are made, listed and opened.
void TestNamesWithUnpairedSurrogates() {
  const struct {
    std::wstring wide;
    std::string narrow;
  } names[] = {
      {L"I\xD800.DAT", "I\xED\xA0\x80.DAT"},
      {L"I\xDC00.DAT", "I\xED\xB0\x80.DAT"},
      {L"I\xFFFD.DAT", "I\xEF\xBF\xBD.DAT"},
      {L"I\xD83D\xDE00.DAT", "I\xF0\x9F\x98\x80.DAT"},  // a pair: one code point
      {L"I\xDC00\xD800.DAT", "I\xED\xB0\x80\xED\xA0\x80.DAT"},  // the wrong way round: no pair
      {L"I\xDBFF", "I\xED\xAF\xBF"},  // a high surrogate last
      {L"I\x00E9\x20AC.DAT", "I\xC3\xA9\xE2\x82\xAC.DAT"},
  };
  for (const auto& name : names) {
    std::string narrow = Narrow(name.wide.data(), name.wide.size());
    CHECK(narrow == name.narrow, Hex(narrow));
    CHECK(Widen(narrow) == name.wide, Hex(narrow));
  }
  // Bytes no WTF-8 holds (overlong, cut short, beyond U+10FFFF) as U+FFFD.
  CHECK(Widen("a\xC0\x80" "b") == L"a\xFFFD\xFFFD" L"b", "overlong");
  CHECK(Widen("a\xE2\x82") == L"a\xFFFD\xFFFD", "cut short");
  CHECK(Widen("\xF4\x90\x80\x80") == L"\xFFFD\xFFFD\xFFFD\xFFFD", "beyond U+10FFFF");

  Scratch store;
  store.MakeDirectory(L"box");
  std::vector<size_t> made;
  for (size_t i = 0; i < 4; ++i) {
    if (store.TryPut(L"box\\" + names[i].wide, "file " + std::to_string(i)))
      made.push_back(i);
    else
      printf("left out: this system makes no file named %s\n", Hex(names[i].narrow).c_str());
  }
  // The names it can make; a system that makes no unpaired surrogates still
  // makes U+FFFD and a surrogate pair.
  CHECK(made.size() >= 2, "files made");
  Directory* box = OpenDirectory(store.Utf8Path(L"box"));
  CHECK(box != nullptr, "opened");
  if (box == nullptr) return;
  DirectoryListing listing;
  ListDirectory(box, true, listing);
  CHECK(listing.messageFiles.size() == made.size(), std::to_string(listing.messageFiles.size()));
  for (size_t i : made) {
    bool listed = false;
    for (const std::string& name : listing.messageFiles) listed = listed || name == names[i].narrow;
    CHECK(listed, Hex(names[i].narrow));
    CHECK(ReadAll(box, names[i].narrow) == "file " + std::to_string(i), Hex(names[i].narrow));
  }
  CloseDirectory(box);

  // In the report, an unpaired surrogate is one '?', also where a cut
  // leaves part of it; a pair is a letter like any other.
  CHECK(PrintableName("I\xED\xA0\x80.DAT") == "I?.DAT", "unpaired");
  CHECK(PrintableName("I\xED\xB0\x80\xED\xA0\x80.DAT") == "I??.DAT", "two unpaired");
  CHECK(PrintableName("I\xED\xA0\x80.DAT", 3) == "I?", "cut");
  CHECK(PrintableName("I\xF0\x9F\x98\x80.DAT") == "I\xF0\x9F\x98\x80.DAT", "pair");
  CHECK(PrintableName("I\xED\x9F\xBF.DAT") == "I\xED\x9F\xBF.DAT", "U+D7FF is a letter");
}

// An id that identifies nothing gives no identity: the directory is
// visited but not remembered, and no other is taken for it.
void TestFileIds() {
  const uint64_t ALL = ~static_cast<uint64_t>(0);
  CHECK(!MakeFileId(7, 0, 0), "0");
  CHECK(!MakeFileId(7, ALL, 0), "FILE_INVALID_FILE_ID");
  CHECK(!MakeFileId(7, ALL, ALL), "FILE_INVALID_FILE_ID, 128 bits");
  CHECK(MakeFileId(7, 0, 1).has_value(), "a 128-bit id with its low half 0");
  CHECK(MakeFileId(7, 5, 0).has_value(), "a 64-bit index");
  CHECK(MakeFileId(7, 5, 0) != MakeFileId(7, 5, 1), "told apart by the high half");
  CHECK(MakeFileId(7, 5, 0) != MakeFileId(8, 5, 0), "told apart by the volume");
}

// Only a name-surrogate reparse point leads to another file.
void TestLinkingReparsePoints() {
  const DWORD REPARSE = FILE_ATTRIBUTE_REPARSE_POINT;
  const struct {
    DWORD attributes;
    DWORD tag;
    bool linked;
    const char* what;
  } cases[] = {
      {REPARSE, IO_REPARSE_TAG_SYMLINK, true, "symbolic link"},
      {REPARSE, IO_REPARSE_TAG_MOUNT_POINT, true, "junction or mount point"},
      {REPARSE, 0xA000001D, true, "WSL symbolic link"},
      {REPARSE, IO_REPARSE_TAG_DEDUP, false, "deduplicated"},
      {REPARSE, 0x9000001A, false, "cloud files placeholder"},
      {REPARSE, IO_REPARSE_TAG_HSM, false, "archived (HSM)"},
      {REPARSE, 0x80000017, false, "compressed by WOF"},
      {FILE_ATTRIBUTE_NORMAL, IO_REPARSE_TAG_SYMLINK, false, "no reparse point"},
      {FILE_ATTRIBUTE_ARCHIVE, 0, false, "plain"},
  };
  for (const auto& c : cases)
    CHECK(IsLinkingReparsePoint(c.attributes, c.tag) == c.linked, c.what);

  // The rule reads its tag from the file itself: a plain file is not
  // linked, one of two names is.
  Scratch store;
  store.Put(L"I1.DAT", "abcd");
  store.Put(L"I2.DAT", "abcd");
  store.Link(L"I3.DAT", L"I2.DAT");
  Directory* dir = OpenDirectory(store.Utf8Path(L""));
  CHECK(dir != nullptr, "opened");
  if (dir == nullptr) return;
  CHECK(!IsLinkedFile(dir, "I1.DAT"), "plain");
  CHECK(IsLinkedFile(dir, "I2.DAT"), "two names");
  File* file = OpenFile(dir, "I3.DAT", FileAccess::UPDATE_UNLINKED);
  CHECK(file == nullptr, "two names, refused for a write");
  if (file != nullptr) CloseFile(file);
  CloseDirectory(dir);
}

}  // namespace

int main() {
  TestGrantedAccess();
  TestNamesWithUnpairedSurrogates();
  TestFileIds();
  TestLinkingReparsePoints();
  if (failures == 0)
    printf("platform layer: all passed\n");
  else
    printf("platform layer: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
