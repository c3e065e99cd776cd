#include "module/converters.h"

#include <cmath>
#include <limits>

#include "core/float32.h"

namespace quantelle::py {
namespace {

// Only plain ints are read without Python code; everything else goes through __index__.
PyResult<std::uint64_t> unsigned_of(PyObject* o) {
  if (const auto v = compact_count(o)) return *v;
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return kErrorSet;
  return static_cast<std::uint64_t>(v);
}

// NumPy's bool scalar type under either of its names. Any type can claim the module "numpy" and
// the name "bool", and its __module__ need not even be a str.
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

Py_ssize_t size_hint(PyObject* o) {
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n;
}

// Text list and Index list share their shape: Reserve gets the length where known, Item converts
// and stores one element (owned: whether the element is a new reference it must take).
template <class Reserve, class Item>
PyResult<void> for_each_element(PyObject* o, Pins& pins, Reserve&& reserve, Item&& item) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return kErrorSet;
  }
  if (!PySequence_Check(o)) return std::unexpected(cannot_convert(o, "Sequence"));
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    reserve(PySequence_Fast_GET_SIZE(o));
    // Read in place, in iteration order; the size is re-read because an element's __index__
    // may shrink the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
      if (!item(PySequence_Fast_GET_ITEM(o, i), /*owned=*/false)) return kErrorSet;
    }
    return {};
  }
  pins.before_foreign_code();  // __len__, __iter__ and __next__ are the caller's code
  reserve(size_hint(o));
  PyRef iter = PyRef::steal(PyObject_GetIter(o));
  if (!iter) return kErrorSet;
  while (PyObject* next = PyIter_Next(iter.get())) {
    if (!item(next, /*owned=*/true)) return kErrorSet;
  }
  if (PyErr_Occurred()) return kErrorSet;
  return {};
}

}  // namespace

PyResult<std::uint64_t> to_count(PyObject* o, Pins& pins) {
  if (PyLong_Check(o)) return unsigned_of(o);
  pins.before_foreign_code();
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return kErrorSet;
  return unsigned_of(index.get());
}

PyResult<void> convert(PyObject* o, std::uint64_t& out, Pins& pins) {
  auto v = to_count(o, pins);
  if (!v) return std::unexpected(v.error());
  out = *v;
  return {};
}

PyResult<void> convert(PyObject* o, double& out, Pins& pins) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return {};
  }
  if (!PyLong_CheckExact(o)) pins.before_foreign_code();  // __float__ or __index__ may run
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return kErrorSet;
  out = v;
  return {};
}

PyResult<void> convert(PyObject* o, float& out, Pins& pins) {
  double v = 0.0;
  if (auto r = convert(o, v, pins); !r) return r;
  out = narrow_to_float(v);
  return {};
}

PyResult<void> convert(PyObject* o, bool& out, Pins& pins) {
  if (PyBool_Check(o)) {
    out = o == Py_True;
    return {};
  }
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr &&
      is_numpy_bool_type(type)) {
    // NumPy's own slot runs no Python code; an impostor's __bool__ might.
    if (!is_numpy_bool_scalar(o)) pins.before_foreign_code();
    const int v = type->tp_as_number->nb_bool(o);
    if (v < 0) return kErrorSet;
    out = v != 0;
    return {};
  }
  return std::unexpected(cannot_convert(o, "PyBool"));
}

PyResult<void> convert(PyObject* o, std::string_view& out, Pins& /*pins*/) {
  if (auto r = check_text(o); !r) return r;
  out = utf8_of(o);  // the argument object itself outlives the call's use of it
  return {};
}

PyResult<void> convert(PyObject* o, TextList& out, Pins& pins) {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    if (const TextList* checked = pins.reading(o)) {  // unchanged since it was checked
      out.live_ = o;
      out.all_exact_ = checked->all_exact_;
      out.size_ = checked->size_;
      pins.hold(out);
      return {};
    }
    // Checking runs no Python code, so the items stay those checked and are read in place.
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o));
    PyObject* const* items = PySequence_Fast_ITEMS(o);
    bool all_exact = true;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kListFetchAhead < n) __builtin_prefetch(items[i + kListFetchAhead]);
      if (!is_plain_text(items[i])) [[unlikely]] {
        if (auto r = check_text(items[i]); !r) return r;
        all_exact = all_exact && PyUnicode_CheckExact(items[i]);
      }
    }
    out.live_ = o;
    out.all_exact_ = all_exact;
    out.size_ = n;
    pins.hold(out);
    return {};
  }
  auto r = for_each_element(
      o, pins, [&](Py_ssize_t n) { out.owned_.reserve(static_cast<std::size_t>(n)); },
      [&](PyObject* element, bool /*owned*/) {
        PyRef held = PyRef::steal(element);  // only iterators reach here: a new reference
        if (!check_text(element)) return false;
        out.owned_.push_back(std::move(held));
        return true;
      });
  if (!r) return r;
  out.size_ = out.owned_.size();
  return {};
}

PyResult<void> convert(PyObject* o, std::vector<std::uint64_t>& out, Pins& pins) {
  return for_each_element(
      o, pins, [&](Py_ssize_t n) { out.reserve(static_cast<std::size_t>(n)); },
      [&](PyObject* element, bool owned) {
        // Hold the element: its own __index__ may drop the list's reference to it.
        PyRef held = owned ? PyRef::steal(element) : PyRef::borrow(element);
        auto v = to_count(held.get(), pins);
        if (!v) return false;
        out.push_back(*v);
        return true;
      });
}

PyObject* Converter::present(std::size_t i) const {
  PyObject* o = slots_[i];
  if (o == Py_None && sig_.params[i].none_is_absent) return nullptr;
  return o;
}

bool Converter::run(std::size_t i, PyResult<void> converted) {
  if (converted) {
    refs_[i] = PyRef::borrow(slots_[i]);
    return true;
  }
  (void)name_type_error(sig_.params[i].name);
  return false;
}

}  // namespace quantelle::py
