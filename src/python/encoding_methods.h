// The methods of the Quorvane class that ask what the tokenizer does with
// text: encoding words, finding unreachable tokens, additions that encode as
// themselves. The class's method table (editor_type.cc) lists them.
#pragma once

#include "python/py.h"

namespace quorvane::py {

PyObject* tokenize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tokenize_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unreachable_tokens(PyObject* self, PyObject*);
PyObject* add_tokens_reachable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* prepare_encoder(PyObject* self, PyObject*);

extern const char kTokenizeDoc[];
extern const char kTokenizeBatchDoc[];
extern const char kUnreachableTokensDoc[];
extern const char kAddTokensReachableDoc[];
extern const char kPrepareEncoderDoc[];

}  // namespace quorvane::py
