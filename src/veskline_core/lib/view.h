// VeskView: a read-only, zero-copy window on the oldest message of a queue.
//
// Made only by VeskQueue.recv_view(). It holds a strong reference to its
// queue (so the mapping outlives it), and every buffer exported from it holds
// the view. The first __exit__ consumes the message, exactly once; dropping a
// view never does.
#pragma once

#include <Python.h>

#include "veskline_core/shm/ring_ops.h"

namespace vesk::py {

PyTypeObject* view_type();

// A new view of `message` in `queue` (a VeskQueue); NULL with an exception set
// on failure.
PyObject* make_view(PyObject* queue, const MessageView& message);

}  // namespace vesk::py
