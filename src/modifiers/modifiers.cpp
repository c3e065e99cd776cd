#include "modifiers/modifiers.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <utility>

#include "modifiers/tokens.h"

namespace quantelle {
namespace {

// Where a to-text ends. The bare word "recent" is deliberately absent: "to: a recent" keeps it.
constexpr std::array<std::string_view, 7> kTerminators{
    "diverse", "recent:", "unlike:", "like:", "limit:", "local_communities", "detect_communities"};

struct TrajectoryClause {
  std::string_view from_text, to_text;  // trimmed, never empty
  std::string rest;                     // the text around the clause, joined with nothing between
};

// All markers are ASCII, so byte positions found here lie on code point boundaries.
std::optional<TrajectoryClause> take_trajectory_clause(std::string_view text) {
  constexpr std::string_view kFrom = "from:", kTo = " to:";
  const std::size_t from_at = text.find(kFrom);
  if (from_at == std::string_view::npos) return std::nullopt;
  const std::string_view after_from = text.substr(from_at + kFrom.size());
  const std::size_t to_at = after_from.find(kTo);
  if (to_at == std::string_view::npos) return std::nullopt;
  const std::string_view after_to = after_from.substr(to_at + kTo.size());
  std::size_t end = after_to.size();
  for (std::string_view terminator : kTerminators) end = std::min(end, after_to.find(terminator));

  TrajectoryClause clause{trim_white_space(after_from.substr(0, to_at)),
                          trim_white_space(after_to.substr(0, end)), {}};
  if (clause.from_text.empty() || clause.to_text.empty()) return std::nullopt;
  const std::string_view before = text.substr(0, from_at), after = after_to.substr(end);
  clause.rest.reserve(before.size() + after.size());
  clause.rest.append(before).append(after);
  return clause;
}

std::optional<std::uint64_t> parse_digits(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  return parse_digits(text);
}

std::optional<std::int64_t> parse_signed(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  const std::optional<std::uint64_t> magnitude = parse_digits(text);
  if (!magnitude) return std::nullopt;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (*magnitude > kMax) return std::nullopt;
    return static_cast<std::int64_t>(*magnitude);
  }
  if (*magnitude > kMax + 1) return std::nullopt;
  // The one magnitude that has no positive counterpart.
  if (*magnitude == kMax + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(*magnitude);
}

// Empty pieces are kept (also for an empty text), so the list is never empty.
std::vector<std::string> split_at_commas(std::string_view text) {
  std::vector<std::string> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

bool consume_prefix(std::string_view& token, std::string_view prefix) {
  if (!token.starts_with(prefix)) return false;
  token.remove_prefix(prefix.size());
  return true;
}

// The first matching rule decides; a number that does not parse leaves its key as it was.
void apply_token(std::string_view token, Modifiers& out) {
  if (token == "recent") {
    out.recent = true;
  } else if (token == "diverse") {
    out.diverse = true;
  } else if (consume_prefix(token, "recent:")) {
    out.recent = true;
    if (const auto days = parse_signed(token)) out.recent_days = *days;
  } else if (consume_prefix(token, "unlike:")) {
    out.unlike = std::string(token);
  } else if (consume_prefix(token, "limit:")) {
    if (const auto limit = parse_unsigned(token)) out.limit = *limit;
  } else if (consume_prefix(token, "like:")) {
    out.like = split_at_commas(token);
  } else if (token == "local_communities" || token == "detect_communities") {
    out.local_communities = true;
  }
}

}  // namespace

Modifiers parse_modifiers(std::string_view text) {
  Modifiers out;
  std::string rest;  // owns the working text when a clause was taken out
  std::string_view working = text;
  if (auto clause = take_trajectory_clause(text)) {
    out.trajectory_from = std::string(clause->from_text);
    out.trajectory_to = std::string(clause->to_text);
    rest = std::move(clause->rest);
    working = rest;
  }
  for (std::string_view token : split_tokens(working)) apply_token(token, out);
  return out;
}

}  // namespace quantelle
