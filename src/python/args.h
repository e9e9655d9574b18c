// Python arguments to C++ values: matching and conversion.
//
// A method first matches its call against its Parameters (names in order, the
// first `required` of them without default), which yields one borrowed
// reference per parameter, nullptr for an omitted optional one. Matching
// follows Python's rules and messages, with the callable named as the user
// sees it ("Quorvane.shrink()"). The references stay valid for the whole call:
// the caller's argument array or tuple holds them, and a keyword dict passed
// to tp_new is a fresh dict that no Python code can reach.
//
// Each converter then turns one reference into a C++ value. A converter sets
// the Python exception and returns false on failure; a TypeError it raises is
// prefixed with "argument '{name}': ". Given nullptr (an omitted optional
// parameter) a converter leaves `out` at the default the caller put there.
//
// Lifetimes: the string_view from to_text points into the `str` object and is
// valid while that object lives, i.e. for the call. Token lists are copied,
// since their items are fetched (and can be dropped) one by one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "editor/management/state/vocabulary.h"
#include "python/py.h"

namespace quorvane::py {

struct Signature {
  const char* callable;
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS): keyword values follow
// the positional ones in `args`, their names are in the tuple `kwnames`.
bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);
// tp_new convention: a tuple and an optional dict.
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     PyObject** out);

template <std::size_t N>
struct Parameters {
  using Values = std::array<PyObject*, N>;

  const char* callable;
  std::array<const char*, N> names;
  std::size_t required = N;

  bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Values& out) const {
    return match_arguments(signature(), args, nargs, kwnames, out.data());
  }
  bool match(PyObject* args, PyObject* kwargs, Values& out) const {
    return match_arguments(signature(), args, kwargs, out.data());
  }

 private:
  Signature signature() const {
    return {callable, names.data(), static_cast<Py_ssize_t>(N), static_cast<Py_ssize_t>(required)};
  }
};

// The name of obj's type (a new reference), or nullptr with the exception set.
PyRef type_name(PyObject* obj);

// Raises TypeError "argument '{name}': {what}, not {type of obj}"; returns false.
bool wrong(PyObject* obj, const char* name, const char* what);

// text: a str (or subclass), taken as UTF-8.
bool to_text(PyObject* obj, const char* name, std::string_view& out);
// token list: a sequence of str, not a str itself; converted whole, in order.
bool to_token_list(PyObject* obj, const char* name, std::vector<std::string>& out);
// optional token list: None means no list.
bool to_optional_token_list(PyObject* obj, const char* name,
                            std::optional<std::vector<std::string>>& out);
// id: an int (or __index__) from 0 to 4294967295.
bool to_id(PyObject* obj, const char* name, TokenId& out);
// count: an int (or __index__) from 0 to 18446744073709551615.
bool to_count(PyObject* obj, const char* name, std::uint64_t& out);

}  // namespace quorvane::py
