#pragma once
// The installer file manifest: the list of every file the platform payload must
// hold, one line each, "digest TAB size TAB relative/path", UTF-8, lines ended
// by LF or CR LF.
//
// Guarantees: the parser either returns every entry, in file order, each with a
// path that the path rules accept and a 64-unit digest, or throws at the
// first bad line with that rule's message and returns nothing. Pure: no Windows
// headers, no file access; wchar_t values are UTF-16 code units.
#include <string_view>
#include <vector>

#include "payload/ManifestEntry.h"

namespace orvo {

// Parses the manifest bytes. Every path must be relative, "/"-separated, stay
// inside the install directory and own neither personal data nor an outside
// game client's directories or files ("Installation manifest path is unsafe",
// "Installation manifest must not own personal data or game client files").
// The size field follows the standard unsigned-long-long conversion (base 10:
// leading white space and one sign accepted, stops at the first non-digit, a
// minus sign negates modulo 2^64; "invalid stoull argument" without a digit,
// "stoull argument out of range" beyond 64 bits). Other messages: "安装清单无效",
// "Invalid UTF8", and "安装清单为空" for a text without entries.
std::vector<ManifestEntry> parseFileManifest(std::string_view text);

}  // namespace orvo
