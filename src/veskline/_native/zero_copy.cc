// Writing and reading records in place: the context managers that
// RingQueue.reserve() and RingQueue.view() return.
//
// Reservation: __enter__ reserves a record (queue_reserve) and returns a
// writable memoryview of its payload inside the ring; __exit__ releases that
// memoryview and publishes the record, or abandons it when the block raised.
// A buffer of it still exported at the end of the block (a slice, a NumPy
// array made from it) could write into a published or reused record later,
// so the block then ends with BufferError and nothing is published.
//
// InPlace: __enter__ claims the next record (queue_get with a copy limit of
// 0: the record stays in the ring, claimed by this process, as a large get's
// does) and returns a read-only memoryview of it, seen through the queue's
// view area (view_area.h: a second mapping of the ring that the RingQueue
// keeps); __exit__ releases the memoryview and finishes the claim. A process
// killed meanwhile leaves the record to the next get, as with get(). Buffers
// derived from the memoryview and still alive at the end of the block
// (slices, NumPy arrays, an object's out-of-band buffers) never show bytes a
// producer wrote later: the record stays claimed while they live, and once
// this process would wait for another record (20 ms into the wait), their
// pages are replaced by a private copy and the claim ends, so leftover
// buffers never hold a ring back for a consumer that is waiting on it.
//
// Both objects keep their RingQueue mapped (ring_queue_hold) while they hold
// a record, and support the garbage collector: the memoryview they hand out
// refers back to them.
#include <Python.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "veskline/_native/buffers.h"
#include "veskline/_native/gil.h"
#include "veskline/_native/parts.h"
#include "veskline/_native/ring_queue.h"
#include "veskline_core/shm/queue_ops.h"
#include "veskline_core/shm/ring_copy.h"
#include "veskline_core/shm/view_area.h"

namespace veskline::native {
namespace {

using vesk::Deadline;
using vesk::QueueError;
using vesk::StopQuery;

enum class Stage { New, Open, Done };

// An in-place receive: New, Open inside the block, then Done, or Held (the
// block ended with buffers still exported: the record stays claimed) and
// Frozen (those buffers now show a private copy; the claim has ended) until
// the last buffer goes.
enum class InStage { New, Open, Held, Frozen, Done };

PyObject* new_object(PyObject* ring_queue, const char* type_name) {
  PyObject* module = PyType_GetModule(Py_TYPE(ring_queue));
  if (module == nullptr) return nullptr;
  PyObject* type = PyObject_GetAttrString(module, type_name);
  if (type == nullptr) return nullptr;
  PyObject* object = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  Py_DECREF(type);
  return object;
}

// Releases the memoryview handed out by __enter__ (its `release()`): a
// memoryview with buffers exported from it cannot be released, which the
// caller sees in the exporter's count.
void release_view(PyObject** view) {
  if (*view == nullptr) return;
  PyObject* done = PyObject_CallMethod(*view, "release", nullptr);
  if (done == nullptr) {
    PyErr_Clear();
  } else {
    Py_DECREF(done);
  }
  Py_CLEAR(*view);
}

bool parse_flag(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index, bool* out) {
  if (nargs <= index) return true;
  const int value = PyObject_IsTrue(args[index]);
  if (value < 0) return false;
  *out = value != 0;
  return true;
}

PyObject* arg_at(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index) {
  return nargs > index ? args[index] : nullptr;
}

// --- Reservation --------------------------------------------------------------

struct ReservationObject {
  PyObject_HEAD PyObject* queue;  // the RingQueue
  PyObject* view;                 // the memoryview __enter__ returned, until __exit__
  vesk::Reservation res;
  Deadline deadline;
  uint64_t size;
  uint64_t ring_bytes;  // the ring's data size
  Py_ssize_t exports;
  pid_t pid;
  bool task;
  Stage stage;
};

ReservationObject* as_reservation(PyObject* self) {
  return reinterpret_cast<ReservationObject*>(self);
}

// Gives the record up; used on every path that does not publish.
void abandon(ReservationObject* self) {
  if (self->stage != Stage::Open) return;
  self->stage = Stage::Done;
  if (self->pid == getpid()) {
    const vesk::QueueRef* q = ring_queue_ref(self->queue);
    if (q == nullptr) {
      PyErr_Clear();
    } else {
      const vesk::Reservation res = self->res;
      auto dropped = blocking([&](StopQuery&) { return vesk::queue_abandon(*q, res); });
      (void)dropped;  // a failed mutex leaves the record to the dead-reserver path
    }
  }
  ring_queue_hold(self->queue, -1);
}

PyObject* reservation_enter(PyObject* self_obj, PyObject*) {
  auto* self = as_reservation(self_obj);
  if (self->stage != Stage::New) {
    PyErr_SetString(PyExc_RuntimeError, "a reservation can be entered only once");
    return nullptr;
  }
  const vesk::QueueRef* q = ring_queue_ref(self->queue);
  if (q == nullptr) return nullptr;
  ring_queue_hold(self->queue, 1);
  const uint64_t size = self->size;
  const Deadline deadline = self->deadline;
  auto reserved =
      vesk::queue_reserve(*q, size, vesk::Mode{false, true}, deadline, vesk::never_stop());
  if (!reserved && reserved.error().kind() == QueueError::Kind::Busy) {
    reserved = blocking([&](StopQuery& stop) {
      return vesk::queue_reserve(*q, size, vesk::Mode{false, false}, deadline, stop);
    });
  }
  if (!reserved) {
    ring_queue_hold(self->queue, -1);
    self->stage = Stage::Done;
    return ring_queue_raise(self->queue, reserved.error(), true, size + 4);
  }
  self->res = reserved.value();
  self->pid = getpid();
  self->stage = Stage::Open;
  self->view = PyMemoryView_FromObject(self_obj);
  if (self->view == nullptr) {
    abandon(self);
    return nullptr;
  }
  return Py_NewRef(self->view);
}

PyObject* reservation_exit(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_reservation(self_obj);
  if (self->stage != Stage::Open) {
    PyErr_SetString(PyExc_RuntimeError, "the reservation is not open");
    return nullptr;
  }
  release_view(&self->view);
  const bool raised = nargs > 0 && args[0] != Py_None;
  if (raised) {
    abandon(self);
    Py_RETURN_FALSE;
  }
  if (self->exports > 0) {
    abandon(self);
    PyErr_SetString(PyExc_BufferError,
                    "a buffer of the reserved message is still in use at the end of the block "
                    "(a slice or an array made from it): nothing was published; release it "
                    "inside the block");
    return nullptr;
  }
  const vesk::QueueRef* q = ring_queue_ref(self->queue);
  if (q == nullptr) {
    abandon(self);
    return nullptr;
  }
  const vesk::Reservation res = self->res;
  const bool task = self->task;
  self->stage = Stage::Done;
  auto published = blocking([&](StopQuery&) { return vesk::queue_publish(*q, res, task); });
  ring_queue_hold(self->queue, -1);
  if (!published) return ring_queue_raise(self->queue, published.error(), true, res.size + 4);
  if (!published.value()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the reserved message was read by a plain ring consumer before it was "
                    "published: nothing was published");
    return nullptr;
  }
  Py_RETURN_FALSE;
}

int reservation_getbuffer(PyObject* self_obj, Py_buffer* view, int flags) {
  auto* self = as_reservation(self_obj);
  if (self->stage != Stage::Open) {
    PyErr_SetString(PyExc_BufferError, "the reservation is not open");
    return -1;
  }
  if (PyBuffer_FillInfo(view, self_obj, self->res.data, static_cast<Py_ssize_t>(self->res.size), 0,
                        flags) < 0)
    return -1;
  ++self->exports;
  return 0;
}

void reservation_releasebuffer(PyObject* self_obj, Py_buffer*) {
  --as_reservation(self_obj)->exports;
}

int reservation_traverse(PyObject* self_obj, visitproc visit, void* arg) {
  auto* self = as_reservation(self_obj);
  Py_VISIT(Py_TYPE(self_obj));
  Py_VISIT(self->view);
  Py_VISIT(self->queue);
  return 0;
}

int reservation_clear(PyObject* self_obj) {
  Py_CLEAR(as_reservation(self_obj)->view);
  return 0;
}

void reservation_dealloc(PyObject* self_obj) {
  auto* self = as_reservation(self_obj);
  PyObject_GC_UnTrack(self_obj);
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  Py_CLEAR(self->view);
  abandon(self);
  PyErr_Restore(type, value, trace);
  Py_CLEAR(self->queue);
  PyTypeObject* tp = Py_TYPE(self_obj);
  tp->tp_free(self_obj);
  Py_DECREF(tp);
}

// fill(data): copies a record's bytes (a buffer, or a tuple or list of
// buffers laid end to end, as put() takes) into the reserved bytes from their
// start (copy_to_ring: streaming stores into a ring larger than the cache),
// with the interpreter lock released.
PyObject* reservation_fill(PyObject* self_obj, PyObject* data) {
  auto* self = as_reservation(self_obj);
  if (self->stage != Stage::Open) {
    PyErr_SetString(PyExc_RuntimeError, "the reservation is not open");
    return nullptr;
  }
  Buffers buffers;
  if (!collect_record(data, &buffers)) return nullptr;
  if (buffers.total() > self->size) {
    PyErr_SetString(PyExc_ValueError, "the data is larger than the reservation");
    return nullptr;
  }
  const vesk::Part* parts = buffers.parts();
  const size_t count = buffers.count();
  // The reservation's hold keeps the ring mapped while the lock is free.
  std::byte* to = self->res.data;
  const uint64_t ring_bytes = self->ring_bytes;
  {
    GilRelease release;
    for (size_t i = 0; i < count; ++i) {
      vesk::copy_to_ring(to, static_cast<const std::byte*>(parts[i].data), parts[i].size,
                         ring_bytes);
      to += parts[i].size;
    }
  }
  Py_RETURN_NONE;
}

PyObject* reservation_get_nbytes(PyObject* self_obj, void*) {
  return PyLong_FromUnsignedLongLong(as_reservation(self_obj)->size);
}

PyMethodDef reservation_methods[] = {
    {"__enter__", reservation_enter, METH_NOARGS, "Reserves; returns a writable memoryview."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reservation_exit)),
     METH_FASTCALL, "Publishes, or abandons when the block raised."},
    {"fill", reservation_fill, METH_O,
     "fill(data): copies a buffer, or a tuple or list of them end to end, into the reserved "
     "bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reservation_getset[] = {
    {"nbytes", reservation_get_nbytes, nullptr, "payload bytes reserved", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reservation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reservation_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reservation_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reservation_clear)},
    {Py_tp_methods, reservation_methods},
    {Py_tp_getset, reservation_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(reservation_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(reservation_releasebuffer)},
    {Py_tp_doc, const_cast<char*>("A record reserved in a ring, written in place.")},
    {0, nullptr},
};

PyType_Spec reservation_spec = {
    "veskline._native.Reservation",
    sizeof(ReservationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    reservation_slots,
};

// --- InPlace ------------------------------------------------------------------

struct InPlaceObject {
  PyObject_HEAD PyObject* queue;  // the RingQueue
  PyObject* view;                 // the memoryview __enter__ returned, until __exit__
  vesk::QueueRef q;
  vesk::Claim claim;
  std::shared_ptr<vesk::ViewArea> area;  // what the buffers show the record through
  const std::byte* payload;
  uint64_t length;
  Deadline deadline;
  Py_ssize_t exports;
  InPlaceObject* prev;  // in the list of held records while Held
  InPlaceObject* next;
  pid_t pid;
  bool task;
  bool claimed;  // false for an empty record, which a get consumes at once
  InStage stage;
};

InPlaceObject* as_in_place(PyObject* self) {
  return reinterpret_cast<InPlaceObject*>(self);
}

// Takes nothing: with a copy limit of 0 only empty records are copied.
class NoSink final : public vesk::RecordSink {
 public:
  std::byte* reserve(uint32_t) override { return nullptr; }
  void discard() override {}
};

// Records whose block ended while buffers of them were still exported: still
// claimed, in place. A process about to wait for a message first freezes
// them (a private copy under the same addresses) and ends their claims, so a
// consumer never waits for space that its own leftover buffers hold.
std::mutex g_held_mutex;
InPlaceObject* g_held = nullptr;

void link_held(InPlaceObject* self) {
  self->prev = nullptr;
  self->next = g_held;
  if (g_held != nullptr) g_held->prev = self;
  g_held = self;
}

void unlink_held(InPlaceObject* self) {
  if (self->prev != nullptr) self->prev->next = self->next;
  if (self->next != nullptr) self->next->prev = self->prev;
  if (g_held == self) g_held = self->next;
  self->prev = self->next = nullptr;
}

// Ends the claim; touches no Python object. A claim taken away meanwhile (a
// plain ring consumer read past it) went to another consumer: nothing to do.
void finish_claim(InPlaceObject* self, bool give_back) {
  if (!self->claimed || self->pid != getpid()) return;
  self->claimed = false;
  if (give_back) {
    (void)vesk::queue_give_back(self->q, self->claim);
  } else {
    (void)vesk::queue_finish(self->q, self->claim, self->task);
  }
}

// Freezes every held record and ends its claim; true if any. Touches no
// Python object: runs with the interpreter lock released.
bool freeze_held() {
  std::lock_guard<std::mutex> guard(g_held_mutex);
  bool any = false;
  for (InPlaceObject* at = g_held; at != nullptr;) {
    InPlaceObject* next = at->next;
    if (at->pid == getpid() && at->area != nullptr &&
        at->area->freeze(at->payload, at->length).ok()) {
      unlink_held(at);
      finish_claim(at, false);
      at->stage = InStage::Frozen;
      any = true;
    }
    at = next;
  }
  return any;
}

bool any_held() {
  std::lock_guard<std::mutex> guard(g_held_mutex);
  return g_held != nullptr;
}

// How long a receive waits before freezing this process's held records.
constexpr int64_t kHeldGraceNs = 20'000'000;

PyObject* in_place_enter(PyObject* self_obj, PyObject*) {
  auto* self = as_in_place(self_obj);
  if (self->stage != InStage::New) {
    PyErr_SetString(PyExc_RuntimeError, "an in-place receive can be entered only once");
    return nullptr;
  }
  const vesk::QueueRef* ref = ring_queue_ref(self->queue);
  if (ref == nullptr) return nullptr;
  const vesk::QueueRef q = *ref;
  ring_queue_hold(self->queue, 1);
  const vesk::GetLimits limits{1, UINT64_MAX, 0};
  const Deadline deadline = self->deadline;
  const bool task = self->task;
  NoSink sink;
  auto got = vesk::queue_get(q, limits, sink, vesk::Mode{task, true}, deadline, vesk::never_stop());
  if (!got && got.error().kind() == QueueError::Kind::Busy) {
    got = blocking([&](StopQuery& stop) {
      // Records this process still holds may be what keeps producers from
      // adding more: after a short wait, they are frozen and let go.
      if (any_held()) {
        const Deadline grace = Deadline::after(kHeldGraceNs);
        const Deadline first =
            deadline.remaining(vesk::monotonic_ns()) > kHeldGraceNs ? grace : deadline;
        auto early = vesk::queue_get(q, limits, sink, vesk::Mode{task, false}, first, stop);
        if (early || !early.error().is(vesk::RingError::Kind::TimedOut) ||
            deadline.passed(vesk::monotonic_ns()))
          return early;
        freeze_held();
      }
      return vesk::queue_get(q, limits, sink, vesk::Mode{task, false}, deadline, stop);
    });
  }
  if (!got) {
    ring_queue_hold(self->queue, -1);
    self->stage = InStage::Done;
    return ring_queue_raise(self->queue, got.error(), false, 0);
  }
  self->q = q;
  self->pid = getpid();
  self->stage = InStage::Open;
  self->claimed = got->claimed;
  if (got->claimed) {
    self->claim = got->claim;
    uint32_t length = 0;
    std::memcpy(&length, self->claim.data, 4);
    self->length = length;
    self->payload = self->claim.data + 4;
    // Seen through the view area, so that buffers kept past the block can
    // be frozen; without one they are simply held until released. Asked for
    // after the claim: see ViewArea::retired().
    self->area = ring_queue_view_area(self->queue);
    if (self->area != nullptr) self->payload = self->area->at(self->payload);
  } else {
    static const std::byte kEmpty[1] = {};
    self->payload = kEmpty;
    self->length = 0;
  }
  self->view = PyMemoryView_FromObject(self_obj);
  if (self->view == nullptr) {
    finish_claim(self, true);
    self->area.reset();
    self->stage = InStage::Done;
    ring_queue_hold(self->queue, -1);
    return nullptr;
  }
  return Py_NewRef(self->view);
}

PyObject* in_place_exit(PyObject* self_obj, PyObject* const*, Py_ssize_t) {
  auto* self = as_in_place(self_obj);
  if (self->stage != InStage::Open) {
    PyErr_SetString(PyExc_RuntimeError, "the in-place receive is not open");
    return nullptr;
  }
  release_view(&self->view);
  if (self->exports > 0) {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    self->stage = InStage::Held;
    link_held(self);
    Py_RETURN_FALSE;
  }
  // Waits only for the ring mutex, which is held briefly.
  blocking([&](StopQuery&) {
    finish_claim(self, false);
    return 0;
  });
  self->area.reset();
  self->stage = InStage::Done;
  ring_queue_hold(self->queue, -1);
  Py_RETURN_FALSE;
}

int in_place_getbuffer(PyObject* self_obj, Py_buffer* view, int flags) {
  auto* self = as_in_place(self_obj);
  if (self->stage != InStage::Open) {
    PyErr_SetString(PyExc_BufferError, "the message is no longer held: its block has ended");
    return -1;
  }
  if (PyBuffer_FillInfo(view, self_obj, const_cast<std::byte*>(self->payload),
                        static_cast<Py_ssize_t>(self->length), 1, flags) < 0)
    return -1;
  ++self->exports;
  return 0;
}

void in_place_releasebuffer(PyObject* self_obj, Py_buffer*) {
  auto* self = as_in_place(self_obj);
  if (--self->exports > 0) return;
  InStage was;
  {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    was = self->stage;
    if (was != InStage::Held && was != InStage::Frozen) return;
    if (was == InStage::Held) unlink_held(self);
    self->stage = InStage::Done;
  }
  if (was == InStage::Held) finish_claim(self, false);  // the ring mutex only
  self->area.reset();
  ring_queue_hold(self->queue, -1);
}

int in_place_traverse(PyObject* self_obj, visitproc visit, void* arg) {
  auto* self = as_in_place(self_obj);
  Py_VISIT(Py_TYPE(self_obj));
  Py_VISIT(self->view);
  Py_VISIT(self->queue);
  return 0;
}

int in_place_clear(PyObject* self_obj) {
  Py_CLEAR(as_in_place(self_obj)->view);
  return 0;
}

void in_place_dealloc(PyObject* self_obj) {
  auto* self = as_in_place(self_obj);
  PyObject_GC_UnTrack(self_obj);
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  Py_CLEAR(self->view);
  if (self->stage == InStage::Open) {
    // Entered and never left: the message goes back to the queue.
    finish_claim(self, true);
    ring_queue_hold(self->queue, -1);
  }
  self->stage = InStage::Done;
  self->area.~shared_ptr();
  PyErr_Restore(type, value, trace);
  Py_CLEAR(self->queue);
  PyTypeObject* tp = Py_TYPE(self_obj);
  tp->tp_free(self_obj);
  Py_DECREF(tp);
}

PyObject* in_place_get_held(PyObject* self_obj, void*) {
  const InStage stage = as_in_place(self_obj)->stage;
  return PyBool_FromLong(stage == InStage::Open || stage == InStage::Held);
}

PyObject* in_place_get_frozen(PyObject* self_obj, void*) {
  return PyBool_FromLong(as_in_place(self_obj)->stage == InStage::Frozen);
}

PyMethodDef in_place_methods[] = {
    {"__enter__", in_place_enter, METH_NOARGS,
     "Claims the next message; returns a read-only memoryview of it."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(in_place_exit)),
     METH_FASTCALL, "Releases the memoryview and finishes the message."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef in_place_getset[] = {
    {"held", in_place_get_held, nullptr,
     "whether the message is still claimed in the ring (inside the block, or after it while "
     "buffers of it are alive and not yet frozen)",
     nullptr},
    {"frozen", in_place_get_frozen, nullptr,
     "whether buffers kept past the block now show a private copy of the message", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot in_place_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(in_place_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(in_place_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(in_place_clear)},
    {Py_tp_methods, in_place_methods},
    {Py_tp_getset, in_place_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(in_place_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(in_place_releasebuffer)},
    {Py_tp_doc, const_cast<char*>("A message read in place, claimed by this process.")},
    {0, nullptr},
};

PyType_Spec in_place_spec = {
    "veskline._native.InPlace",
    sizeof(InPlaceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    in_place_slots,
};

int add_type(PyObject* module, PyType_Spec* spec, const char* name) {
  PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, name, type);
  Py_DECREF(type);
  return added;
}

}  // namespace

// reserve(nbytes, block=True, timeout=None, task=False)
PyObject* rq_reserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 4) {
    PyErr_SetString(PyExc_TypeError, "reserve() takes 1 to 4 positional arguments");
    return nullptr;
  }
  if (ring_queue_ref(self) == nullptr) return nullptr;
  const long long nbytes = PyLong_AsLongLong(args[0]);
  if (nbytes == -1 && PyErr_Occurred()) return nullptr;
  if (nbytes < 0) {
    PyErr_SetString(PyExc_ValueError, "'nbytes' must not be negative");
    return nullptr;
  }
  Deadline deadline = Deadline::never();
  bool task = false;
  if (!ring_queue_deadline(arg_at(args, nargs, 1), arg_at(args, nargs, 2), &deadline))
    return nullptr;
  if (!parse_flag(args, nargs, 3, &task)) return nullptr;
  PyObject* object = new_object(self, "Reservation");
  if (object == nullptr) return nullptr;
  auto* r = as_reservation(object);
  r->queue = Py_NewRef(self);
  r->view = nullptr;
  r->res = vesk::Reservation{};
  r->deadline = deadline;
  r->size = static_cast<uint64_t>(nbytes);
  r->ring_bytes = ring_queue_ref(self)->ring.data_size;
  r->exports = 0;
  r->pid = 0;
  r->task = task;
  r->stage = Stage::New;
  return object;
}

// view(block=True, timeout=None, task=False)
PyObject* rq_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "view() takes at most 3 positional arguments");
    return nullptr;
  }
  if (ring_queue_ref(self) == nullptr) return nullptr;
  Deadline deadline = Deadline::never();
  bool task = false;
  if (!ring_queue_deadline(arg_at(args, nargs, 0), arg_at(args, nargs, 1), &deadline))
    return nullptr;
  if (!parse_flag(args, nargs, 2, &task)) return nullptr;
  PyObject* object = new_object(self, "InPlace");
  if (object == nullptr) return nullptr;
  auto* v = as_in_place(object);
  new (&v->area) std::shared_ptr<vesk::ViewArea>();
  v->q = vesk::QueueRef{};
  v->prev = v->next = nullptr;
  v->queue = Py_NewRef(self);
  v->view = nullptr;
  v->claim = vesk::Claim{};
  v->payload = nullptr;
  v->length = 0;
  v->deadline = deadline;
  v->exports = 0;
  v->pid = 0;
  v->task = task;
  v->claimed = false;
  v->stage = InStage::New;
  return object;
}

int add_zero_copy(PyObject* module) {
  if (add_type(module, &reservation_spec, "Reservation") < 0) return -1;
  return add_type(module, &in_place_spec, "InPlace");
}

}  // namespace veskline::native
