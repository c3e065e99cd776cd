#pragma once
// The Id map: a dict from id text to row index, validated entry by entry in the dict's order.
//
// Ordinary dicts (exact str keys, exact int values) are validated and then read in place, never
// copied: a per-call hash map of a million ids would cost more than scoring the matrix. A dict
// that needs Python code to read (int-like values with __index__), or whose keys are str
// subclasses (two keys may then share a text; the later one wins), is snapshot into entries that
// own their keys; so is an in-place dict before any later foreign code could change it.
// An in-place dict that passed the check is not walked again until it changes (dict_verdicts.h).
// Lookups are the resolver's (id_resolver.h).
#include <cstdint>
#include <span>
#include <vector>

#include "module/errors.h"
#include "module/text_list.h"

namespace quantelle::py {

class Pins;

class IdMap {
 public:
  struct Entry {
    PyRef key;  // a validated str
    std::uint64_t row;
  };

  // The validated dict read in place (borrowed: exact str keys, exact ints the Count rule
  // accepts), or nullptr once its entries were snapshot.
  [[nodiscard]] PyObject* live() const noexcept { return live_; }
  // The snapshot, in the dict's order (later keys of equal text win); empty while live.
  [[nodiscard]] std::span<const Entry> entries() const noexcept { return entries_; }
  void pin();

  // Texts already checked by an earlier argument, position by position: a user's id map is
  // typically built from the ids list in its order, so its key j is ids[j] itself and need not
  // be read again (a str never changes).
  void assume_checked(const TextList& ids) noexcept { checked_ = ids.exact_items(); }

  [[nodiscard]] static PyResult<void> convert(PyObject* o, IdMap& out, Pins& pins);

 private:
  void snapshot_live();
  [[nodiscard]] PyResult<void> convert_snapshot(PyObject* dict, Pins& pins);

  PyObject* live_ = nullptr;  // borrowed dict read in place, or nullptr once snapshot
  std::span<PyObject* const> checked_;
  std::vector<Entry> entries_;
};

}  // namespace quantelle::py
