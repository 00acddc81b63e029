// Fuzz target for the UID field of a message file. The input, less its last
// four bytes, becomes the file; those four bytes are the UID it is given.
// Whatever the file holds, reading it must not fail, and a rewrite must give
// back the UID written while keeping the layout and every byte outside the
// four bytes of the field.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "msgfile/msgfile.h"
#include "platform/platform.h"
#include "testing/uid_field.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char FILE_NAME[] = "I1.DAT";

struct Workspace {
  std::filesystem::path path;
  Directory* dir = nullptr;
};

Workspace& GetWorkspace() {
  static Workspace workspace = [] {
    Workspace w;
    w.path = std::filesystem::temp_directory_path() /
             ("mailtally-fuzz-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(w.path);
    w.dir = OpenDirectory(w.path.string());
    if (w.dir == nullptr) abort();
    return w;
  }();
  return workspace;
}

void WriteBytes(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) abort();
}

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "property broken: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Workspace& w = GetWorkspace();
  const std::filesystem::path file = w.path / FILE_NAME;
  const Bytes before(data, data + size - 4);
  uint32_t newUid = 0;
  for (int i = 0; i < 4; ++i) newUid |= static_cast<uint32_t>(data[size - 4 + i]) << (8 * i);

  WriteBytes(file, before.data(), before.size());
  uint32_t uid = ReadMessageUid(w.dir, FILE_NAME);
  Check(uid == UidOf(before), "read gives the stored UID");
  Check(DecodeMessageUid(before.data(), before.size()) == uid, "decode agrees with read");

  // Indexed with another UID than the file holds: never written.
  WriteMessageUid(w.dir, FILE_NAME, FILE_NAME, uid + 1, newUid);
  Check(ReadBytes(file) == before, "a file changed since it was read is left alone");

  WriteMessageUid(w.dir, FILE_NAME, FILE_NAME, uid, newUid);
  const Bytes after = ReadBytes(file);
  // The one rewrite refused: a plain file that the new UID would turn into
  // one that reads as encrypted.
  Bytes flipped = before;
  flipped.resize(std::max<size_t>(flipped.size(), 4));
  for (int i = 0; i < 4; ++i) flipped[i] = static_cast<uint8_t>(newUid >> (8 * i));
  if (!IsEncrypted(before) && IsEncrypted(flipped)) {
    Check(after == before, "a rewrite that would change the layout leaves the file alone");
    return 0;
  }
  size_t offset = FieldOffset(before);
  Check(IsEncrypted(after) == IsEncrypted(before), "layout kept");
  Check(ReadMessageUid(w.dir, FILE_NAME) == newUid, "read after rewrite gives the new UID");
  Check(after.size() == std::max(before.size(), offset + 4), "only the field may lengthen the file");
  for (size_t i = 0; i < after.size(); ++i) {
    if (i >= offset && i < offset + 4) continue;
    Check(i < before.size() && after[i] == before[i], "bytes outside the field kept");
  }
  return 0;
}
