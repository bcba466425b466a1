#include "veskline_core/lib/errors.h"

#include "veskline_core/lib/call_frame.h"

namespace vesk::py {

namespace {

// One-time cell: filled once under the interpreter lock; if creating the
// exception let another thread fill it first, the first value wins.
PyObject* exception_cell(PyObject*& cell, const char* qualified_name) {
  if (cell != nullptr) return cell;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified_name, nullptr, PyExc_RuntimeError, nullptr);
  if (type == nullptr) VESK_FAULT("Failed to initialize new exception type.");
  if (cell != nullptr) {
    Py_DECREF(type);
  } else {
    cell = type;
  }
  return cell;
}

PyObject* timeout_cell = nullptr;
PyObject* recovered_cell = nullptr;

}  // namespace

PyObject* timeout_error_type() {
  return exception_cell(timeout_cell, "veskline_core.TimeoutError");
}

PyObject* lock_recovered_type() {
  return exception_cell(recovered_cell, "veskline_core.LockRecovered");
}

PyObject* raise_error(const char* prefix, const RingError& error) {
  switch (error.kind()) {
    case RingError::Kind::Stopped:
      return fail_with_pending();
    case RingError::Kind::OutOfMemory:
      return PyErr_NoMemory();
    default:
      return raise_runtime((std::string(prefix) + error.text()).c_str());
  }
}

PyObject* raise_runtime(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return nullptr;
}

PyObject* raise_lock_recovered() {
  PyErr_SetString(lock_recovered_type(), "Lock recovered from dead process");
  return nullptr;
}

}  // namespace vesk::py
