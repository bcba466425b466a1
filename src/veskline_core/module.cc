// The module entry: one module object per process, refused in a second
// interpreter, holding the four classes and the two exception types.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "veskline_core/lib/call_frame.h"
#include "veskline_core/lib/errors.h"
#include "veskline_core/lib/lock.h"
#include "veskline_core/lib/queue.h"
#include "veskline_core/lib/view.h"
#include "veskline_core/pool/pool_core.h"

namespace vesk::py {

namespace {

// The interpreter that first imported the module; -1 until then. The module
// keeps process-wide state, so it cannot serve a second interpreter.
std::atomic<int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;
PyObject* all_name = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "veskline_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (creating the list on first use) and
// sets the attribute. Returns false with an exception set.
bool register_object(PyObject* module, const char* name, PyObject* object) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return false;
  if (all_name == nullptr) {
    all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) return false;
  }
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(all.get())));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'", type_name.get());
    return false;
  }
  if (PyList_Append(all.get(), key.get()) != 0) VESK_FAULT("could not append __name__ to __all__");
  return PyObject_SetAttr(module, key.get(), object) == 0;
}

bool module_body(PyObject* module) {
  auto as_object = [](PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); };
  return register_object(module, "VeskLock", as_object(lock_type())) &&
         register_object(module, "VeskQueue", as_object(queue_type())) &&
         register_object(module, "VeskView", as_object(view_type())) &&
         register_object(module, "VeskPoolCore", as_object(pool_core_type())) &&
         register_object(module, "LockRecovered", lock_recovered_type()) &&
         register_object(module, "TimeoutError", timeout_error_type());
}

PyObject* init_module() {
  Entry entry;
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fail_with_pending();
  int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "veskline_core does not support subinterpreters: it is already loaded in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (module_cell != nullptr) return Py_NewRef(module_cell);
  Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return fail_with_pending();
  if (!module_body(module.get())) return fail_with_pending();
  if (module_cell == nullptr) module_cell = module.release();
  return Py_NewRef(module_cell);
}

}  // namespace

}  // namespace vesk::py

PyMODINIT_FUNC PyInit_veskline_core(void) {
  return vesk::py::init_module();
}
