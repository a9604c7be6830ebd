#pragma once
// The installer file manifest: the list of every file the platform payload must
// hold, one line each, "digest TAB size TAB relative/path", UTF-8, lines ended
// by LF or CR LF.
//
// Guarantees: the parser either returns every entry, in file order, each with a
// path that checkManifestPath accepts and a 64-unit digest, or throws at the
// first bad line with that rule's message and returns nothing. Pure: no Windows
// headers, no file access; wchar_t values are UTF-16 code units.
#include <cstdint>
#include <string_view>
#include <vector>

#include "payload/ManifestEntry.h"

namespace orvo {

// Parses the manifest bytes. Messages: "安装清单无效", "Invalid UTF8",
// "invalid stoull argument", "stoull argument out of range", the two of
// checkManifestPath, and "安装清单为空" for a text without entries.
std::vector<ManifestEntry> parseFileManifest(std::string_view text);

// A relative "/"-separated path that stays inside the install directory and
// owns neither personal data nor an outside game client's directories or files.
// Throws "Installation manifest path is unsafe" or "Installation manifest must
// not own personal data or game client files".
void checkManifestPath(std::wstring_view path);

// The size field's number, by the standard unsigned-long-long conversion rules
// (base 10): leading white space and one sign accepted, conversion stops at the
// first non-digit, a minus sign negates modulo 2^64. Throws std::invalid_argument
// "invalid stoull argument" without a digit, std::out_of_range "stoull argument
// out of range" beyond 18446744073709551615.
std::uint64_t parseManifestSize(std::string_view field);

}  // namespace orvo
