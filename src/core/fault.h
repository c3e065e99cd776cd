#pragma once
// Internal faults: broken preconditions that are deliberately not checked up front. They unwind
// to the module's entry point, which raises them as the panic exception.
#include <cstddef>
#include <source_location>
#include <string>

namespace quantelle {

struct Fault {
  std::string message;
  std::source_location where;
};

[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

inline void expect(bool ok, const char* what,
                   std::source_location where = std::source_location::current()) {
  if (!ok) [[unlikely]] raise_fault(what, where);
}

// A list read past its end: "index out of bounds: the len is {len} but the index is {index}".
[[noreturn]] void raise_index_fault(std::size_t len, std::size_t index,
                                    std::source_location where = std::source_location::current());

inline void expect_index(std::size_t index, std::size_t len,
                         std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]] raise_index_fault(len, index, where);
}

// A row position past the matrix, in the words of the row gathers.
inline void expect_row(std::size_t row, std::size_t rows,
                       std::source_location where = std::source_location::current()) {
  if (row >= rows) [[unlikely]] raise_fault("assertion failed: index < dim", where);
}

}  // namespace quantelle
