// Feeds arbitrary bytes to the modifier grammar and aborts on any result the grammar cannot
// produce. The whitespace table here is written out independently of the tokeniser on purpose.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "modifiers/modifiers.h"

namespace {

using quantelle::Modifiers;

// UTF-8 encodings of every White_Space code point.
constexpr std::array<std::string_view, 25> kWhiteSpace{
    "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80"};

constexpr std::array<std::string_view, 7> kTerminators{
    "diverse", "recent:", "unlike:", "like:", "limit:", "local_communities", "detect_communities"};

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool contains_white_space(std::string_view text) {
  for (std::string_view ws : kWhiteSpace)
    if (text.find(ws) != std::string_view::npos) return true;
  return false;
}

bool edge_is_white_space(std::string_view text) {
  for (std::string_view ws : kWhiteSpace)
    if (text.starts_with(ws) || text.ends_with(ws)) return true;
  return false;
}

bool same(const Modifiers& a, const Modifiers& b) {
  return a.recent == b.recent && a.recent_days == b.recent_days && a.unlike == b.unlike &&
         a.diverse == b.diverse && a.limit == b.limit && a.like == b.like &&
         a.trajectory_from == b.trajectory_from && a.trajectory_to == b.trajectory_to &&
         a.local_communities == b.local_communities;
}

void check_result(std::string_view input, const Modifiers& m) {
  check(m.trajectory_from.has_value() == m.trajectory_to.has_value(), "trajectory texts apart");
  if (m.trajectory_from) {
    const std::string_view from = *m.trajectory_from, to = *m.trajectory_to;
    check(input.find("from:") != std::string_view::npos, "clause without from:");
    check(!from.empty() && !to.empty(), "empty trajectory text");
    check(!edge_is_white_space(from) && !edge_is_white_space(to), "trajectory text not trimmed");
    check(input.find(from) != std::string_view::npos, "from-text not taken from the input");
    check(input.find(to) != std::string_view::npos, "to-text not taken from the input");
    check(from.find(" to:") == std::string_view::npos, "from-text runs past the first to:");
    for (std::string_view t : kTerminators)
      check(to.find(t) == std::string_view::npos, "to-text runs past a terminator");
  }
  if (m.recent_days) check(m.recent, "recent_days without recent");
  if (m.unlike) check(!contains_white_space(*m.unlike), "unlike spans tokens");
  if (m.like) {
    check(!m.like->empty(), "like is an empty list");
    for (const std::string& piece : *m.like) {
      check(piece.find(',') == std::string::npos, "like piece holds a comma");
      check(!contains_white_space(piece), "like piece spans tokens");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const Modifiers m = quantelle::parse_modifiers(input);
  check_result(input, m);
  // Whitespace at either end separates nothing and is trimmed from any to-text it would touch.
  check(same(m, quantelle::parse_modifiers(" " + input + "\xE3\x80\x80")), "outer blanks matter");
  return 0;
}
