#include "module/id_map.h"

#include <utility>

#include "module/converters.h"
#include "module/dict_verdicts.h"

namespace quantelle::py {

PyResult<void> IdMap::convert(PyObject* o, IdMap& out, Pins& pins) {
  if (!PyDict_Check(o)) return std::unexpected(cannot_convert(o, "PyDict"));
  if (known_plain(o)) {  // checked by an earlier call and unchanged since (dict_verdicts.h)
    out.checked_ = {};
    out.live_ = o;
    pins.hold(out);
    return {};
  }
  // Fast pass for the ordinary dict: nothing here runs Python code or allocates objects, so
  // the walk may run ahead of the checks to fetch the keys and values it will check.
  struct Item {
    PyObject* key;
    PyObject* value;
  };
  Item ahead[kFetchAhead];
  std::size_t filled = 0;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (; filled < kFetchAhead && PyDict_Next(o, &pos, &key, &value); ++filled) {
    ahead[filled] = {key, value};
    __builtin_prefetch(key);
    __builtin_prefetch(value);
  }
  // Valid only during this walk: the list may change once foreign code runs.
  const std::span<PyObject* const> checked = std::exchange(out.checked_, {});
  for (std::size_t i = 0, j = 0; filled > 0; i = (i + 1) % kFetchAhead, --filled, ++j) {
    const Item item = ahead[i];
    if (PyDict_Next(o, &pos, &key, &value)) {
      ahead[i] = {key, value};
      if (j + kFetchAhead >= checked.size() || checked[j + kFetchAhead] != key) {
        __builtin_prefetch(key);
      }
      __builtin_prefetch(value);
      ++filled;
    }
    // Start again, snapshotting, at an entry that needs it: repeating the checks of the
    // entries before is invisible.
    const bool known = j < checked.size() && checked[j] == item.key;  // an exact str, checked
    if (!known && !is_plain_text(item.key)) [[unlikely]] {
      if (!PyUnicode_CheckExact(item.key)) return out.convert_snapshot(o, pins);
      if (auto r = check_text(item.key); !r) return r;
    }
    if (!PyLong_CheckExact(item.value)) [[unlikely]] return out.convert_snapshot(o, pins);
    if (!compact_count(item.value)) {
      if (auto r = to_count(item.value, pins); !r) return std::unexpected(r.error());
    }
  }
  remember_plain(o);  // nothing above ran Python code
  out.live_ = o;
  pins.hold(out);
  return {};
}

PyResult<void> IdMap::convert_snapshot(PyObject* dict, Pins& pins) {
  // The caller's __index__ may change the dict under us: detect it as iteration does.
  const Py_ssize_t used = PyDict_GET_SIZE(dict);
  Py_ssize_t remaining = used;
  entries_.reserve(static_cast<std::size_t>(used));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_GET_SIZE(dict) != used) raise_fault("dictionary changed size during iteration");
    if (remaining == -1) raise_fault("dictionary keys changed during iteration");
    if (!PyDict_Next(dict, &pos, &key, &value)) break;
    --remaining;
    PyRef held_key = PyRef::borrow(key);
    PyRef held_value = PyRef::borrow(value);
    if (auto r = check_text(held_key.get()); !r) return r;
    auto row = to_count(held_value.get(), pins);
    if (!row) return std::unexpected(row.error());
    entries_.push_back(Entry{std::move(held_key), *row});
  }
  return {};
}

void IdMap::pin() {
  if (live_ != nullptr) snapshot_live();
}

void IdMap::snapshot_live() {
  // Validated and unchanged since: exact str keys, exact non-negative int values.
  entries_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(live_)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(live_, &pos, &key, &value)) {
    entries_.push_back(Entry{PyRef::borrow(key), accepted_count(value)});
  }
  live_ = nullptr;
}

PyResult<void> convert(PyObject* o, IdMap& out, Pins& pins) { return IdMap::convert(o, out, pins); }

}  // namespace quantelle::py
