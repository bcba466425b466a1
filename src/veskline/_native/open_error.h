// How a ring that could not be opened or created is reported to Python.
#pragma once

#include <Python.h>

#include "veskline_core/shm/ring_layout.h"

namespace veskline::native {

// A system error (ENOENT for a name that is gone, EACCES for another user's
// object, ENOSPC, ...) becomes the matching OSError subclass with the name;
// anything else (a damaged or never-initialised ring) an OSError with the
// text. Returns NULL.
PyObject* raise_open_error(const vesk::AttachError& error, PyObject* name);

}  // namespace veskline::native
