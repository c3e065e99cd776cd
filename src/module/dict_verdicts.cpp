#include "module/dict_verdicts.h"

#include <array>
#include <cstdint>

namespace quantelle::py {
namespace {

// A few id maps are in use at a time; more only costs their full check.
constexpr std::size_t kSlots = 8;

struct Slot {
  PyObject* dict = nullptr;  // an address, not a reference; nullptr when free
  std::uint64_t used = 0;    // for replacing the least recently used
};

// Only touched with the interpreter lock held, by calls and by the watcher (which runs during
// the dict's own operations). Trivially destructible: the watcher may run until the end of the
// interpreter.
constexpr int kNotRegistered = -2;
constexpr int kUnavailable = -1;
int g_watcher = kNotRegistered;
std::array<Slot, kSlots> g_slots{};
std::uint64_t g_clock = 0;

Slot* slot_of(PyObject* dict) noexcept {
  for (Slot& s : g_slots) {
    if (s.dict == dict) return &s;
  }
  return nullptr;
}

// Runs before the dict changes or dies, and must neither raise nor run Python code; an exception
// may be pending in the code that triggered it.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* /*key*/,
                  PyObject* /*new_value*/) noexcept {
  if (Slot* s = slot_of(dict)) *s = Slot{};
  if (event != PyDict_EVENT_DEALLOCATED) {
    // No further events needed until a call checks it again. Cannot fail for a dict and our
    // own id; the pending exception is kept regardless.
    PyObject* pending = PyErr_GetRaisedException();
    if (PyDict_Unwatch(g_watcher, dict) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
  }
  return 0;
}

// Registered once, on first use (the module lives in one interpreter).
int watcher() noexcept {
  if (g_watcher == kNotRegistered) {
    g_watcher = PyDict_AddWatcher(&on_dict_event);
    if (g_watcher < 0) {
      PyErr_Clear();
      g_watcher = kUnavailable;
    }
  }
  return g_watcher;
}

}  // namespace

bool known_plain(PyObject* dict) noexcept {
  Slot* s = slot_of(dict);
  if (s == nullptr) return false;
  s->used = ++g_clock;
  return true;
}

void remember_plain(PyObject* dict) noexcept {
  // An instance's __dict__ may keep its values in the instance itself (a split table), where
  // attribute assignment changes them without any dict event. Only combined tables are
  // remembered; a table never turns from combined to split.
  if (reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) return;
  const int id = watcher();
  if (id < 0) return;
  Slot* s = slot_of(dict);
  if (s == nullptr) {
    s = &g_slots[0];
    for (Slot& candidate : g_slots) {
      if (candidate.used < s->used) s = &candidate;  // a free slot has the oldest stamp, 0
    }
    // The evicted dict is alive: its deallocation would have freed the slot.
    if (s->dict != nullptr && PyDict_Unwatch(id, s->dict) < 0) PyErr_Clear();
    *s = Slot{};
    if (PyDict_Watch(id, dict) < 0) {
      PyErr_Clear();
      return;
    }
    s->dict = dict;
  }
  s->used = ++g_clock;
}

}  // namespace quantelle::py
