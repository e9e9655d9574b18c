// Every object struct of the module, and the module state.
//
// Types are heap types created from specs into the module state; nothing is a
// static PyTypeObject, so each interpreter that imports the module gets its
// own types. No type accepts subclasses: a method can therefore always find
// the module state through PyType_GetModuleState(Py_TYPE(self)).
//
// Objects hold C++ values and no Python references, so none of them takes
// part in garbage collection. Their memory comes zero-filled from tp_alloc;
// the C++ members are constructed in place right after and destroyed in
// tp_dealloc, which then frees through the type's Py_tp_free slot and drops
// the instance's reference to its heap type.
#pragma once

#include <cstddef>
#include <type_traits>

#include "editor/addition/addition.h"
#include "editor/learn/extend.h"
#include "editor/learn/prune.h"
#include "editor/management/queries/queries.h"
#include "editor/management/state/editor.h"
#include "editor/merge/merge.h"
#include "editor/reachable/reachable.h"
#include "editor/reindex/reindex.h"
#include "editor/removal/removal.h"
#include "editor/shrink/shrink.h"
#include "python/py.h"

namespace quorvane::py {

// The result classes in module registration order.
enum class ResultKind {
  kValidation,
  kAddition,
  kRemoval,
  kShrink,
  kMerge,
  kStats,
  kReindex,
  kReachable,
  kExtend,
  kPrune,
};
inline constexpr std::size_t kResultKinds = 10;

struct ModuleState {
  PyTypeObject* editor_type;
  PyTypeObject* result_types[kResultKinds];  // indexed by ResultKind
};

// A Quorvane object. `editor` is set once creation has succeeded and owned
// until dealloc. `access` is the access flag: 0 free, n > 0 held by n readers,
// -1 held by one writer (see access.h).
struct EditorObject {
  PyObject_HEAD
  Editor* editor;
  Py_ssize_t access;
};

// A result object stores the core's record and converts a field on each read.
template <typename Record>
struct ResultObject {
  PyObject_HEAD
  Record record;
};

// Which record each result class stores.
template <ResultKind K> struct RecordOf;
template <> struct RecordOf<ResultKind::kValidation> { using type = ValidationReport; };
template <> struct RecordOf<ResultKind::kAddition> { using type = AdditionRecord; };
template <> struct RecordOf<ResultKind::kRemoval> { using type = RemovalRecord; };
template <> struct RecordOf<ResultKind::kShrink> { using type = ShrinkRecord; };
template <> struct RecordOf<ResultKind::kMerge> { using type = MergeRecord; };
template <> struct RecordOf<ResultKind::kStats> { using type = TokenizerStats; };
template <> struct RecordOf<ResultKind::kReindex> { using type = ReindexRecord; };
template <> struct RecordOf<ResultKind::kReachable> { using type = ReachableRecord; };
template <> struct RecordOf<ResultKind::kExtend> { using type = ExtendRecord; };
template <> struct RecordOf<ResultKind::kPrune> { using type = PruneRecord; };

inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (one of this module's types).
inline ModuleState* type_state(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

inline EditorObject* as_editor(PyObject* self) { return reinterpret_cast<EditorObject*>(self); }

// Specs, one per file that defines a type.
PyType_Spec* editor_type_spec();
// Completes the class made from editor_type_spec(); 0, or -1 with an exception.
int install_from_json(PyTypeObject* editor_type);
PyType_Spec* result_type_spec(ResultKind kind);

}  // namespace quorvane::py
