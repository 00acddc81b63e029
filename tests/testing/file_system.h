// The file system the tests' stores are made on, and what it can hold.
// scripts/filesystems.sh mounts each file system a store may live on and
// runs tests with these two variables set:
//   MAILTALLY_STORE_DIR    the directory stores are made in (by default the
//                          system's temporary directory)
//   MAILTALLY_FILE_SYSTEM  its kind: tmpfs, xfs, btrfs, ntfs or exfat
//                          (by default one that holds everything)
#pragma once

#include <filesystem>

struct FileSystemLimits {
  bool hardLinks = true;
  bool symbolicLinks = true;
  bool fifos = true;
  bool caseDistinctNames = true;  // false: names that differ only in case are one file
  bool nonUtf8Names = true;
};

// The limits of MAILTALLY_FILE_SYSTEM; an unknown kind ends the test program.
const FileSystemLimits& StoreFileSystem();

std::filesystem::path StoreDirectory();
