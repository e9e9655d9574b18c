#include "python/errors.h"

#include <string>

namespace quorvane::py {

namespace {

struct FailureKind {
  PyObject* exception_class;
  const char* prefix;
};

FailureKind kind_of(Failure failure) {
  switch (failure) {
    case Failure::kLoad:
      return {PyExc_OSError, "Failed to load tokenizer: "};
    case Failure::kLoadSource:
      return {PyExc_OSError, "Failed to load source tokenizer: "};
    case Failure::kFromJson:
      return {PyExc_ValueError, ""};
    case Failure::kSave:
      return {PyExc_OSError, "Failed to save tokenizer: "};
    case Failure::kSerialize:
      return {PyExc_ValueError, "Failed to serialize: "};
    case Failure::kMerge:
      return {PyExc_ValueError, "Failed to merge tokenizer: "};
    case Failure::kTokenize:
      return {PyExc_ValueError, "Failed to tokenize: "};
    case Failure::kLearn:
      return {PyExc_ValueError, ""};
    case Failure::kSplitter:
      return {PyExc_NotImplementedError, "Cannot split text as this tokenizer does: "};
    case Failure::kSplit:
      return {PyExc_ValueError, "Failed to split text: "};
    case Failure::kGgufFile:
      return {PyExc_OSError, "Failed to read GGUF: "};
    case Failure::kGgufFormat:
      return {PyExc_ValueError, "Failed to read GGUF: "};
    case Failure::kScoreMerges:
      return {PyExc_ValueError, ""};
  }
  return {PyExc_SystemError, ""};
}

}  // namespace

PyObject* raise_failure(Failure failure, const Error& error, int errno_value) {
  const FailureKind kind = kind_of(failure);
  const std::string text = kind.prefix + error.message;
  // Messages quote paths and parser input; never let a stray byte turn the
  // report into a UnicodeDecodeError.
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  if (errno_value != 0 && kind.exception_class == PyExc_OSError) {
    // OSError(errno, message) picks the subclass for the errno.
    PyRef error_object = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", errno_value, message.get()));
    if (error_object) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error_object.get())), error_object.get());
    return nullptr;
  }
  PyErr_SetObject(kind.exception_class, message.get());
  return nullptr;
}

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: out of memory too.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "quorvane: internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quorvane: internal error");
  }
}

}  // namespace quorvane::py
