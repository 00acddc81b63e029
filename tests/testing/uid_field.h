// The UID field of a message file as the tests expect to find it, decoded
// here on its own rather than by the code under test: four little-endian
// bytes at offset 0, or masked after the signature; the bytes a short file
// lacks are the high-order ones, and 0.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "msgfile/msgfile.h"

inline bool IsEncrypted(const std::vector<uint8_t>& bytes) {
  return bytes.size() >= SIGNATURE_SIZE &&
         memcmp(bytes.data(), ENCRYPTED_FILE_SIGNATURE, SIGNATURE_SIZE) == 0;
}

inline size_t FieldOffset(const std::vector<uint8_t>& bytes) {
  return IsEncrypted(bytes) ? SIGNATURE_SIZE : 0;
}

inline uint32_t UidOf(const std::vector<uint8_t>& bytes) {
  size_t offset = FieldOffset(bytes);
  uint8_t mask = offset == 0 ? 0 : UID_MASK;
  uint32_t uid = 0;
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
    uid |= static_cast<uint32_t>(bytes[offset + i] ^ mask) << (8 * i);
  return uid;
}
