#pragma once
// Parameter tables: one row per parameter with its name, its default (or none) and its
// destination, a member of the call's request (what the logic reads) or of the call itself (what
// stays at the boundary). The destination's type picks the converter (converters.h); the
// binder's view of the parameters is derived from the rows, and the docstring's text signature
// is checked against them at compile time.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "module/binder.h"
#include "module/converters.h"

namespace quantelle::py {

struct Required {};     // no default: the caller must pass it
struct NoneDefault {};  // default None: leaving it out and passing None are the same

template <class Owner, class T, class Default>
struct Row {
  std::string_view name;
  T Owner::*member;
  Default fallback;
};

template <class Owner, class T>
constexpr Row<Owner, T, Required> required(std::string_view name, T Owner::*member) {
  return {name, member, {}};
}
template <class Owner, class T>
constexpr Row<Owner, std::optional<T>, NoneDefault> none_default(
    std::string_view name, std::optional<T> Owner::*member) {
  return {name, member, {}};
}
template <class Owner, class T>
constexpr Row<Owner, T, T> with_default(std::string_view name, T Owner::*member,
                                        std::type_identity_t<T> fallback) {
  return {name, member, fallback};
}

template <class Owner, class T, class D>
constexpr Param param_of(const Row<Owner, T, D>& row) {
  return Param{row.name, std::is_same_v<D, Required>, std::is_same_v<D, NoneDefault>};
}

// The binder's table, in row order.
template <class Table>
constexpr auto params_of(const Table& table) {
  return std::apply([](const auto&... row) { return std::array{param_of(row)...}; }, table);
}

template <std::size_t N>
constexpr std::size_t index_of(const std::array<Param, N>& params, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i)
    if (params[i].name == name) return i;
  return N;
}

// Where a row's value goes: a member of the call, or of the call's request.
template <class Call, class Owner, class T>
constexpr T& destination(Call& call, T Owner::*member) {
  if constexpr (std::is_same_v<Owner, Call>) {
    return call.*member;
  } else {
    return call.request.*member;
  }
}

// Converts every row in order into call; a row left out takes its default. before(call, i)
// runs ahead of row i. False once a conversion failed (the error is set and named).
template <class Call, class Table, class Before>
[[nodiscard]] bool convert_rows(Converter& convert, Call& call, const Table& table,
                                Before&& before) {
  std::size_t i = 0;
  return std::apply(
      [&](const auto&... row) {
        return ([&] {
          auto& out = destination(call, row.member);
          using D = std::remove_cvref_t<decltype(row.fallback)>;
          if constexpr (!std::is_same_v<D, Required> && !std::is_same_v<D, NoneDefault>) {
            out = row.fallback;
          }
          before(call, i);
          return convert(i++, out);
        }() && ...);
      },
      table);
}

// Binding and conversion of one call, the preamble every entry shares. refs[i] holds argument i,
// which the call's views may read, for as long as refs lives.
template <class Call, class Table, std::size_t Refs, class Before>
[[nodiscard]] PyResult<void> bind_and_convert(const Signature& sig, const Table& table,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, Call& call,
                                              std::array<PyRef, Refs>& refs, Before&& before,
                                              Pins* pins = nullptr) {
  static_assert(Refs >= std::tuple_size_v<Table>, "a reference slot for every row");
  std::array<PyObject*, std::tuple_size_v<Table>> slots{};
  if (auto r = bind(sig, args, nargs, kwnames, slots); !r) return r;
  Converter converter(sig, slots, refs, pins);
  if (!convert_rows(converter, call, table, before)) return kErrorSet;
  return {};
}

template <class Call, class Table, std::size_t Refs>
[[nodiscard]] PyResult<void> bind_and_convert(const Signature& sig, const Table& table,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, Call& call,
                                              std::array<PyRef, Refs>& refs) {
  return bind_and_convert(sig, table, args, nargs, kwnames, call, refs, [](Call&, std::size_t) {});
}

// The compile-time check that a docstring's first line, "name(p1, p2=default, ...)", names the
// rows in order with their defaults.
namespace signature_check {

// Plain loops instead of string_view's find and compare: GCC's UBSan instruments those with
// checks that are not constant expressions.
constexpr std::size_t find(std::string_view t, char c, std::size_t from = 0) {
  for (std::size_t i = from; i < t.size(); ++i)
    if (t[i] == c) return i;
  return std::string_view::npos;
}
constexpr bool same(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

constexpr bool parse_decimal(std::string_view t, double& out) {
  if (t.empty()) return false;
  double whole = 0.0, scale = 1.0;
  bool point = false, digit = false;
  for (char c : t) {
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      whole = whole * 10.0 + (c - '0');  // exact for the short defaults of a signature
      if (point) scale *= 10.0;
      digit = true;
    } else {
      return false;
    }
  }
  out = whole / scale;  // one correctly rounded division: the double nearest the text
  return digit;
}

constexpr bool matches(std::string_view t, Required) { return t.empty(); }
constexpr bool matches(std::string_view t, NoneDefault) { return same(t, "None"); }
constexpr bool matches(std::string_view t, bool v) { return same(t, v ? "True" : "False"); }
constexpr bool matches(std::string_view t, std::uint64_t v) {
  double d = 0.0;
  return find(t, '.') == std::string_view::npos && parse_decimal(t, d) &&
         d == static_cast<double>(v);
}
constexpr bool matches(std::string_view t, double v) {
  double d = 0.0;
  return find(t, '.') != std::string_view::npos && parse_decimal(t, d) && d == v;
}
constexpr bool matches(std::string_view t, float v) {
  double d = 0.0;
  return find(t, '.') != std::string_view::npos && parse_decimal(t, d) &&
         static_cast<float>(d) == v;
}

}  // namespace signature_check

template <class Table>
constexpr bool signature_agrees(std::string_view doc, std::string_view function,
                                const Table& table) {
  using signature_check::find;
  using signature_check::same;
  const std::size_t open = function.size();
  if (doc.size() <= open || !same(doc.substr(0, open), function) || doc[open] != '(') return false;
  const std::size_t close = find(doc, ')');
  if (close == std::string_view::npos) return false;
  std::string_view rest = doc.substr(open + 1, close - open - 1);
  bool ok = true;
  std::apply(
      [&](const auto&... row) {
        ([&] {
          std::size_t comma = find(rest, ',');
          const std::string_view item = rest.substr(0, comma);
          rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
          if (!rest.empty() && rest[0] == ' ') rest = rest.substr(1);
          const std::size_t eq = find(item, '=');
          const std::string_view name = item.substr(0, eq);
          const std::string_view fallback =
              eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
          ok = ok && same(name, row.name) && signature_check::matches(fallback, row.fallback);
        }(), ...);
      },
      table);
  return ok && rest.empty();
}

}  // namespace quantelle::py
