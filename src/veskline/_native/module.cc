// veskline._native: the veskline package's own binding of the native layer.
//
// Multi-phase initialisation; the module keeps no state of its own, so it can
// be loaded in several interpreters. Each part (parts.h) adds its functions
// and types when the module is executed.
#include <Python.h>

#include <initializer_list>

#include "veskline/_native/parts.h"

namespace veskline::native {
namespace {

int exec_module(PyObject* module) {
  using AddPart = int (*)(PyObject*);
  for (AddPart add : {add_info, add_ring_queue, add_object_queue, add_inspect, add_ring_watch,
                      add_lock, add_zero_copy}) {
    if (add(module) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veskline._native",
    "The native layer of veskline.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace veskline::native

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&veskline::native::module_def);
}
