// What other parts of veskline._native need of a RingQueue object
// (ring_queue.cc): for the zero-copy types (zero_copy.cc), its queue, a hold
// that keeps its mapping alive after close(), and the error and timeout
// conventions of its other calls; for the object queues (object_queue.cc),
// the pickling put and the unpickling get.
#pragma once

#include <Python.h>

#include <memory>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/queue_ops.h"
#include "veskline_core/shm/view_area.h"

namespace veskline::native {

// The queue of an open RingQueue, or nullptr with ValueError when closed.
const vesk::QueueRef* ring_queue_ref(PyObject* ring_queue);

// +1/-1 on the calls and objects using the mapping; the mapping of a closed
// queue goes when the count drops to 0.
void ring_queue_hold(PyObject* ring_queue, int delta);

// The area this process reads the queue's records in place through, mapped
// on first use and again once a freeze retired it; nullptr when it cannot be
// mapped (records are then read in the ring itself and cannot be frozen).
std::shared_ptr<vesk::ViewArea> ring_queue_view_area(PyObject* ring_queue);

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

bool is_ring_queue(PyObject* object);
bool ring_queue_closed(PyObject* ring);

// Pickles `obj` (protocol 5, out-of-band buffers collected) and puts a plain
// pickle that fits the ring: None. Otherwise (pickle, buffers) for the
// caller to lay out. `block`/`timeout` may be null (True, None); the
// deadline is checked before pickling.
PyObject* ring_put_object(PyObject* ring, PyObject* obj, PyObject* block, PyObject* timeout,
                          bool task);

// One object: a plain pickle is unpickled here; a record naming a one-off
// segment goes, still claimed, to owner._take_side(token, block, timeout);
// any other record to owner._decode(record).
PyObject* ring_get_object(PyObject* ring, PyObject* owner, PyObject* block, PyObject* timeout,
                          bool task);

}  // namespace veskline::native
