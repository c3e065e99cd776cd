#include "engine/frozen.h"

#include "module/numpy_api.h"
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace quantelle::py {
namespace {

constexpr std::size_t kAlignment = 64;  // a cache line: the scans' loads never split one

// Buffers this large are mapped on their own, on huge-page boundaries, and asked for huge pages
// (as NumPy does for its arrays from 4 MiB): a scan of 4 KiB pages walks the page tables every
// 64 rows of 384 floats, and that cost the engine 5 to 7 % of a 150 MB scan against the same
// rows in a NumPy array on a Zen 3 guest.
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct FrozenBuffer {
  PyObject_HEAD
  std::byte* memory;
  Py_ssize_t size;
  Py_ssize_t sealed;  // bytes below this may be read by a search: never written again
  std::size_t mapped;  // bytes mapped at memory for a large buffer, 0 for one from calloc
};

FrozenBuffer* as_buffer(PyObject* o) { return reinterpret_cast<FrozenBuffer*>(o); }

// Zeroed memory of `bytes` (a multiple of kHugePage) at a huge-page boundary, or nullptr. Mapped
// pages cost nothing until written, as calloc's do.
std::byte* map_huge(std::size_t bytes) noexcept {
  void* raw = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto* start = static_cast<std::byte*>(raw);
  const std::size_t lead = (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
  if (lead > 0) munmap(start, lead);
  munmap(start + lead + bytes, kHugePage - lead);
  madvise(start + lead, bytes, MADV_HUGEPAGE);  // advice only: 4 KiB pages where it is refused
  return start + lead;
}

PyObject* frozen_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"size", nullptr};
  Py_ssize_t size = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n:FrozenBuffer", const_cast<char**>(names),
                                   &size)) {
    return nullptr;
  }
  if (size < 0) {
    PyErr_SetString(PyExc_ValueError, "a FrozenBuffer's size must be 0 or more");
    return nullptr;
  }
  const auto bytes = static_cast<std::size_t>(size);
  if (bytes >= kHugeFrom) {
    const std::size_t mapped = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (mapped < bytes) return PyErr_NoMemory();
    std::byte* memory = map_huge(mapped);
    if (memory == nullptr) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      munmap(memory, mapped);
      return nullptr;
    }
    FrozenBuffer* b = as_buffer(self);
    b->memory = memory;
    b->size = size;
    b->sealed = 0;
    b->mapped = mapped;
    return self;
  }
  const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  if (rounded < bytes) return PyErr_NoMemory();
  // calloc's zero pages cost nothing until written, so spare capacity is cheap; aligned by
  // hand, as there is no aligned calloc.
  auto* raw = static_cast<std::byte*>(std::calloc(rounded + kAlignment, 1));
  if (raw == nullptr) return PyErr_NoMemory();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    std::free(raw);
    return nullptr;
  }
  const std::size_t skip = kAlignment - reinterpret_cast<std::uintptr_t>(raw) % kAlignment;
  FrozenBuffer* b = as_buffer(self);
  b->memory = raw + skip;
  static_assert(kAlignment > 1 && kAlignment < 256);
  b->memory[-1] = static_cast<std::byte>(skip);  // where the allocation starts, for free()
  b->size = size;
  b->sealed = 0;
  b->mapped = 0;
  return self;
}

void frozen_dealloc(PyObject* self) {
  FrozenBuffer* b = as_buffer(self);
  if (b->mapped > 0) {
    munmap(b->memory, b->mapped);
  } else {
    std::free(b->memory - static_cast<std::size_t>(b->memory[-1]));
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // a heap type's instances own a reference to it
}

int frozen_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a FrozenBuffer is read-only");
    view->obj = nullptr;
    return -1;
  }
  FrozenBuffer* b = as_buffer(self);
  return PyBuffer_FillInfo(view, self, b->memory, b->size, 1, flags);
}

// write(offset, data): copies a C-contiguous buffer to offset, which must lie past the sealed
// part; the memory is the buffer's own, so this is the one way to change it.
PyObject* frozen_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "write() takes 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  const Py_ssize_t offset = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
  if (offset == -1 && PyErr_Occurred()) return nullptr;
  Py_buffer data;
  if (PyObject_GetBuffer(args[1], &data, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  FrozenBuffer* b = as_buffer(self);
  PyObject* out = nullptr;
  if (offset < b->sealed) {
    PyErr_Format(PyExc_ValueError, "write at byte %zd: the first %zd bytes are sealed", offset,
                 b->sealed);
  } else if (offset > b->size || data.len > b->size - offset) {
    PyErr_Format(PyExc_ValueError, "write of %zd bytes at byte %zd: the buffer holds %zd",
                 data.len, offset, b->size);
  } else {
    if (data.len > 0) std::memcpy(b->memory + offset, data.buf, static_cast<std::size_t>(data.len));
    out = Py_NewRef(Py_None);
  }
  PyBuffer_Release(&data);
  return out;
}

// seal(upto): the first upto bytes are never written again (searches may read them).
PyObject* frozen_seal(PyObject* self, PyObject* arg) {
  const Py_ssize_t upto = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
  if (upto == -1 && PyErr_Occurred()) return nullptr;
  FrozenBuffer* b = as_buffer(self);
  if (upto < 0 || upto > b->size) {
    PyErr_Format(PyExc_ValueError, "seal(%zd): the buffer holds %zd bytes", upto, b->size);
    return nullptr;
  }
  if (upto > b->sealed) b->sealed = upto;
  return Py_NewRef(Py_None);
}

PyObject* frozen_sealed(PyObject* self, void*) { return PyLong_FromSsize_t(as_buffer(self)->sealed); }
PyObject* frozen_size(PyObject* self, void*) { return PyLong_FromSsize_t(as_buffer(self)->size); }

template <auto Fn>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Fn));
}

PyMethodDef g_methods[] = {
    {"write", as_cfunction<&frozen_write>(), METH_FASTCALL,
     "write($self, offset, data, /)\n--\n\nCopy data (a C-contiguous buffer) to offset, past the sealed part."},
    {"seal", as_cfunction<&frozen_seal>(), METH_O,
     "seal($self, upto, /)\n--\n\nNever let the first upto bytes be written again."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"size", frozen_size, nullptr, "Bytes held.", nullptr},
    {"sealed", frozen_sealed, nullptr, "Bytes that are never written again.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "FrozenBuffer(size)\n--\n\nAligned memory exported read-only: an array over "
                    "it can never be made writeable.")},
    {Py_tp_new, reinterpret_cast<void*>(&frozen_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&frozen_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&frozen_getbuffer)},
    {0, nullptr},
};

PyType_Spec g_spec = {"quantelle._engine.FrozenBuffer", sizeof(FrozenBuffer), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

PyTypeObject* g_type = nullptr;

// Whether asking o for a buffer runs only native code. A class defined in Python (or any type
// whose slots Python code may still replace) can export through __buffer__, which could run
// anything, the caller's arguments changed under the call among it; such memory counts as
// writable.
bool exports_natively(PyObject* o) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  return !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE);
}

// NumPy's own rule for making an array writeable, read the other way round.
bool writable_end(PyObject* base) {
  Py_buffer view;
  if (PyObject_GetBuffer(base, &view, PyBUF_WRITABLE) < 0) {
    PyErr_Clear();
    return false;
  }
  PyBuffer_Release(&view);
  return true;
}

}  // namespace

PyTypeObject* frozen_buffer_type() noexcept {
  if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
  return g_type;
}

PyResult<bool> is_frozen(PyObject* array) {
  if (!numpy_api_loaded()) {
    if (auto r = load_numpy_api(); !r) return std::unexpected(r.error());
  }
  PyObject* o = array;
  if (!PyArray_Check(o)) return false;
  for (;;) {
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_ISWRITEABLE(a) || PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA)) return false;
    PyObject* base = PyArray_BASE(a);
    if (base == nullptr) return false;  // wraps memory of unknown origin
    if (!PyArray_Check(base)) return exports_natively(base) && !writable_end(base);
    o = base;
  }
}

}  // namespace quantelle::py
