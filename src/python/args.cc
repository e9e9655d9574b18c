#include "python/args.h"

#include <algorithm>
#include <limits>

namespace quorvane::py {

namespace {

// ---- matching

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.callable, sig.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.callable, sig.required, sig.count, given, verb);
  }
  return false;
}

bool place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
  std::fill(out, out + sig.count, nullptr);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  std::copy(args, args + nargs, out);
  return true;
}

bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.callable);
    return false;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable,
                   sig.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.callable, name);
  return false;
}

// Names the required parameters still unfilled, Python style:
// "'a'", "'a' and 'b'", "'a', 'b' and 'c'".
bool check_missing(const Signature& sig, PyObject* const* out) {
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return true;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += i + 1 == missing.size() ? " and " : ", ";
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", sig.callable,
               static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
               names.c_str());
  return false;
}

// ---- conversion


// Raises TypeError "'{type}' object cannot be converted to '{target}'".
bool wrong_type(PyObject* obj, const char* target) {
  PyRef name = type_name(obj);
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  }
  return false;
}

// Puts "argument '{name}': " before the message of a pending TypeError, keeping
// the original as the cause. Other exceptions pass unchanged. Returns false.
bool argument_failed(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type = PyRef::steal(type);
  PyRef original = PyRef::steal(value);
  PyRef original_traceback = PyRef::steal(traceback);
  if (original_traceback) PyException_SetTraceback(original.get(), original_traceback.get());
  PyRef message = PyRef::steal(PyObject_Str(original.get()));
  if (!message) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyException_SetCause(value, original.release());  // steals
  PyErr_Restore(type, value, traceback);
  return false;
}

bool text_value(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return wrong_type(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // UnicodeEncodeError on surrogates
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool token_list_value(PyObject* obj, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return wrong_type(obj, "Sequence");
  // The length is only a capacity hint: iteration decides what is converted.
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  std::vector<std::string> tokens;
  tokens.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 20)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::string_view token;
    if (!text_value(item.get(), token)) return false;
    tokens.emplace_back(token);
  }
  if (PyErr_Occurred()) return false;
  out = std::move(tokens);
  return true;
}

bool unsigned_value(PyObject* obj, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

}  // namespace

PyRef type_name(PyObject* obj) {
  return PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
}

bool wrong(PyObject* obj, const char* name, const char* what) {
  if (PyRef type = type_name(obj)) PyErr_Format(PyExc_TypeError, "argument '%s': %s, not %U", name, what, type.get());
  return false;
}

bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
  if (!place_positional(sig, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  std::fill(out, out + sig.count, nullptr);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool to_text(PyObject* obj, const char* name, std::string_view& out) {
  if (obj == nullptr) return true;
  return text_value(obj, out) || argument_failed(name);
}

bool to_token_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
  if (obj == nullptr) return true;
  return token_list_value(obj, out) || argument_failed(name);
}

bool to_optional_token_list(PyObject* obj, const char* name,
                            std::optional<std::vector<std::string>>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::vector<std::string> tokens;
  if (!to_token_list(obj, name, tokens)) return false;
  out = std::move(tokens);
  return true;
}

bool to_id(PyObject* obj, const char* name, TokenId& out) {
  if (obj == nullptr) return true;
  std::uint64_t value = 0;
  if (!unsigned_value(obj, value)) return argument_failed(name);
  if (value > std::numeric_limits<TokenId>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<TokenId>(value);
  return true;
}

bool to_count(PyObject* obj, const char* name, std::uint64_t& out) {
  if (obj == nullptr) return true;
  return unsigned_value(obj, out) || argument_failed(name);
}

}  // namespace quorvane::py
