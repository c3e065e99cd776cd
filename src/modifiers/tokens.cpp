#include "modifiers/tokens.h"

#include <cstddef>
#include <cstdint>

namespace quantelle {
namespace {

// Above U+10FFFF, so it matches no whitespace code point.
constexpr std::uint32_t kIllFormed = 0xFFFF'FFFF;

struct Unit {
  std::uint32_t code_point;
  std::size_t length;  // bytes, at least 1
};

// Strict UTF-8 (no overlongs, surrogates or values past U+10FFFF): an overlong encoding of a
// blank must not split a token. pos < text.size().
Unit decode_at(std::string_view text, std::size_t pos) noexcept {
  const auto byte = [&](std::size_t i) -> std::uint32_t {
    return static_cast<unsigned char>(text[pos + i]);
  };
  const std::uint32_t lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  std::uint32_t code_point = 0;
  std::uint32_t low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kIllFormed, 1};
  }
  if (text.size() - pos < length) return {kIllFormed, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint32_t next = byte(i);
    if (next < low || next > high) return {kIllFormed, 1};
    code_point = (code_point << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {code_point, length};
}

constexpr bool is_white_space(std::uint32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

// Scans forward only, so trimming and tokenising always agree on where units begin.
std::string_view trim_white_space(std::string_view text) noexcept {
  std::size_t begin = text.size(), end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const Unit unit = decode_at(text, pos);
    if (!is_white_space(unit.code_point)) {
      if (begin == text.size()) begin = pos;
      end = pos + unit.length;
    }
    pos += unit.length;
  }
  return begin < end ? text.substr(begin, end - begin) : std::string_view{};
}

std::vector<std::string_view> split_tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = 0;  // first byte of the current token, or of the next one
  for (std::size_t pos = 0; pos < text.size();) {
    const Unit unit = decode_at(text, pos);
    pos += unit.length;
    if (is_white_space(unit.code_point)) {
      const std::size_t token_end = pos - unit.length;
      if (token_end > start) tokens.push_back(text.substr(start, token_end - start));
      start = pos;
    }
  }
  if (text.size() > start) tokens.push_back(text.substr(start));
  return tokens;
}

}  // namespace quantelle
