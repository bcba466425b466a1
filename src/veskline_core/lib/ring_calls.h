// The member bodies shared by the classes that own rings and names: put a
// `bytes` argument, get a message as `bytes`, and remove a name. Each raises
// with the caller's context prefix. The receiver's shared use (held by the
// caller) keeps the ring mapped while the interpreter lock is released.
#pragma once

#include <Python.h>

#include "veskline_core/lib/call_frame.h"
#include "veskline_core/shm/ring_layout.h"

namespace vesk::py {

// Converts `data` (a bytes object) and puts it with the interpreter lock
// released. Returns None, or NULL with an exception set.
PyObject* put_message(const RingHandle& ring, PyObject* data, const char* prefix);

// Gets the oldest message with the interpreter lock released; a new bytes.
PyObject* get_message(const RingHandle& ring, const char* prefix);

// The static unlink(name) of a class whose argument description is `sig`.
PyObject* unlink_name(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames);

}  // namespace vesk::py
