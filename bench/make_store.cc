// Makes a message store for the benchmarks: mailboxes of message files in
// both layouts, with a share of duplicate UIDs, the same bytes for the same
// seed. Usage:
//   make_store ROOT [--files N] [--mailboxes N] [--size BYTES]
//              [--duplicates RATE] [--encrypted RATE] [--seed N]
// ROOT must not exist yet. Mailboxes are named m00000, m00001, ...; the
// files of each are numbered I00000000.DAT up, spread evenly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "msgfile/msgfile.h"

namespace fs = std::filesystem;

namespace {

struct StoreShape {
  std::string root;
  long files = 200000;
  long mailboxes = 2000;
  long size = 400;
  double duplicates = 0.01;
  double encrypted = 0.5;
  unsigned seed = 1;
};

bool ParseShape(int argc, char** argv, StoreShape& shape) {
  if (argc < 2 || argv[1][0] == '-') return false;
  shape.root = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--files") shape.files = atol(value);
    else if (flag == "--mailboxes") shape.mailboxes = atol(value);
    else if (flag == "--size") shape.size = atol(value);
    else if (flag == "--duplicates") shape.duplicates = atof(value);
    else if (flag == "--encrypted") shape.encrypted = atof(value);
    else if (flag == "--seed") shape.seed = static_cast<unsigned>(atol(value));
    else return false;
  }
  return argc % 2 == 0 && shape.files >= 0 && shape.mailboxes > 0 &&
         shape.size >= static_cast<long>(MESSAGE_HEAD_SIZE);
}

void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value, uint8_t mask) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i)) ^ mask;
}

std::vector<uint8_t> MessageBytes(uint32_t uid, bool encrypted, long size, std::mt19937& random) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  for (uint8_t& b : bytes) b = static_cast<uint8_t>('a' + random() % 26);
  if (encrypted) {
    memcpy(bytes.data(), ENCRYPTED_FILE_SIGNATURE, SIGNATURE_SIZE);
    PutLe32(bytes, SIGNATURE_SIZE, uid, UID_MASK);
  } else {
    PutLe32(bytes, 0, uid, 0);
  }
  return bytes;
}

bool WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  FILE* out = fopen(path.string().c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return fclose(out) == 0 && ok;
}

// UIDs of a mailbox ascend from 1 with gaps; a duplicate repeats the UID of
// an earlier file of the same mailbox.
bool MakeMailbox(const fs::path& dir, long count, const StoreShape& shape,
                 std::mt19937& random, uint32_t& highest) {
  fs::create_directory(dir);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::vector<uint32_t> uids;
  uint32_t next = 1;
  for (long i = 0; i < count; ++i) {
    uint32_t uid = next;
    if (!uids.empty() && chance(random) < shape.duplicates) {
      uid = uids[random() % uids.size()];
    } else {
      next += 1 + random() % 3;
    }
    uids.push_back(uid);
    highest = std::max(highest, uid);
    char name[32];
    snprintf(name, sizeof name, "I%08ld.DAT", i);
    if (!WriteBytes(dir / name, MessageBytes(uid, chance(random) < shape.encrypted,
                                             shape.size, random)))
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  StoreShape shape;
  if (!ParseShape(argc, argv, shape)) {
    fprintf(stderr,
            "usage: make_store ROOT [--files N] [--mailboxes N] [--size BYTES] "
            "[--duplicates RATE] [--encrypted RATE] [--seed N]\n");
    return 2;
  }
  std::error_code error;
  if (!fs::create_directories(shape.root, error)) {
    fprintf(stderr, "make_store: cannot create %s (it must not exist)\n", shape.root.c_str());
    return 1;
  }
  std::mt19937 random(shape.seed);
  uint32_t highest = 0;
  for (long box = 0; box < shape.mailboxes; ++box) {
    long count = shape.files / shape.mailboxes + (box < shape.files % shape.mailboxes ? 1 : 0);
    char name[32];
    snprintf(name, sizeof name, "m%05ld", box);
    if (!MakeMailbox(fs::path(shape.root) / name, count, shape, random, highest)) {
      fprintf(stderr, "make_store: cannot write into %s\n", shape.root.c_str());
      return 1;
    }
  }
  // The counter is kept in step, so a check run reports only duplicates.
  std::vector<uint8_t> counter(4);
  PutLe32(counter, 0, highest + 1, 0);
  if (!WriteBytes(fs::path(shape.root) / "nextuidl.dat", counter)) return 1;
  return 0;
}
