// VeskQueue: the Python class over one process's attachment to a named ring.
//
// The instance owns its mirrored mapping and never changes after
// construction; every method takes a shared use of it. Views (view.h) keep a
// strong reference to their queue, so the mapping outlives every view.
#pragma once

#include <Python.h>

#include "veskline_core/lib/call_frame.h"
#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/segment.h"

namespace vesk::py {

PyTypeObject* queue_type();

struct QueueObject {
  PyObject_HEAD MirroredSegment segment;
  RingHandle ring;
  UseCounter uses;

  static constexpr const char* kName = "VeskQueue";
  static PyTypeObject* type() { return queue_type(); }
};

// The ring size in bytes for size_mb MiB; raises OverflowError and returns
// nullopt when it does not fit in 64 bits.
std::optional<uint64_t> ring_bytes(uint64_t size_mb);

}  // namespace vesk::py
