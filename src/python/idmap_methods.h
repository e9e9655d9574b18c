// The method of the Quorvane class that writes an edit's id map (the JSON
// `--id-map` saves). The class's method table (editor_type.cc) lists it.
#pragma once

#include "python/py.h"

namespace quorvane::py {

PyObject* id_map_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kIdMapJsonDoc[];

}  // namespace quorvane::py
