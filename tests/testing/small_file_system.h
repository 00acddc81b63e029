// A small tmpfs mounted on a directory for the life of the object, to be
// filled up: where mounting is not allowed (it needs root with
// CAP_SYS_ADMIN), mounted() is false and the test skips.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::filesystem::path& where) : where_(where) {
    std::string command =
        "mount -t tmpfs -o size=256k,mode=755 tmpfs '" + where.string() + "' 2>/dev/null";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) std::system(("umount '" + where_.string() + "'").c_str());
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path where_;
  bool mounted_;
};
