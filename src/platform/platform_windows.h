// What the Windows platform layer's own tests reach besides the interface:
// the handles behind Directory and File, the name conversion, and the pure
// rules for identities and links. Included by platform_windows.cc and its
// test only; the rest of the program sees platform.h alone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

HANDLE GetDirectoryHandle(Directory* dir);
HANDLE GetFileHandle(File* file);

// UTF-16 as WTF-8 and back: UTF-8, except that a surrogate without its pair
// is kept as its own three bytes (ED A0-BF xx), so that every name a
// directory can hold comes back as the same UTF-16, a name its own. Bytes
// that are no WTF-8 become U+FFFD (only text that did not come from Narrow
// can hold them).
std::string Narrow(const wchar_t* text, size_t length);
std::wstring Widen(std::string_view text);

// The identity of a file from its volume's serial number and its 128-bit
// file id (the 64-bit index where the system gives no more, `high` 0).
// Empty for an id that identifies nothing: 0, which some redirectors and
// file systems give every file, and FILE_INVALID_FILE_ID.
std::optional<DirectoryId> MakeFileId(uint64_t volume, uint64_t low, uint64_t high);

// True when a file with these attributes and reparse tag leads to another
// file: a name-surrogate reparse point (a symbolic link, junction or mount
// point). Any other reparse point (data deduplication, cloud files,
// archiving) holds the file's own data.
bool IsLinkingReparsePoint(DWORD attributes, DWORD reparseTag);
