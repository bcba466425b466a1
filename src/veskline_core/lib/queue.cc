#include "veskline_core/lib/queue.h"

#include <limits>
#include <new>

#include "veskline_core/lib/errors.h"
#include "veskline_core/lib/ring_calls.h"
#include "veskline_core/lib/view.h"
#include "veskline_core/shm/ring_ops.h"

namespace vesk::py {

namespace {

const Signature kNewSig{"VeskQueue.__new__()", {"name", "size_mb"}, 2};
const Signature kPutSig{"VeskQueue.put_bytes()", {"data"}, 1};
const Signature kCommitSig{"VeskQueue.commit_read()", {"next_pos"}, 1};
const Signature kUnlinkSig{"VeskQueue.unlink()", {"name"}, 1};

const char* attach_prefix(AttachStage stage) {
  switch (stage) {
    case AttachStage::Creation:
      return "Failed to create mirrored shm: ";
    case AttachStage::Initialisation:
      return "Failed init buffer: ";
    case AttachStage::Opening:
      return "Failed to open buffer: ";
  }
  return "Failed to open buffer: ";
}

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Entry entry;
  PyObject* bound[2];
  if (!bind_tuple(kNewSig, args, kwargs, bound)) return nullptr;
  auto name = to_text(bound[0], "name");
  if (!name) return nullptr;
  auto size_mb = to_u64(bound[1], "size_mb");
  if (!size_mb) return nullptr;
  auto bytes = ring_bytes(*size_mb);
  if (!bytes) return nullptr;
  // The readiness wait (up to 10 s) keeps the interpreter lock, as attaching
  // must finish before anything else can use this instance.
  auto attached = attach_ring(*name, *bytes);
  if (!attached) return raise_error(attach_prefix(attached.error().stage), attached.error());
  PyObject* self = allocate(type);
  if (self == nullptr) return nullptr;  // `attached` unmaps on the way out
  auto* object = reinterpret_cast<QueueObject*>(self);
  new (&object->segment) MirroredSegment(std::move(attached->segment));
  object->ring = attached->ring;
  new (&object->uses) UseCounter();
  return self;
}

void queue_dealloc(PyObject* self) {
  Entry entry;
  reinterpret_cast<QueueObject*>(self)->segment.~MirroredSegment();
  free_instance(self);
}

PyObject* queue_put_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  Entry entry;
  PyObject* bound[1];
  if (!bind_fastcall(kPutSig, args, nargsf, kwnames, bound)) return nullptr;
  Receiver<QueueObject> me(self);
  if (!me) return nullptr;
  return put_message(me->ring, bound[0], "Queue put error: ");
}

PyObject* queue_get_bytes(PyObject* self, PyObject*) {
  Entry entry;
  Receiver<QueueObject> me(self);
  if (!me) return nullptr;
  return get_message(me->ring, "Queue get error: ");
}

PyObject* queue_recv_view(PyObject* self, PyObject*) {
  Entry entry;
  Receiver<QueueObject> me(self);
  if (!me) return nullptr;
  const RingHandle& ring = me->ring;
  auto view = without_gil_until_signal(
      [&](StopQuery& stop) { return ring_get_view(ring, Deadline::never(), stop); });
  if (!view) {
    return raise_error(
        view.error().after_locate ? "Failed to release lock: " : "Queue get_view error: ",
        view.error().error);
  }
  return make_view(self, *view);
}

PyObject* queue_commit_read(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
  Entry entry;
  PyObject* bound[1];
  if (!bind_fastcall(kCommitSig, args, nargsf, kwnames, bound)) return nullptr;
  Receiver<QueueObject> me(self);
  if (!me) return nullptr;
  auto next_pos = to_u64(bound[0], "next_pos");
  if (!next_pos) return nullptr;
  if (auto committed = ring_commit(me->ring, *next_pos); !committed) {
    return raise_error("Queue commit_read error: ", committed.error());
  }
  Py_RETURN_NONE;
}

PyObject* queue_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Entry entry;
  return unlink_name(kUnlinkSig, args, nargsf, kwnames);
}

PyMethodDef queue_methods[] = {
    {"put_bytes", as_cfunction(queue_put_bytes), METH_FASTCALL | METH_KEYWORDS,
     "put_bytes($self, data)\n--\n\n"},
    {"get_bytes", queue_get_bytes, METH_NOARGS, "get_bytes($self)\n--\n\n"},
    {"recv_view", queue_recv_view, METH_NOARGS,
     "recv_view($self)\n--\n\nZero-copy receive. Returns a VeskView context manager.\n"
     "Usage: with queue.recv_view() as view: ..."},
    {"commit_read", as_cfunction(queue_commit_read), METH_FASTCALL | METH_KEYWORDS,
     "commit_read($self, next_pos)\n--\n\n"},
    {"unlink", as_cfunction(queue_unlink), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "unlink(name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* queue_type_cell = nullptr;

}  // namespace

std::optional<uint64_t> ring_bytes(uint64_t size_mb) {
  if (size_mb > (std::numeric_limits<uint64_t>::max() >> 20)) {
    PyErr_SetString(PyExc_OverflowError,
                    "size_mb is too large: the ring size in bytes must fit in 64 bits");
    return std::nullopt;
  }
  return size_mb << 20;
}

PyTypeObject* queue_type() {
  if (queue_type_cell != nullptr) return queue_type_cell;
  static char doc[] = "VeskQueue(name, size_mb)\n--\n\n";
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, doc},
      {Py_tp_new, reinterpret_cast<void*>(queue_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(queue_dealloc)},
      {Py_tp_methods, queue_methods},
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.VeskQueue", static_cast<int>(sizeof(QueueObject)), 0,
                   Py_TPFLAGS_DEFAULT, slots};
  return type_cell(queue_type_cell, &spec, "VeskQueue");
}

}  // namespace vesk::py
