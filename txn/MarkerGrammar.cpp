#include "txn/MarkerGrammar.h"

#include <stdexcept>
#include <string>

namespace orvo {
namespace {

[[noreturn]] void invalid() { throw std::runtime_error("Installation marker is invalid; existing file retained"); }

class MarkerParser {
 public:
  explicit MarkerParser(std::string_view text) : text_(text) {}

  void skipWhitespace() {
    while (position_ < text_.size()) {
      const char c = text_[position_];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
      ++position_;
    }
  }

  bool atEnd() const { return position_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[position_]; }

  void expect(char c) {
    skipWhitespace();
    if (peek() != c || atEnd()) invalid();
    ++position_;
  }

  // A double-quoted run of bytes >= 0x20 without backslash or quote.
  std::string_view string() {
    skipWhitespace();
    if (atEnd() || peek() != '"') invalid();
    const std::size_t start = ++position_;
    while (true) {
      if (atEnd()) invalid();
      const auto byte = static_cast<unsigned char>(text_[position_]);
      if (byte == '"') break;
      if (byte < 0x20 || byte == '\\') invalid();
      ++position_;
    }
    return text_.substr(start, position_++ - start);
  }

  std::string_view digits() {
    skipWhitespace();
    const std::size_t start = position_;
    while (!atEnd() && peek() >= '0' && peek() <= '9') ++position_;
    return text_.substr(start, position_ - start);
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace

void validateMarker(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > MaxMarkerBytes) invalid();
  MarkerParser parser(bytes);
  parser.expect('{');
  bool product = false;
  bool revision = false;
  while (true) {
    const std::string_view key = parser.string();
    parser.expect(':');
    if (key == "Product" && !product) {
      parser.skipWhitespace();
      if (parser.atEnd()) invalid();
      if (parser.peek() != '"' || parser.string() != MarkerProduct) {
        throw std::runtime_error("Installation marker belongs to another product; existing file retained");
      }
      product = true;
    } else if (key == "Revision" && !revision) {
      const std::string_view number = parser.digits();
      if (number.empty() || number.size() > 18 || (number.size() > 1 && number[0] == '0')) {
        throw std::runtime_error("Installation marker revision is invalid; existing file retained");
      }
      revision = true;
    } else {
      throw std::runtime_error("Installation marker has private or unknown fields; existing file retained");
    }
    parser.skipWhitespace();
    if (parser.peek() == ',' && !parser.atEnd()) {
      parser.expect(',');
      continue;
    }
    parser.expect('}');
    break;
  }
  parser.skipWhitespace();
  if (!parser.atEnd()) invalid();
  if (!product) invalid();
}

}  // namespace orvo
