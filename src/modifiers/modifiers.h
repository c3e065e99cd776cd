#pragma once
// The grammar of the modifier strings that users type beside a query.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quantelle {

struct Modifiers {
  bool recent = false;
  std::optional<std::int64_t> recent_days;
  std::optional<std::string> unlike;
  bool diverse = false;
  std::optional<std::uint64_t> limit;
  std::optional<std::vector<std::string>> like;
  std::optional<std::string> trajectory_from;
  std::optional<std::string> trajectory_to;
  bool local_communities = false;
};

// text is UTF-8. Never fails: what the grammar does not understand is ignored.
[[nodiscard]] Modifiers parse_modifiers(std::string_view text);

}  // namespace quantelle
