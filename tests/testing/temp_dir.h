// A fresh directory under the system's temporary directory, or under
// `base`, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::random_device random;
    for (;;) {
      path_ = base / ("mailtally-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) break;
    }
    path_ = std::filesystem::canonical(path_);
  }
  ~TempDir() {
    // Tests take permissions away and build trees deeper than any path the
    // system takes whole; the shell's tools cope with both.
    std::string quoted = "'" + path_.string() + "'";
    std::system(("chmod -R u+rwx " + quoted + " 2>/dev/null; rm -rf " + quoted).c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};
