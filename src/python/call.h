// The call protocol every method of the Quorvane class follows: match the
// arguments, take access, then run the body; C++ exceptions become Python
// ones (errors.h). Shared by the files that define the class's methods.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "python/access.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/objects.h"
#include "python/results.h"

namespace quorvane::py {

// Lets other Python threads run for its scope; nothing in it may touch Python
// objects, and the code in it must not race with what other threads may do
// with the editor meanwhile (see access.h).
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// A method with parameters: match, take access, then run `body(access, argv)`.
template <typename Access, std::size_t N, typename Body>
PyObject* call(PyObject* self, const Parameters<N>& params, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return guarded([&]() -> PyObject* {
    typename Parameters<N>::Values argv;
    if (!params.match(args, nargs, kwnames, argv)) return nullptr;
    Access access(self);
    if (!access.ok()) return nullptr;
    return body(access, argv);
  });
}

// A method or property without parameters.
template <typename Access, typename Body>
PyObject* call(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    Access access(self);
    if (!access.ok()) return nullptr;
    return body(access);
  });
}

inline ModuleState* state_of(PyObject* self) { return type_state(Py_TYPE(self)); }

// A new list holding one result object per record.
template <typename Record>
PyObject* result_list(ModuleState* state, std::vector<Record>&& records) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (Record& record : records) {
    PyRef item = PyRef::steal(new_result(state, std::move(record)));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyCFunction fast(FastMethod f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace quorvane::py
