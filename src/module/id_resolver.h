#pragma once
// Ids to rows through a validated id map (id_map.h), one by one or a list at a time. A long list
// of exact str against a dict read in place is resolved in bulk: matched by object in one walk
// over the dict when it names a good share of it, else looked up in the order of the dict's
// table slots. Either way the rows are those of the lookups one by one.
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/errors.h"
#include "module/id_map.h"
#include "module/text_list.h"

namespace quantelle::py {

class IdResolver {
 public:
  explicit IdResolver(const IdMap& map) noexcept : map_(map) {}

  // The row of the id whose str object is id (validated text), or nothing when unknown.
  [[nodiscard]] PyResult<std::optional<std::uint64_t>> find(PyObject* id);
  // The rows of the ids of list, in list order, unknown ids skipped.
  [[nodiscard]] PyResult<std::vector<std::uint64_t>> find_all(const TextList& list);

 private:
  const IdMap& map_;
  std::unordered_map<std::string_view, std::uint64_t> index_;  // of a snapshot, on first find
  bool indexed_ = false;
};

}  // namespace quantelle::py
