#include "module/id_resolver.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <span>
#include <utility>

#include "module/converters.h"

namespace quantelle::py {

namespace {

// Sorts keyed (slot key above, position below) by slot key: least significant digit first,
// 12 bits a pass, so stable and linear.
void sort_by_slot(std::vector<std::uint64_t>& keyed, unsigned bits) {
  constexpr unsigned kDigit = 12;
  std::vector<std::uint64_t> spare(keyed.size());
  std::vector<std::uint32_t> start((1u << kDigit) + 1);
  for (unsigned shift = 32; shift < 32 + bits; shift += kDigit) {
    std::fill(start.begin(), start.end(), 0);
    for (const std::uint64_t k : keyed) ++start[((k >> shift) & ((1u << kDigit) - 1)) + 1];
    for (std::size_t b = 1; b <= (1u << kDigit); ++b) start[b] += start[b - 1];
    for (const std::uint64_t k : keyed) spare[start[(k >> shift) & ((1u << kDigit) - 1)]++] = k;
    keyed.swap(spare);
  }
}

// Lookups run a few items ahead of their use, so that the cache misses of one overlap the next.
constexpr std::size_t kLookAhead = 16;

std::optional<std::vector<std::uint64_t>> find_batch(PyObject* live,
                                                    std::span<PyObject* const> ids) {
  // Exact str keys against a dict of exact str keys: no lookup runs Python code, and none can
  // change the dict. Ids in list order meet the dict's table at random, a cache miss or two
  // each; looked up in the order of the table slots their hashes point to, the walk over the
  // table runs forward. The slot is the hash's low bits, as many as the table is large (a
  // power of two of at most three slots per entry); sorting by one bit more than that turns
  // a table half as large into two forward walks instead. Values are read afterwards, in
  // list order, fetched ahead.
  const std::size_t n = ids.size();
  if (n == 0 || n >= std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  const auto entries = static_cast<std::uint64_t>(PyDict_GET_SIZE(live));
  const unsigned bits = std::min(32u, static_cast<unsigned>(std::bit_width(3 * entries)) + 1);
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  std::vector<std::uint64_t> keyed(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kFetchAhead < n) __builtin_prefetch(ids[i + kFetchAhead]);
    const Py_hash_t hash = PyObject_Hash(ids[i]);  // a str's, cached once computed
    if (hash == -1) {
      PyErr_Clear();
      return std::nullopt;
    }
    keyed[i] = (static_cast<std::uint64_t>(hash) & mask) << 32 | i;
  }
  sort_by_slot(keyed, bits);
  std::vector<PyObject*> values(n);
  const auto at = [&](std::size_t k) { return static_cast<std::uint32_t>(keyed[k]); };
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kLookAhead < n) __builtin_prefetch(ids[at(k + kLookAhead)]);
    PyObject* value = PyDict_GetItemWithError(live, ids[at(k)]);  // borrowed: no write to it
    if (value == nullptr && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    values[at(k)] = value;
  }
  std::vector<std::uint64_t> rows;
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kLookAhead < n && values[i + kLookAhead] != nullptr) {
      __builtin_prefetch(values[i + kLookAhead]);
    }
    if (values[i] != nullptr) rows.push_back(accepted_count(values[i]));
  }
  return rows;
}

std::optional<std::vector<std::uint64_t>> find_by_walk(PyObject* live,
                                                      std::span<PyObject* const> ids) {
  // A dict holds at most one key equal to an id, so an entry whose key is the id's very object
  // is the entry its lookup finds. One walk over the table in storage order (a forward read)
  // matches entries to the ids' objects through a table of those objects, guarded by a bit
  // filter that turns most entries away at once; a match is fetched a few entries before it is
  // made. Ids left unmatched (equal text in another object, or unknown) are looked up as usual.
  const std::size_t n = ids.size();
  if (n == 0 || n >= std::numeric_limits<std::uint32_t>::max() / 2) return std::nullopt;
  struct Slot {
    const PyObject* key = nullptr;  // an id's object; nullptr when free
    PyObject* value = nullptr;      // its entry's value once matched (borrowed: nothing runs)
  };
  const unsigned slot_bits = static_cast<unsigned>(std::bit_width(2 * n - 1));  // >= 2n slots
  const unsigned filter_bits = slot_bits + 3;                                    // >= 16 bits an id
  std::vector<Slot> slots(std::size_t{1} << slot_bits);
  std::vector<std::uint64_t> filter((std::size_t{1} << filter_bits) / 64);
  const auto hash = [](const PyObject* o) noexcept {
    return (reinterpret_cast<std::uintptr_t>(o) >> 4) * std::uint64_t{0x9E3779B97F4A7C15};
  };
  const auto home = [&](std::uint64_t h) { return &slots[h >> (64 - slot_bits)]; };
  const auto find_slot = [&](const PyObject* o) {
    Slot* s = home(hash(o));
    while (s->key != nullptr && s->key != o) s = s + 1 == slots.data() + slots.size() ? slots.data() : s + 1;
    return s;
  };
  const auto passes = [&](std::uint64_t h) {
    const std::uint64_t f = h >> (64 - filter_bits);
    return (filter[f / 64] >> (f % 64) & 1) != 0;
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kLookAhead < n) __builtin_prefetch(home(hash(ids[i + kLookAhead])));
    find_slot(ids[i])->key = ids[i];
    const std::uint64_t f = hash(ids[i]) >> (64 - filter_bits);
    filter[f / 64] |= std::uint64_t{1} << (f % 64);
  }
  struct Pending {
    PyObject* key;
    PyObject* value;
  };
  Pending ring[kLookAhead];
  std::size_t pending = 0;
  const auto match = [&](const Pending& e) {
    if (Slot* s = find_slot(e.key); s->key != nullptr) s->value = e.value;
  };
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(live, &pos, &key, &value)) {
    const std::uint64_t h = hash(key);
    if (!passes(h)) continue;
    __builtin_prefetch(home(h));
    Pending& at = ring[pending++ % kLookAhead];
    if (pending > kLookAhead) match(at);
    at = {key, value};
  }
  for (std::size_t k = pending > kLookAhead ? pending - kLookAhead : 0; k < pending; ++k) {
    match(ring[k % kLookAhead]);
  }
  std::vector<std::uint64_t> rows;
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    // The slot two steps ahead, then the value it holds (an int object) one step ahead.
    if (i + 2 * kLookAhead < n) __builtin_prefetch(home(hash(ids[i + 2 * kLookAhead])));
    if (i + kLookAhead < n) __builtin_prefetch(home(hash(ids[i + kLookAhead]))->value);
    PyObject* found = find_slot(ids[i])->value;
    if (found == nullptr) {
      found = PyDict_GetItemWithError(live, ids[i]);
      if (found == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
      }
    }
    if (found != nullptr) rows.push_back(accepted_count(found));
  }
  return rows;
}

}  // namespace

PyResult<std::optional<std::uint64_t>> IdResolver::find(PyObject* id) {
  if (PyObject* live = map_.live(); live != nullptr) {
    // An exact str hashes and compares without Python code; a subclass might not, so it is
    // looked up by an exact copy of its text.
    PyRef key = PyUnicode_CheckExact(id) ? PyRef::borrow(id) : new_str(utf8_of(id));
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(live, key.get(), &value);
    if (found < 0) return kErrorSet;
    if (found == 0) return std::optional<std::uint64_t>{};
    PyRef held = PyRef::steal(value);
    return std::optional<std::uint64_t>{accepted_count(value)};
  }
  if (!indexed_) {
    index_.reserve(map_.entries().size());
    for (const IdMap::Entry& e : map_.entries()) {
      index_.insert_or_assign(utf8_of(e.key.get()), e.row);
    }
    indexed_ = true;
  }
  const auto it = index_.find(utf8_of(id));
  if (it == index_.end()) return std::optional<std::uint64_t>{};
  return std::optional<std::uint64_t>{it->second};
}

PyResult<std::vector<std::uint64_t>> IdResolver::find_all(const TextList& list) {
  // A long list of exact str against a dict read in place goes through the batch; it gives up
  // (without a trace) on anything unexpected, and the lookups one by one below then tell.
  constexpr std::size_t kBatchFrom = 256;
  // From one id per 16 entries on, one walk over the whole table is cheaper than the lookups.
  constexpr std::size_t kWalkFrom = 16;
  if (PyObject* live = map_.live(); live != nullptr && list.size() >= kBatchFrom) {
    const std::span<PyObject* const> ids = list.exact_items();
    const auto entries = static_cast<std::size_t>(PyDict_GET_SIZE(live));
    auto rows = ids.size() * kWalkFrom >= entries ? find_by_walk(live, ids) : find_batch(live, ids);
    if (rows) return std::move(*rows);
  }
  std::vector<std::uint64_t> rows;
  rows.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i + kFetchAhead < list.size()) __builtin_prefetch(list.item(i + kFetchAhead));  // its hash
    auto row = find(list.item(i));
    if (!row) return std::unexpected(row.error());
    if (*row) rows.push_back(**row);
  }
  return rows;
}

}  // namespace quantelle::py
