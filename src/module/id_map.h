#pragma once
// The Id map: a dict from id text to row index, validated entry by entry in the dict's order.
//
// Ordinary dicts (exact str keys, exact int values) are validated and then looked up in place,
// never copied: a per-call hash map of a million ids would cost more than scoring the matrix.
// A dict that needs Python code to read (int-like values with __index__), or whose keys are str
// subclasses (two keys may then share a text; the later one wins), is snapshot into entries that
// own their keys; so is an in-place dict before any later foreign code could change it.
// An in-place dict that passed the check is not walked again until it changes (dict_verdicts.h).
// A long list of ids is resolved in bulk: matched by object in one walk over the dict when it
// names a good share of it, else looked up in the order of the dict's table slots.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "module/errors.h"
#include "module/text_list.h"

namespace quantelle::py {

class Pins;

class IdMap {
 public:
  // The row of the id whose str object is id (validated text), or nothing when unknown.
  [[nodiscard]] PyResult<std::optional<std::uint64_t>> find(PyObject* id) const;
  // The rows of the ids of list, in list order, unknown ids skipped: find id by id.
  [[nodiscard]] PyResult<std::vector<std::uint64_t>> find_all(const TextList& list) const;
  void pin();

  // Texts already checked by an earlier argument, position by position: a user's id map is
  // typically built from the ids list in its order, so its key j is ids[j] itself and need not
  // be read again (a str never changes).
  void assume_checked(const TextList& ids) noexcept { checked_ = ids.exact_items(); }

  [[nodiscard]] static PyResult<void> convert(PyObject* o, IdMap& out, Pins& pins);

 private:
  struct Entry {
    PyRef key;
    std::uint64_t row;
  };
  void snapshot_live();
  [[nodiscard]] std::optional<std::vector<std::uint64_t>> find_batch(
      std::span<PyObject* const> ids) const;
  [[nodiscard]] std::optional<std::vector<std::uint64_t>> find_by_walk(
      std::span<PyObject* const> ids) const;
  [[nodiscard]] PyResult<void> convert_snapshot(PyObject* dict, Pins& pins);

  PyObject* live_ = nullptr;  // borrowed dict read in place, or nullptr once snapshot
  std::span<PyObject* const> checked_;
  std::vector<Entry> entries_;
  mutable std::unordered_map<std::string_view, std::uint64_t> index_;  // built on first find
  mutable bool indexed_ = false;
};

}  // namespace quantelle::py
