// The UID field of a message file. A message file comes in two layouts,
// told apart by its first 20 bytes:
//   encrypted: ENCRYPTED_FILE_SIGNATURE, then the UID little-endian with
//              every byte XORed with UID_MASK, at offset 20;
//   plain:     anything else; the UID little-endian at offset 0.
// Nothing else in a message file is ever read or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Directory;
enum class OpenFailure;

constexpr size_t SIGNATURE_SIZE = 20;
constexpr size_t UID_SIZE = 4;
// The most of a message file ever read: the signature and the masked UID.
constexpr size_t MESSAGE_HEAD_SIZE = SIGNATURE_SIZE + UID_SIZE;
constexpr uint8_t UID_MASK = 0xB3;
extern const uint8_t ENCRYPTED_FILE_SIGNATURE[SIGNATURE_SIZE];

// Where the UID field of a file starts, given its first bytes.
size_t UidOffset(const uint8_t* head, size_t length);

// The UID held in the first `length` bytes of a file. Bytes missing at the
// end of the file count as 0 high-order bytes, so an empty file holds 0.
uint32_t DecodeMessageUid(const uint8_t* head, size_t length);

// Reads the UID of the file `name` in `dir` into `uid`; false when the file
// cannot be opened or read, and, unless `followLink` is set, when `name` is
// a symbolic link or a mount point; with why it could not be opened in
// `failure` when that is given.
bool TryReadMessageUid(Directory* dir, const std::string& name, bool followLink,
                       uint32_t& uid, OpenFailure* failure = nullptr);

// The UID of the file `name` in `dir`; 0 when it cannot be opened or read.
uint32_t ReadMessageUid(Directory* dir, const std::string& name);

// Gives the file `name` in `dir` the UID `newUid`, in the file's own layout,
// provided it still holds `oldUid`, the UID it was indexed with. A linked
// file (a symbolic link, or a file with several names) is not written: it
// counts as one that cannot be opened. Problems are reported with one line
// naming `path`. What is written reaches stable storage by the time
// SyncWrittenFiles returns. False only when the file could not be opened
// for want of handles: then the run must stop.
bool WriteMessageUid(Directory* dir, const std::string& name,
                     const std::string& path, uint32_t oldUid, uint32_t newUid);
