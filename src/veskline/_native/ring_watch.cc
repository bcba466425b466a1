// veskline._native.RingWatch and WaitToken: waiting for a queue's state to
// change without taking anything, for the awaitable calls (veskline/_aio.py).
//
// An awaitable get reads a wake word's sequence, tries a non-blocking get in
// the event loop's thread and, if that found nothing, has a helper thread
// wait here until the sequence moves from the value read (a put, a freed
// slot or a finished task bumps it, with the queue's mutex held). Because the
// wait takes nothing, cancelling the await loses nothing: the token ends the
// wait and the thread goes back to its pool. The wait uses the words' own
// protocol (raise `waiting`, re-check, sleep on the sequence), so a put never
// misses a sleeper and a broadcast with no sleeper costs no system call.
//
// What a process killed while holding a message, a reservation or a task
// left is handed on by whoever waits in a get, a put or a join; an awaiting
// process runs none of those while it waits, so the wait itself does it
// after every slice in which nothing moved (queue_reap).
//
// The watch maps the ring by name on its own, so it needs nothing of the
// queue object but its name.
#include <Python.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "veskline/_native/gil.h"
#include "veskline/_native/open_error.h"
#include "veskline/_native/parts.h"
#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/queue_ops.h"
#include "veskline_core/shm/queue_state.h"
#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/wait.h"

namespace veskline::native {
namespace {

using vesk::Deadline;
using vesk::WaitEnd;
using vesk::WakeWord;

// --- WaitToken ----------------------------------------------------------------

struct TokenObject {
  PyObject_HEAD std::atomic<int> cancelled;
  std::atomic<uint32_t*> word;  // the futex being slept on, while a wait runs
};

TokenObject* as_token(PyObject* self) {
  return reinterpret_cast<TokenObject*>(self);
}

PyObject* token_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!PyArg_ParseTuple(args, ":WaitToken") || (kwargs != nullptr && PyDict_Size(kwargs) > 0)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "WaitToken() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_token(self)->cancelled) std::atomic<int>(0);
  new (&as_token(self)->word) std::atomic<uint32_t*>(nullptr);
  return self;
}

void token_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Ends the wait using this token, now or when it starts. A wake-up that
// lands just before the waiter's sleep is missed; the waiter then ends at the
// end of its slice (wait.h), having taken nothing either way.
PyObject* token_cancel(PyObject* self, PyObject*) {
  auto* token = as_token(self);
  token->cancelled.store(1, std::memory_order_seq_cst);
  uint32_t* word = token->word.load(std::memory_order_seq_cst);
  if (word != nullptr) ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  Py_RETURN_NONE;
}

PyObject* token_get_cancelled(PyObject* self, void*) {
  return PyBool_FromLong(as_token(self)->cancelled.load(std::memory_order_seq_cst));
}

PyMethodDef token_methods[] = {
    {"cancel", token_cancel, METH_NOARGS, "cancel(): end the wait that uses this token."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef token_getset[] = {
    {"cancelled", token_get_cancelled, nullptr, "whether cancel() was called", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(token_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(token_dealloc)},
    {Py_tp_methods, token_methods},
    {Py_tp_getset, token_getset},
    {Py_tp_doc, const_cast<char*>("Ends one RingWatch.wait from another thread.")},
    {0, nullptr},
};

PyType_Spec token_spec = {
    "veskline._native.WaitToken",
    sizeof(TokenObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    token_slots,
};

// --- RingWatch ----------------------------------------------------------------

// Which word: 0 data_available (puts), 1 space_available (gets), 2 the
// queue's tasks_done (join).
constexpr int kWords = 3;

struct WatchObject {
  PyObject_HEAD vesk::MirroredSegment segment;
  vesk::QueueRef queue;  // into `segment`
  WakeWord* words[kWords];
  PyTypeObject* token_type;  // borrowed from the module, which outlives us
};

WatchObject* as_watch(PyObject* self) {
  return reinterpret_cast<WatchObject*>(self);
}

WakeWord* word_arg(WatchObject* self, PyObject* arg) {
  const long which = PyLong_AsLong(arg);
  if (which == -1 && PyErr_Occurred()) return nullptr;
  if (which < 0 || which >= kWords) {
    PyErr_SetString(PyExc_ValueError, "which must be 0 (data), 1 (space) or 2 (tasks)");
    return nullptr;
  }
  return self->words[which];
}

// sequence(which) -> int: read it before trying the operation.
PyObject* watch_sequence(PyObject* self, PyObject* arg) {
  WakeWord* word = word_arg(as_watch(self), arg);
  if (word == nullptr) return nullptr;
  return PyLong_FromUnsignedLong(word->sequence.load(std::memory_order_seq_cst));
}

// Stops a wait whose token was cancelled.
class TokenStop final : public vesk::StopQuery {
 public:
  explicit TokenStop(TokenObject* token) : token_(token) {}
  bool should_stop() override { return token_->cancelled.load(std::memory_order_seq_cst) != 0; }

 private:
  TokenObject* token_;
};

// wait(which, seen, timeout, token) -> 0 the sequence moved from `seen`,
// 1 the timeout passed, 2 the token was cancelled. timeout None: no limit.
PyObject* watch_wait(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_watch(self_obj);
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "wait() takes 4 positional arguments");
    return nullptr;
  }
  WakeWord* word = word_arg(self, args[0]);
  if (word == nullptr) return nullptr;
  const unsigned long seen_long = PyLong_AsUnsignedLong(args[1]);
  if (seen_long == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  const auto seen = static_cast<uint32_t>(seen_long);
  Deadline deadline = Deadline::never();
  if (args[2] != Py_None) {
    const double seconds = PyFloat_AsDouble(args[2]);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    if (std::isnan(seconds) || seconds < 0) {
      PyErr_SetString(PyExc_ValueError, "'timeout' must be a non-negative number");
      return nullptr;
    }
    const double ns = std::ceil(seconds * 1e9);
    deadline = ns >= 9.2e18 ? Deadline::never() : Deadline::after(static_cast<int64_t>(ns));
  }
  if (!PyObject_TypeCheck(args[3], self->token_type)) {
    PyErr_SetString(PyExc_TypeError, "wait() needs a WaitToken");
    return nullptr;
  }
  auto* token = as_token(args[3]);
  // Both stay alive for the call: the caller holds references to them.
  auto* futex = reinterpret_cast<uint32_t*>(&word->sequence);
  long outcome = 0;
  {
    GilRelease release;
    TokenStop stop(token);
    token->word.store(futex, std::memory_order_seq_cst);
    int64_t reap_at = vesk::monotonic_ns() + vesk::kWaitSliceNs;
    for (;;) {
      if (word->sequence.load(std::memory_order_seq_cst) != seen) break;
      if (stop.should_stop()) {
        outcome = 2;
        break;
      }
      word->waiting.store(1, std::memory_order_seq_cst);
      if (word->sequence.load(std::memory_order_seq_cst) != seen) break;
      const WaitEnd end = vesk::futex_sleep(futex, seen, deadline, stop);
      if (end == WaitEnd::TimedOut) {
        outcome = word->sequence.load(std::memory_order_seq_cst) != seen ? 0 : 1;
        break;
      }
      if (end == WaitEnd::Stopped) {
        outcome = 2;
        break;
      }
      if (const int64_t now = vesk::monotonic_ns(); now >= reap_at) {
        reap_at = now + vesk::kWaitSliceNs;
        // Anything handed on wakes the word's waiters, which ends this wait;
        // a failure leaves things to the next slice.
        (void)vesk::queue_reap(self->queue, stop);
      }
    }
    token->word.store(nullptr, std::memory_order_seq_cst);
  }
  return PyLong_FromLong(outcome);
}

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* name_obj = nullptr;
  PyObject* token_type = nullptr;
  static const char* kwlist[] = {"name", "token_type", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO!", const_cast<char**>(kwlist), &name_obj,
                                   &PyType_Type, &token_type))
    return nullptr;
  Py_ssize_t length = 0;
  const char* name = PyUnicode_AsUTF8AndSize(name_obj, &length);
  if (name == nullptr) return nullptr;
  auto opened = vesk::open_ring(std::string_view(name, static_cast<size_t>(length)));
  if (!opened) return raise_open_error(opened.error(), name_obj);
  vesk::AttachedRing attached = std::move(opened).value();
  PyObject* self_obj = type->tp_alloc(type, 0);
  if (self_obj == nullptr) return nullptr;
  auto* self = as_watch(self_obj);
  new (&self->segment) vesk::MirroredSegment(std::move(attached.segment));
  self->queue = vesk::queue_ref(attached.ring);
  self->words[0] = attached.ring.data_available;
  self->words[1] = attached.ring.space_available;
  self->words[2] = &vesk::queue_state_of(attached.ring.header)->tasks_done;
  self->token_type = reinterpret_cast<PyTypeObject*>(token_type);
  return self_obj;
}

void watch_dealloc(PyObject* self_obj) {
  auto* self = as_watch(self_obj);
  PyTypeObject* type = Py_TYPE(self_obj);
  self->segment.~MirroredSegment();
  type->tp_free(self_obj);
  Py_DECREF(type);
}

PyMethodDef watch_methods[] = {
    {"sequence", watch_sequence, METH_O, "sequence(which) -> int"},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_wait)), METH_FASTCALL,
     "wait(which, seen, timeout, token) -> 0 moved, 1 timed out, 2 cancelled; takes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot watch_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(watch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_methods, watch_methods},
    {Py_tp_doc, const_cast<char*>("A ring's wake words, mapped by name, to wait on.")},
    {0, nullptr},
};

PyType_Spec watch_spec = {
    "veskline._native.RingWatch",
    sizeof(WatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    watch_slots,
};

}  // namespace

int add_ring_watch(PyObject* module) {
  for (PyType_Spec* spec : {&token_spec, &watch_spec}) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) return -1;
    const char* dot = std::strrchr(spec->name, '.');
    const int added = PyModule_AddObjectRef(module, dot + 1, type);
    Py_DECREF(type);
    if (added < 0) return -1;
  }
  return 0;
}

}  // namespace veskline::native
