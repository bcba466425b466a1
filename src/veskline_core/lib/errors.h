// The module's exception types and the one rule by which failures reach Python.
//
// Every failure of a class member becomes RuntimeError("<context prefix><error
// text>"), except the recovery of a lock from a dead holder, which raises
// veskline_core.LockRecovered. veskline_core.TimeoutError exists for callers
// but nothing raises it. Needs the interpreter lock.
#pragma once

#include <Python.h>

#include "veskline_core/shm/error.h"

namespace vesk::py {

// The exception types, created on first use and kept for the process's life.
PyObject* timeout_error_type();
PyObject* lock_recovered_type();

// Sets RuntimeError(prefix + error.text()) and returns NULL. E is any of the
// internal error kinds (anything with text()).
template <class E>
PyObject* raise_error(const char* prefix, const E& error);

// A ring operation's failure. Two are not RuntimeErrors: an operation that a
// signal handler stopped returns the handler's exception, already set, and a
// copy that could not be allocated raises MemoryError (the message stays
// queued).
PyObject* raise_error(const char* prefix, const RingError& error);

PyObject* raise_runtime(const char* message);
PyObject* raise_lock_recovered();

}  // namespace vesk::py

#include <string>

template <class E>
PyObject* vesk::py::raise_error(const char* prefix, const E& error) {
  const std::string message = std::string(prefix) + error.text();
  return raise_runtime(message.c_str());
}
