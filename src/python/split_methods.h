// The methods of the Quorvane class that cut text into the words its model is
// given, with the tokenizer's own normalizer and pre-tokenizer: what learning
// from text counts. The class's method table (editor_type.cc) lists them.
#pragma once

#include "python/py.h"

namespace quorvane::py {

PyObject* count_words(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* count_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* split_words(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kCountWordsDoc[];
extern const char kCountTextDoc[];
extern const char kSplitWordsDoc[];

}  // namespace quorvane::py
