#include "testing/file_system.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Kind {
  const char* name;
  FileSystemLimits limits;
};

// Hard links on NTFS are left out although ntfs-3g makes them: a file read
// under its second name after a write under the first can show the old
// bytes until the page cache is dropped, a fault of the driver that
// would only blur what the tests show of the tool.
// exFAT through exfat-fuse keeps the letter case of a name but finds the
// file under any case; it has no links or FIFOs.
const Kind KINDS[] = {
    {"tmpfs", {}},
    {"xfs", {}},
    {"btrfs", {}},
    {"ntfs", {.hardLinks = false, .nonUtf8Names = false}},
    {"exfat",
     {.hardLinks = false,
      .symbolicLinks = false,
      .fifos = false,
      .caseDistinctNames = false,
      .nonUtf8Names = false}},
};

FileSystemLimits ReadLimits() {
  const char* name = std::getenv("MAILTALLY_FILE_SYSTEM");
  if (name == nullptr || *name == '\0') return {};
  for (const Kind& kind : KINDS)
    if (std::string(kind.name) == name) return kind.limits;
  std::fprintf(stderr, "MAILTALLY_FILE_SYSTEM=%s: no such kind of file system\n", name);
  std::exit(2);
}

}  // namespace

const FileSystemLimits& StoreFileSystem() {
  static const FileSystemLimits limits = ReadLimits();
  return limits;
}

std::filesystem::path StoreDirectory() {
  const char* directory = std::getenv("MAILTALLY_STORE_DIR");
  if (directory == nullptr || *directory == '\0') return std::filesystem::temp_directory_path();
  return directory;
}
