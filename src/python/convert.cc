#include "python/convert.h"

namespace quorvane::py {

PyRef to_py(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef to_py(std::uint64_t value) {
  return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

PyRef to_py(std::uint32_t value) {
  return PyRef::steal(PyLong_FromUnsignedLong(value));
}

PyRef to_py(bool value) {
  return PyRef::steal(PyBool_FromLong(value));
}

PyRef to_py(const VocabEntry& entry) {
  return make_tuple(to_py(entry.token), to_py(entry.id));
}

PyRef to_py(const InvalidMerge& merge) {
  return make_tuple(to_py(merge.position), to_py(merge.left), to_py(merge.right));
}

PyRef to_py(const std::string& text) { return to_py(std::string_view(text)); }

PyRef to_py(const UnreachableToken& u) {
  return make_tuple(to_py(u.token), to_py(u.id), to_py(u.pieces));
}

PyRef to_py(const MovedAddedToken& m) {
  return make_tuple(to_py(m.content), to_py(m.old_id), to_py(m.new_id));
}

PyRef to_py(const std::optional<std::string>& text) {
  if (!text) return PyRef::borrow(Py_None);
  return to_py(std::string_view(*text));
}

PyRef to_py(const Merge& merge) {
  return make_tuple(to_py(merge.left), to_py(merge.right));
}

}  // namespace quorvane::py
