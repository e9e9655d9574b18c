// C++ values to new Python objects.
//
// Every to_py returns a new reference, or an empty PyRef with the exception
// set. Token strings are valid UTF-8 (the reader checks files and JSON
// escapes; everything else comes from Python str objects).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "editor/encode/unreachable.h"
#include "editor/management/queries/queries.h"
#include "editor/management/state/vocabulary.h"
#include "editor/placement/placement.h"
#include "python/py.h"

namespace quorvane::py {

PyRef to_py(std::string_view text);
PyRef to_py(const std::string& text);
PyRef to_py(std::uint64_t value);
PyRef to_py(std::uint32_t value);
PyRef to_py(bool value);
PyRef to_py(const VocabEntry& entry);     // (token, id)
PyRef to_py(const InvalidMerge& merge);   // (position, left, right)
PyRef to_py(const Merge& merge);          // (left, right)
PyRef to_py(const UnreachableToken& u);   // (token, id, pieces)
PyRef to_py(const MovedAddedToken& m);    // (content, old id, new id)
PyRef to_py(const std::optional<std::string>& text);  // str or None

template <typename A, typename B>
PyRef to_py(const std::pair<A, B>& pair);
template <typename T>
PyRef to_py(const std::vector<T>& items);

// A tuple of the given items, which it takes over; empty if any item is.
template <typename... Items>
PyRef make_tuple(Items&&... items) {
  if ((!items || ...)) return {};
  PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(items)));
  if (!tuple) return {};
  Py_ssize_t i = 0;
  (PyTuple_SetItem(tuple.get(), i++, items.release()), ...);  // steals
  return tuple;
}

template <typename A, typename B>
PyRef to_py(const std::pair<A, B>& pair) {
  return make_tuple(to_py(pair.first), to_py(pair.second));
}

template <typename T>
PyRef to_py(const std::vector<T>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyRef item = to_py(items[i]);
    if (!item) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

}  // namespace quorvane::py
