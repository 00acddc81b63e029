#include "msgfile/msgfile.h"

#include <cstring>

#include "platform/platform.h"
#include "report/report.h"

const uint8_t ENCRYPTED_FILE_SIGNATURE[SIGNATURE_SIZE] = {
    0xaa, 0x57, 0x23, 0xf2, 0xaf, 0xa2, 0x27, 0x13, 0x20, 0xb1,
    0x92, 0x66, 0x77, 0x12, 0x01, 0x8f, 0xc3, 0xde, 0xaf, 0x1a};

namespace {

bool IsEncrypted(const uint8_t* head, size_t length) {
  return length >= SIGNATURE_SIZE &&
         memcmp(head, ENCRYPTED_FILE_SIGNATURE, SIGNATURE_SIZE) == 0;
}

// Reads the first bytes of an open file: their count, or -1 on a read error.
long ReadHead(File* file, uint8_t (&head)[MESSAGE_HEAD_SIZE]) {
  return ReadFileAt(file, 0, head, sizeof head);
}

}  // namespace

size_t UidOffset(const uint8_t* head, size_t length) {
  return IsEncrypted(head, length) ? SIGNATURE_SIZE : 0;
}

uint32_t DecodeMessageUid(const uint8_t* head, size_t length) {
  size_t offset = UidOffset(head, length);
  uint8_t mask = offset == 0 ? 0 : UID_MASK;
  uint32_t uid = 0;
  for (size_t i = 0; i < UID_SIZE && offset + i < length; ++i)
    uid |= static_cast<uint32_t>(head[offset + i] ^ mask) << (8 * i);
  return uid;
}

bool TryReadMessageUid(Directory* dir, const std::string& name, bool followLink,
                       uint32_t& uid, OpenFailure* failure) {
  File* file = OpenFile(dir, name, followLink ? FileAccess::READ : FileAccess::READ_NO_FOLLOW,
                        failure);
  if (file == nullptr) return false;
  uint8_t head[MESSAGE_HEAD_SIZE];
  long length = ReadHead(file, head);
  CloseFile(file);
  if (length < 0) return false;
  uid = DecodeMessageUid(head, static_cast<size_t>(length));
  return true;
}

uint32_t ReadMessageUid(Directory* dir, const std::string& name) {
  uint32_t uid = 0;
  return TryReadMessageUid(dir, name, true, uid) ? uid : 0;
}

bool WriteMessageUid(Directory* dir, const std::string& name,
                     const std::string& path, uint32_t oldUid, uint32_t newUid) {
  OpenFailure failure = OpenFailure::REFUSED;
  File* file = OpenFile(dir, name, FileAccess::UPDATE_UNLINKED, &failure);
  if (file == nullptr) {
    PrintOpenError(path);
    return failure != OpenFailure::NO_HANDLES;
  }
  uint8_t head[MESSAGE_HEAD_SIZE];
  long read = ReadHead(file, head);
  size_t length = read < 0 ? 0 : static_cast<size_t>(read);
  // A file that was unreadable during the scan, or changed since, is left
  // alone: its stored UID is not the one the duplicate check judged.
  if (read < 0 || DecodeMessageUid(head, length) != oldUid) {
    CloseFile(file);
    PrintChangedSinceRead(path);
    return true;
  }
  size_t offset = UidOffset(head, length);
  uint8_t mask = offset == 0 ? 0 : UID_MASK;
  uint8_t field[UID_SIZE];
  for (size_t i = 0; i < UID_SIZE; ++i)
    field[i] = static_cast<uint8_t>(newUid >> (8 * i)) ^ mask;
  // A plain file's UID field is the first four bytes of where a signature
  // would be: a file whose next 16 bytes match the signature's would read
  // as encrypted after the write, its UID and layout both lost.
  memcpy(head + offset, field, sizeof field);
  bool keepsLayout = UidOffset(head, length) == offset;
  bool written = keepsLayout && WriteFileAt(file, offset, field, sizeof field);
  if (written) SyncFileLater(file);
  bool closed = CloseFile(file);
  if (!written || !closed)
    PrintSetError(offset != 0);
  return true;
}
