#pragma once
// Text conversion between UTF-8 (how error messages and files carry text) and
// UTF-16 (how Windows and the user interface carry it).
//
// Guarantees: utf8ToWide is strict and throws std::runtime_error("Invalid UTF8")
// on any malformed, overlong, surrogate or out-of-range sequence; wideToUtf8 is
// lenient and writes U+FFFD for an unpaired surrogate. Both work on UTF-16 code
// units held in wchar_t whatever the width of wchar_t, so this file builds and
// behaves the same natively (for fuzzing) and for Windows.
#include <string>
#include <string_view>

namespace orvo {

std::wstring utf8ToWide(std::string_view text);
std::string wideToUtf8(std::wstring_view text);
// For texts that must be shown whatever they hold (a failure text): malformed
// sequences become U+FFFD instead of failing.
std::wstring utf8ToWideLenient(std::string_view text);

}  // namespace orvo
