#pragma once
// File trees for the transaction tests: write a set of files, read a whole
// tree back byte for byte, and digests of byte strings.
#include <filesystem>
#include <map>
#include <string>

#include "payload/Sha256.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"
#include "txn/TransactionPaths.h"

namespace orvo::test {

// Relative path ("/"-separated) to content.
using FileTree = std::map<std::wstring, std::string>;

inline void writeTree(const std::wstring& root, const FileTree& files) {
  for (const auto& [relative, content] : files) {
    const std::filesystem::path path = std::filesystem::path(root) / relative;
    std::filesystem::create_directories(path.parent_path());
    writeBytes(path.wstring(), content);
  }
}

// Every regular file below `root`, keyed by its "/"-separated relative path.
inline FileTree readTree(const std::wstring& root) {
  FileTree files;
  if (!directoryExists(root)) return files;
  const std::filesystem::path base(root);
  for (const auto& item : std::filesystem::recursive_directory_iterator(base)) {
    if (item.is_regular_file()) {
      files[std::filesystem::relative(item.path(), base).generic_wstring()] = readBytes(item.path().wstring());
    }
  }
  return files;
}

inline std::wstring digestOfBytes(const std::string& bytes) {
  Sha256Hasher hasher;
  std::array<std::uint8_t, 32> digest{};
  if (!hasher.update(bytes.data(), bytes.size()) || !hasher.finish(digest)) throw std::runtime_error("hash failed");
  return digestToHex(digest.data(), digest.size());
}

inline const DigestFile fileDigest = [](const std::wstring& path) { return sha256File(path); };

}  // namespace orvo::test

// Expects `statement` to throw a standard exception carrying exactly `message`.
#define EXPECT_FAILS_WITH(statement, message) \
  EXPECT_EQ(::orvo::test::messageOf([&] { statement; }), std::string(message)) << "from " #statement
