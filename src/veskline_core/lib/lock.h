// VeskLock: the Python class over a NamedLock.
#pragma once

#include <Python.h>

namespace vesk::py {

PyTypeObject* lock_type();

}  // namespace vesk::py
