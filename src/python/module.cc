// The module quorvane: creates the classes into the module state and
// registers them, then __version__; its functions (gguf_methods.h) come from
// the definition's method table. Multi-phase initialisation: a failing
// step fails the import with that step's error and no module is kept.
#include "python/gguf_methods.h"
#include "python/objects.h"

namespace quorvane::py {

namespace {

int exec_module(PyObject* module) {
  ModuleState* state = module_state(module);
  auto add_type = [module](PyType_Spec* spec, PyTypeObject*& slot) {
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
    return slot != nullptr && PyModule_AddType(module, slot) == 0;
  };
  if (!add_type(editor_type_spec(), state->editor_type)) return -1;
  if (install_from_json(state->editor_type) < 0) return -1;
  for (std::size_t kind = 0; kind < kResultKinds; ++kind) {
    if (!add_type(result_type_spec(static_cast<ResultKind>(kind)), state->result_types[kind])) {
      return -1;
    }
  }
  return PyModule_AddStringConstant(module, "__version__", "0.2.0");
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->editor_type);
  for (PyTypeObject* type : state->result_types) Py_VISIT(type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->editor_type);
  for (PyTypeObject*& type : state->result_types) Py_CLEAR(type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    "Python module for Quorvane",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace quorvane::py

PyMODINIT_FUNC PyInit_quorvane(void) {
  quorvane::py::module_def.m_methods = quorvane::py::gguf_functions();
  return PyModuleDef_Init(&quorvane::py::module_def);
}
