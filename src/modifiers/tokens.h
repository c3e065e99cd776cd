#pragma once
// Whitespace in modifier strings: every code point with the Unicode White_Space property, found
// by decoding UTF-8. Any byte string is accepted: a byte that does not start a well-formed
// sequence is a one-byte unit of its own and never whitespace, so no input reads out of bounds.
#include <string_view>
#include <vector>

namespace quantelle {

// text without the whitespace at either end; a view into text.
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

// The maximal runs of non-whitespace, left to right; views into text.
[[nodiscard]] std::vector<std::string_view> split_tokens(std::string_view text);

}  // namespace quantelle
