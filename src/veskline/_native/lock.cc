// _native.LockHandle: one process's handle on a named robust lock, for
// veskline.Lock (lock.py), which adds the multiprocessing.Lock interface.
//
// The handle reports outcomes as small integers and leaves their meaning in
// Python terms to lock.py; only failures that are errors (a bad name, a
// release without holding) raise here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "veskline/_native/gil.h"
#include "veskline/_native/parts.h"
#include "veskline_core/shm/named_lock.h"
#include "veskline_core/shm/segment.h"
#include "veskline_core/shm/unique_fd.h"

namespace veskline::native {
namespace {

// The outcomes of an acquire, as lock.py reads them.
enum AcquireOutcome : long {
  kNotAcquired = 0,  // busy (non-blocking) or the deadline passed
  kAcquired = 1,
  kRecovered = 2,     // acquired from a holder that died
  kHeldByCaller = 3,  // the calling thread holds it already
};

struct LockHandle {
  PyObject_HEAD std::optional<vesk::NamedLock> lock;
};

long outcome_of(const vesk::Result<vesk::Locked, vesk::LockError>& locked) {
  if (locked) return locked.value() == vesk::Locked::OwnerDied ? kRecovered : kAcquired;
  switch (locked.error().code()) {
    case EBUSY:
    case vesk::kLockTimedOut:
      return kNotAcquired;
    case EDEADLK:
      return kHeldByCaller;
    default:
      return -1;
  }
}

PyObject* raise_lock_error(const vesk::LockError& error) {
  PyErr_Format(PyExc_OSError, "lock failure: %s", error.text().c_str());
  return nullptr;
}

// The object under `system_name` as (device, inode), or nothing when there is
// none (errno set).
std::optional<std::pair<dev_t, ino_t>> identity(const std::string& system_name) {
  vesk::UniqueFd fd(::shm_open(system_name.c_str(), O_RDONLY, 0));
  if (!fd.valid()) return std::nullopt;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return std::nullopt;
  return std::pair{status.st_dev, status.st_ino};
}

PyObject* handle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", "attach", nullptr};
  const char* name = nullptr;
  Py_ssize_t length = 0;
  int attach = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#p:LockHandle", const_cast<char**>(keywords),
                                   &name, &length, &attach))
    return nullptr;
  const std::string_view view(name, static_cast<size_t>(length));
  auto system_name = vesk::normalize_segment_name(view);
  if (!system_name) {
    PyErr_Format(PyExc_ValueError, "invalid lock name: %s", system_name.error().text().c_str());
    return nullptr;
  }

  // An attach must never create: opening creates a missing name, so check
  // first that it exists, and afterwards that it is still the same object
  // (it was not removed, and perhaps made anew by this very open, in between).
  std::optional<std::pair<dev_t, ino_t>> before;
  if (attach) {
    before = identity(*system_name);
    if (!before) {
      if (errno == ENOENT) {
        PyErr_Format(PyExc_FileNotFoundError,
                     "no lock named '%s': it was removed (its owner closed it or ended)", name);
      } else {
        PyErr_SetFromErrno(PyExc_OSError);
      }
      return nullptr;
    }
  }
  auto opened = vesk::NamedLock::open(view);
  if (!opened) {
    PyErr_Format(PyExc_OSError, "cannot open lock '%s': %s", name, opened.error().text().c_str());
    return nullptr;
  }
  if (attach && identity(*system_name) != before) {
    PyErr_Format(PyExc_FileNotFoundError,
                 "no lock named '%s': it was removed (its owner closed it or ended)", name);
    return nullptr;
  }

  auto* self = reinterpret_cast<LockHandle*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->lock) std::optional<vesk::NamedLock>(std::move(opened).value());
  return reinterpret_cast<PyObject*>(self);
}

void handle_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<LockHandle*>(object);
  PyTypeObject* type = Py_TYPE(object);
  // A lock still held keeps its mapping alive in NamedLock's registry.
  self->lock.~optional();
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* handle_try_acquire(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<LockHandle*>(object);
  auto locked = self->lock->try_acquire();
  const long outcome = outcome_of(locked);
  if (outcome < 0) return raise_lock_error(locked.error());
  return PyLong_FromLong(outcome);
}

// acquire(timeout_ns): a negative timeout waits for ever. Without the
// interpreter lock; a raising signal handler ends the wait with the lock not
// held and its exception set.
PyObject* handle_acquire(PyObject* object, PyObject* arg) {
  auto* self = reinterpret_cast<LockHandle*>(object);
  const long long timeout_ns = PyLong_AsLongLong(arg);
  if (timeout_ns == -1 && PyErr_Occurred()) return nullptr;
  const vesk::NamedLock& lock = *self->lock;
  // The uncontended case never lets go of the interpreter lock.
  auto locked = lock.try_acquire();
  if (!locked && locked.error().code() == EBUSY && timeout_ns != 0) {
    const vesk::Deadline deadline =
        timeout_ns < 0 ? vesk::Deadline::never() : vesk::Deadline::after(timeout_ns);
    locked = blocking([&](vesk::StopQuery& stop) { return lock.acquire(deadline, stop); });
    if (!locked && locked.error().code() == vesk::kLockStopped) return nullptr;
  }
  const long outcome = outcome_of(locked);
  if (outcome < 0) return raise_lock_error(locked.error());
  return PyLong_FromLong(outcome);
}

PyObject* handle_release(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<LockHandle*>(object);
  auto released = self->lock->release();
  if (released) Py_RETURN_NONE;
  if (released.error().code() == EPERM) {
    const int word = __atomic_load_n(&self->lock->mutex()->__data.__lock, __ATOMIC_ACQUIRE);
    if ((word & FUTEX_TID_MASK) == 0) {
      PyErr_SetString(PyExc_ValueError, "lock released too many times: it is not held");
    } else {
      PyErr_SetString(PyExc_RuntimeError,
                      "cannot release a lock that another thread or process holds");
    }
    return nullptr;
  }
  return raise_lock_error(released.error());
}

// Whether any thread of any process holds the lock now (a snapshot).
PyObject* handle_locked(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<LockHandle*>(object);
  const int word = __atomic_load_n(&self->lock->mutex()->__data.__lock, __ATOMIC_ACQUIRE);
  return PyBool_FromLong((word & FUTEX_TID_MASK) != 0 && (word & FUTEX_OWNER_DIED) == 0);
}

PyMethodDef handle_methods[] = {
    {"try_acquire", handle_try_acquire, METH_NOARGS,
     "try_acquire($self)\n--\n\n0 busy, 1 acquired, 2 acquired from a dead holder, "
     "3 held by the calling thread."},
    {"acquire", handle_acquire, METH_O,
     "acquire($self, timeout_ns, /)\n--\n\nAs try_acquire, waiting up to timeout_ns "
     "(negative: for ever)."},
    {"release", handle_release, METH_NOARGS, "release($self)\n--\n\n"},
    {"locked", handle_locked, METH_NOARGS, "locked($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(handle_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_methods, handle_methods},
    {Py_tp_doc, const_cast<char*>("LockHandle(name, attach)\n--\n\n"
                                  "A handle on the named robust lock; attach=True never creates.")},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "veskline._native.LockHandle",
    static_cast<int>(sizeof(LockHandle)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    handle_slots,
};

}  // namespace

int add_lock(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &handle_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
  Py_DECREF(type);
  return added;
}

}  // namespace veskline::native
