// What the zero-copy types (zero_copy.cc) need of a RingQueue object: its
// queue, a hold that keeps its mapping alive after close(), and the error and
// timeout conventions of its other calls.
#pragma once

#include <Python.h>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/queue_ops.h"

namespace veskline::native {

// The queue of an open RingQueue, or nullptr with ValueError when closed.
const vesk::QueueRef* ring_queue_ref(PyObject* ring_queue);

// +1/-1 on the calls and objects using the mapping; the mapping of a closed
// queue goes when the count drops to 0.
void ring_queue_hold(PyObject* ring_queue, int delta);

// Sets the Python exception for `error` (queue.Full for a put that timed
// out, queue.Empty for a get); always returns nullptr.
PyObject* ring_queue_raise(PyObject* ring_queue, const vesk::QueueError& error, bool put,
                           uint64_t need);

// block and timeout as put() and get() take them.
bool ring_queue_deadline(PyObject* block, PyObject* timeout, vesk::Deadline* deadline);

// RingQueue.reserve(nbytes, block=True, timeout=None, task=False) and
// RingQueue.view(block=True, timeout=None, task=False): defined in zero_copy.cc.
PyObject* rq_reserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* rq_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace veskline::native
