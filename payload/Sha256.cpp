#include "payload/Sha256.h"

#include <memory>
#include <stdexcept>

namespace orvo {
namespace {

constexpr std::size_t kChunkSize = 1u << 20;

// Opens the provider and creates a hash in a buffer of "ObjectLength" bytes.
// Returns false (with everything released by the owners) when any step fails.
bool openProvider(UniqueBcryptAlg& provider, std::vector<std::uint8_t>& object) {
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
  DWORD objectLength = 0;
  ULONG got = 0;
  if (!BCRYPT_SUCCESS(::BCryptGetProperty(provider.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                          sizeof(objectLength), &got, 0)) ||
      got != sizeof(objectLength)) {
    return false;
  }
  object.assign(objectLength, 0);
  return true;
}

bool createHash(const UniqueBcryptAlg& provider, std::vector<std::uint8_t>& object, UniqueBcryptHash& hash) {
  return BCRYPT_SUCCESS(::BCryptCreateHash(provider.get(), hash.put(), object.data(), static_cast<ULONG>(object.size()),
                                           nullptr, 0, 0));
}

}  // namespace

std::wstring digestToHex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::wstring sha256OfHandle(HANDLE file, ByteProgress progress, const CancelCheck& checkCancelled) {
  // The callback is released before returning, whatever happens.
  const ByteProgress report = std::move(progress);
  UniqueBcryptAlg provider;
  std::vector<std::uint8_t> object;
  if (!openProvider(provider, object)) throw std::runtime_error("SHA256 unavailable");
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunkSize]());
  UniqueBcryptHash hash;
  if (!createHash(provider, object, hash)) throw std::runtime_error("SHA256 failed");

  LARGE_INTEGER start{};
  bool usable = file != nullptr && file != INVALID_HANDLE_VALUE && ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
  std::uint64_t total = 0;
  while (usable) {
    if (checkCancelled) checkCancelled();
    DWORD n = 0;
    if (!::ReadFile(file, buffer.get(), static_cast<DWORD>(kChunkSize), &n, nullptr)) {
      usable = false;
      break;
    }
    if (n == 0) break;  // end of file
    if (!BCRYPT_SUCCESS(::BCryptHashData(hash.get(), buffer.get(), n, 0))) throw std::runtime_error("SHA256 failed");
    total += n;
    if (report) report(total);
  }
  std::array<std::uint8_t, 32> digest{};
  if (usable && !BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    usable = false;
  }
  if (!usable) throw std::runtime_error("Cannot verify downloaded files");
  return digestToHex(digest.data(), digest.size());
}

std::wstring sha256File(const std::wstring& path, ByteProgress progress, const CancelCheck& checkCancelled) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  return sha256OfHandle(file.get(), std::move(progress), checkCancelled);
}

std::wstring sha256Text(const std::wstring& text) {
  UniqueBcryptAlg provider;
  std::vector<std::uint8_t> object;
  UniqueBcryptHash hash;
  std::array<std::uint8_t, 32> digest{};
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (wchar_t c : text) {
    const auto unit = static_cast<std::uint16_t>(c);
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  const bool ok = openProvider(provider, object) && createHash(provider, object, hash) &&
                  BCRYPT_SUCCESS(::BCryptHashData(hash.get(), bytes.data(), static_cast<ULONG>(bytes.size()), 0)) &&
                  BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (!ok) throw std::runtime_error("Transaction digest unavailable");
  return digestToHex(digest.data(), digest.size());
}

Sha256Hasher::Sha256Hasher() {
  if (!openProvider(provider_, object_) || !createHash(provider_, object_, hash_)) {
    throw std::runtime_error("Migration hash unavailable");
  }
}

Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&& other) noexcept {
  if (this != &other) {
    hash_.reset();
    provider_ = std::move(other.provider_);
    object_ = std::move(other.object_);
    hash_ = std::move(other.hash_);
  }
  return *this;
}

bool Sha256Hasher::update(const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(::BCryptHashData(hash_.get(), const_cast<PUCHAR>(p), piece, 0))) return false;
    p += piece;
    size -= piece;
  }
  return true;
}

bool Sha256Hasher::finish(std::array<std::uint8_t, 32>& digest) noexcept {
  return BCRYPT_SUCCESS(::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

}  // namespace orvo
