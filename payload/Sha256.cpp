#include "payload/Sha256.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

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

// Reads a file's chunks on a second thread, one chunk ahead of the caller, so
// that copying chunk k+1 out of the file overlaps hashing chunk k. Two buffers
// take turns: the reader fills one while the caller hashes the other.
class ReadAhead {
 public:
  struct Chunk {
    const std::uint8_t* data;
    DWORD size;  // 0 at the end of the file
    bool ok;     // false when the read failed
  };

  // `file` is read from its current position on.
  explicit ReadAhead(HANDLE file) : file_(file), reader_([this] { readLoop(); }) {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    reader_.join();
  }

  // The next chunk; its buffer stays the caller's until the following call.
  Chunk next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (consumed_ > 0) {
      --filled_;  // the previous chunk's buffer goes back to the reader
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return filled_ > 0; });
    Slot& slot = slots_[consumed_++ % 2];
    return {slot.buffer.get(), slot.size, slot.ok};
  }

 private:
  struct Slot {
    std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kChunkSize]()};
    DWORD size = 0;
    bool ok = true;
  };

  void readLoop() {
    for (std::size_t k = 0;; ++k) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || filled_ < 2; });
        if (stopping_) return;
      }
      Slot& slot = slots_[k % 2];  // free: the caller holds at most the other one
      DWORD n = 0;
      const bool ok = ::ReadFile(file_, slot.buffer.get(), static_cast<DWORD>(kChunkSize), &n, nullptr) != FALSE;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        slot.size = ok ? n : 0;
        slot.ok = ok;
        ++filled_;
      }
      changed_.notify_all();
      if (!ok || n == 0) return;
    }
  }

  HANDLE file_;
  Slot slots_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  int filled_ = 0;             // chunks read and not yet handed back, including the caller's
  std::size_t consumed_ = 0;   // chunks handed to the caller
  bool stopping_ = false;
  std::thread reader_;         // last: starts once everything it uses exists
};

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
  const auto hashChunk = [&](const std::uint8_t* data, DWORD n) {
    if (!BCRYPT_SUCCESS(::BCryptHashData(hash.get(), const_cast<PUCHAR>(data), n, 0))) {
      throw std::runtime_error("SHA256 failed");
    }
    total += n;
    if (report) report(total);
  };
  // The first chunk is read here: a file that fits in it needs no second thread.
  DWORD first = 0;
  if (usable) {
    if (checkCancelled) checkCancelled();
    usable = ::ReadFile(file, buffer.get(), static_cast<DWORD>(kChunkSize), &first, nullptr) != FALSE;
  }
  if (usable && first > 0) hashChunk(buffer.get(), first);
  if (usable && first == kChunkSize) {
    buffer.reset();  // the read-ahead brings its own two buffers
    ReadAhead chunks(file);
    for (;;) {
      if (checkCancelled) checkCancelled();
      const ReadAhead::Chunk chunk = chunks.next();
      if (!chunk.ok) {
        usable = false;
        break;
      }
      if (chunk.size == 0) break;  // end of file
      hashChunk(chunk.data, chunk.size);
    }
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
