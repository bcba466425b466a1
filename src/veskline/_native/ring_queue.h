// What other parts of veskline._native call on a RingQueue (ring_queue.cc):
// the pickling put and the unpickling get behind the object queues.
#pragma once

#include <Python.h>

namespace veskline::native {

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
