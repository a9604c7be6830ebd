#include "common/Utf.h"

#include <cstdint>
#include <stdexcept>

namespace orvo {
namespace {

[[noreturn]] void invalidUtf8() { throw std::runtime_error("Invalid UTF8"); }

void appendUtf16(std::wstring& out, std::uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(cp));
  }
}

}  // namespace

std::wstring utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b0 = p[i];
    if (b0 < 0x80) {
      out.push_back(static_cast<wchar_t>(b0));
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    std::uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      invalidUtf8();
    }
    if (n - i < len) invalidUtf8();
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char b = p[i + k];
      if ((b & 0xC0) != 0x80) invalidUtf8();
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) invalidUtf8();
    appendUtf16(out, cp);
    i += len;
  }
  return out;
}

std::wstring utf8ToWideLenient(std::string_view text) {
  try {
    return utf8ToWide(text);
  } catch (const std::runtime_error&) {
  }
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    // Take the longest prefix (1..4 bytes) that decodes; otherwise one replacement.
    bool decoded = false;
    for (std::size_t len = 1; len <= 4 && i + len <= text.size(); ++len) {
      try {
        out += utf8ToWide(text.substr(i, len));
        i += len;
        decoded = true;
        break;
      } catch (const std::runtime_error&) {
      }
    }
    if (!decoded) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
    }
  }
  return out;
}

std::string wideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t cp = static_cast<std::uint32_t>(text[i]) & 0xFFFF;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
      const std::uint32_t lo = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF;
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace orvo
