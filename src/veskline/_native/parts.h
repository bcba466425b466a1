// The parts of veskline._native, each adding its functions and types to the
// module when it is executed. One line per part here and in module.cc.
#pragma once

#include <Python.h>

namespace veskline::native {

// Each returns 0, or -1 with an exception set.
int add_info(PyObject* module);
int add_ring_queue(PyObject* module);
int add_object_queue(PyObject* module);
int add_inspect(PyObject* module);
int add_ring_watch(PyObject* module);
int add_lock(PyObject* module);
int add_zero_copy(PyObject* module);

}  // namespace veskline::native
