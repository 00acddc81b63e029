// The UID field of a message file as the tests expect to find it, written
// out here byte for byte rather than taken from the code under test, so the
// tests check the tool against the format and not against its own header:
// four little-endian bytes at offset 0, or, in a file that starts with the
// encrypted signature, right after it with every byte masked. The bytes a
// short file lacks are the high-order ones, and 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

constexpr uint8_t ENCRYPTED_SIGNATURE[] = {0xaa, 0x57, 0x23, 0xf2, 0xaf, 0xa2, 0x27,
                                           0x13, 0x20, 0xb1, 0x92, 0x66, 0x77, 0x12,
                                           0x01, 0x8f, 0xc3, 0xde, 0xaf, 0x1a};
constexpr size_t ENCRYPTED_UID_OFFSET = sizeof ENCRYPTED_SIGNATURE;  // 20
constexpr uint8_t ENCRYPTED_UID_MASK = 0xB3;
constexpr size_t PLAIN_UID_OFFSET = 0;

inline bool IsEncrypted(const std::vector<uint8_t>& bytes) {
  return bytes.size() >= sizeof ENCRYPTED_SIGNATURE &&
         memcmp(bytes.data(), ENCRYPTED_SIGNATURE, sizeof ENCRYPTED_SIGNATURE) == 0;
}

inline size_t FieldOffset(const std::vector<uint8_t>& bytes) {
  return IsEncrypted(bytes) ? ENCRYPTED_UID_OFFSET : PLAIN_UID_OFFSET;
}

inline uint32_t UidOf(const std::vector<uint8_t>& bytes) {
  size_t offset = FieldOffset(bytes);
  uint8_t mask = offset == PLAIN_UID_OFFSET ? 0 : ENCRYPTED_UID_MASK;
  uint32_t uid = 0;
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
    uid |= static_cast<uint32_t>(bytes[offset + i] ^ mask) << (8 * i);
  return uid;
}
