#include "core/fault.h"

#include <utility>

namespace quantelle {

void raise_fault(std::string message, std::source_location where) {
  throw Fault{std::move(message), where};
}

void raise_index_fault(std::size_t len, std::size_t index, std::source_location where) {
  raise_fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index),
              where);
}

}  // namespace quantelle
