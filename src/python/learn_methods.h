// The methods of the Quorvane class that learn from the user's text: new
// tokens by continued training, and pruning the leaves the text needs least.
// The words come already counted (quorvane_cli.wordcount reads text). The
// class's method table (editor_type.cc) lists them.
#pragma once

#include "python/py.h"

namespace quorvane::py {

PyObject* extend_vocabulary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* prune_leaves(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kExtendVocabularyDoc[];
extern const char kPruneLeavesDoc[];

}  // namespace quorvane::py
