// The result classes, and the only way their instances come to be.
//
// Each new_result takes over a core record and returns a new object of its
// class (a new reference), or nullptr with the exception set. The object keeps
// the record and converts a field on every read, so a list field is a fresh
// list each time and nothing the caller does to it reaches the object.
#pragma once

#include "python/objects.h"

namespace quorvane::py {

PyObject* new_result(ModuleState* state, ValidationReport&& record);
PyObject* new_result(ModuleState* state, AdditionRecord&& record);
PyObject* new_result(ModuleState* state, RemovalRecord&& record);
PyObject* new_result(ModuleState* state, ShrinkRecord&& record);
PyObject* new_result(ModuleState* state, MergeRecord&& record);
PyObject* new_result(ModuleState* state, TokenizerStats&& record);
PyObject* new_result(ModuleState* state, ReindexRecord&& record);
PyObject* new_result(ModuleState* state, ReachableRecord&& record);
PyObject* new_result(ModuleState* state, ExtendRecord&& record);
PyObject* new_result(ModuleState* state, PruneRecord&& record);

}  // namespace quorvane::py
