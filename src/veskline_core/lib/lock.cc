#include "veskline_core/lib/lock.h"

#include <cerrno>
#include <new>

#include "veskline_core/lib/call_frame.h"
#include "veskline_core/lib/errors.h"
#include "veskline_core/lib/ring_calls.h"
#include "veskline_core/shm/named_lock.h"

namespace vesk::py {

namespace {

struct LockObject {
  PyObject_HEAD NamedLock lock;
  UseCounter uses;

  static constexpr const char* kName = "VeskLock";
  static PyTypeObject* type() { return lock_type(); }
};

const Signature kNewSig{"VeskLock.__new__()", {"name"}, 1};
const Signature kExitSig{"VeskLock.__exit__()", {"_exc_type", "_exc_value", "_traceback"}, 3};
const Signature kUnlinkSig{"VeskLock.unlink()", {"name"}, 1};

PyObject* lock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Entry entry;
  PyObject* bound[1];
  if (!bind_tuple(kNewSig, args, kwargs, bound)) return nullptr;
  auto name = to_text(bound[0], "name");
  if (!name) return nullptr;
  auto opened = NamedLock::open(*name);
  if (!opened) {
    return raise_error(
        opened.error().init_failed ? "Failed to init mutex: " : "Failed to create shm: ",
        opened.error());
  }
  PyObject* self = allocate(type);
  if (self == nullptr) return nullptr;  // `opened` unmaps on the way out
  auto* object = reinterpret_cast<LockObject*>(self);
  new (&object->lock) NamedLock(std::move(opened).value());
  new (&object->uses) UseCounter();
  return self;
}

void lock_dealloc(PyObject* self) {
  Entry entry;
  // A lock still held keeps its mapping alive in NamedLock's registry.
  reinterpret_cast<LockObject*>(self)->lock.~NamedLock();
  free_instance(self);
}

PyObject* finish_acquire(const Result<Locked, LockError>& locked) {
  // Stopped by a signal handler that raised: its exception is set, and the
  // lock is not held.
  if (!locked && locked.error().code() == kLockStopped) return fail_with_pending();
  if (!locked) return raise_error("Lock failure: ", locked.error());
  if (locked.value() == Locked::OwnerDied) return raise_lock_recovered();
  Py_RETURN_NONE;
}

PyObject* do_acquire(PyObject* self) {
  Receiver<LockObject> me(self);
  if (!me) return nullptr;
  const NamedLock& lock = me->lock;
  auto locked = lock.try_acquire();
  if (!locked && locked.error().code() == EBUSY) {
    locked = without_gil_until_signal(
        [&](StopQuery& stop) { return lock.acquire(Deadline::never(), stop); });
  }
  return finish_acquire(locked);
}

PyObject* do_release(PyObject* self) {
  Receiver<LockObject> me(self);
  if (!me) return nullptr;
  auto released = me->lock.release();
  if (!released) return raise_error("Unlock failed: ", released.error());
  Py_RETURN_NONE;
}

PyObject* lock_acquire(PyObject* self, PyObject*) {
  Entry entry;
  return do_acquire(self);
}

PyObject* lock_release(PyObject* self, PyObject*) {
  Entry entry;
  return do_release(self);
}

PyObject* lock_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Entry entry;
  PyObject* bound[3];
  if (!bind_fastcall(kExitSig, args, nargsf, kwnames, bound)) return nullptr;
  return do_release(self);
}

PyObject* lock_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Entry entry;
  return unlink_name(kUnlinkSig, args, nargsf, kwnames);
}

PyMethodDef lock_methods[] = {
    {"acquire", lock_acquire, METH_NOARGS, "acquire($self)\n--\n\n"},
    {"release", lock_release, METH_NOARGS, "release($self)\n--\n\n"},
    {"__enter__", lock_acquire, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(lock_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"unlink", as_cfunction(lock_unlink), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "unlink(name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* lock_type_cell = nullptr;

}  // namespace

PyTypeObject* lock_type() {
  if (lock_type_cell != nullptr) return lock_type_cell;
  static char doc[] = "VeskLock(name)\n--\n\n";
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, doc},
      {Py_tp_new, reinterpret_cast<void*>(lock_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(lock_dealloc)},
      {Py_tp_methods, lock_methods},
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.VeskLock", static_cast<int>(sizeof(LockObject)), 0, Py_TPFLAGS_DEFAULT,
                   slots};
  return type_cell(lock_type_cell, &spec, "VeskLock");
}

}  // namespace vesk::py
