#pragma once
// SHA-256 on the Windows CNG primitives: file digests (chunked, with progress
// and cancellation), digests of UTF-16 text, and an owning incremental hasher.
//
// Guarantees: digest text is always 64 lower-case hex digits; every provider,
// hash handle and buffer is released before a result or an error leaves; each
// failure carries its fixed message.
#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Progress.h"
#include "common/UniqueHandle.h"

namespace orvo {

// Digest of the file's whole content, read in 1 MiB chunks. `progress` gets the
// running total after every non-empty chunk; `checkCancelled` runs before each read.
std::wstring sha256File(const std::wstring& path, ByteProgress progress = {}, const CancelCheck& checkCancelled = {});

// The same digest read through an open handle (with read access), from offset 0
// to the end; the handle's file pointer is left at the end. An invalid handle
// fails like an unreadable file.
std::wstring sha256OfHandle(HANDLE file, ByteProgress progress = {}, const CancelCheck& checkCancelled = {});

// Digest of the string's UTF-16LE code units (no terminator, no byte-order mark).
std::wstring sha256Text(const std::wstring& text);

// 32 raw digest bytes as 64 lower-case hex digits.
std::wstring digestToHex(const std::uint8_t* bytes, std::size_t count);

// An open provider with one hash created in its own object buffer.
class Sha256Hasher {
 public:
  Sha256Hasher();  // throws "Migration hash unavailable"
  Sha256Hasher(Sha256Hasher&&) noexcept = default;
  // Not defaulted: member-wise assignment would close this provider and free
  // this object buffer while this hash still lives in them.
  Sha256Hasher& operator=(Sha256Hasher&& other) noexcept;

  // Convenience for the users that feed bytes: false when CNG refused them.
  bool update(const void* data, std::size_t size) noexcept;
  // Finishes the hash; false when CNG refused. The hasher is spent afterwards.
  bool finish(std::array<std::uint8_t, 32>& digest) noexcept;

 private:
  // Declaration order is release order reversed: the hash goes before the provider.
  UniqueBcryptAlg provider_;
  std::vector<std::uint8_t> object_;
  UniqueBcryptHash hash_;
};

}  // namespace orvo
