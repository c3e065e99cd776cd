#pragma once
// A refusal of the logic is data: the boundary raises it as the named Python exception.
#include <cstdint>
#include <expected>
#include <string>

namespace quantelle {

enum class ExcKind : std::uint8_t { ValueError };

struct Failure {
  ExcKind kind;
  std::string message;
};

template <class T>
using Outcome = std::expected<T, Failure>;

}  // namespace quantelle
