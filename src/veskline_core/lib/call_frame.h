// The call frame shared by every entry from Python into the module.
//
// Each constructor, method, getter and slot of the four classes:
//   1. counts itself in (Entry), which refuses entries during a view traversal;
//   2. binds its arguments (bind_fastcall / bind_tuple) with the exact TypeError
//      texts of the module;
//   3. checks its receiver and takes a shared use of it (Receiver<T>);
//   4. converts the arguments (to_text / to_bytes / to_u64);
//   5. does its work, releasing the interpreter lock only around blocking,
//      Python-free work (without_gil_until_signal);
//   6. builds its result or raises, in one place.
// Conditions treated as impossible end the process through VESK_FAULT; they
// never become Python exceptions. Everything here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "veskline_core/lib/py_ref.h"
#include "veskline_core/shm/wait.h"

namespace vesk::py {

// Writes "veskline_core: internal fault at FILE:LINE: MESSAGE" to standard
// error and aborts. Never returns.
[[noreturn]] void fault(const char* file, int line, const char* message);
#define VESK_FAULT(message) ::vesk::py::fault(__FILE__, __LINE__, (message))

// Ends the process with "Python API call failed" after printing the pending
// exception: used when the interpreter cannot create a result object.
[[noreturn]] void api_call_failed(const char* file, int line);
#define VESK_API_FAILED() ::vesk::py::api_call_failed(__FILE__, __LINE__)

// Per-thread depth of entries into the module; see the file comment.
class Entry {
 public:
  Entry();
  ~Entry();
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};

// Marks the calling thread as inside a view traversal for its lifetime: any
// Entry made meanwhile is an internal fault.
class TraverseMark {
 public:
  TraverseMark();
  ~TraverseMark();
  TraverseMark(const TraverseMark&) = delete;
  TraverseMark& operator=(const TraverseMark&) = delete;

 private:
  int saved_;
};

// Returns NULL after making sure an exception is set: the pending one, or
// SystemError "attempted to fetch exception but none was set".
PyObject* fail_with_pending();

// --- arguments ---------------------------------------------------------------

// A function's argument description: display name ("VeskQueue.put_bytes()")
// and its parameter names, all required, each by position or keyword.
struct Signature {
  const char* display;
  const char* params[3];
  int count;
};

// Binds vectorcall arguments into out[0..count). Raises TypeError and returns
// false on a count, name or duplicate error.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** out);

// The same for tp_new's (tuple, dict) arguments.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions; each raises (with the "argument 'NAME': " prefix on a plain
// TypeError) and returns nullopt on failure.
std::optional<std::string_view> to_text(PyObject* value, const char* param);
struct BytesArg {
  const char* data;
  Py_ssize_t size;
};
std::optional<BytesArg> to_bytes(PyObject* value, const char* param);
std::optional<uint64_t> to_u64(PyObject* value, const char* param);

// --- receiver and use counter ------------------------------------------------

// Per-instance counter: 0 free, n > 0 shared uses, -1 one exclusive use.
struct UseCounter {
  std::atomic<int64_t> value{0};
};

// Raises RuntimeError "Already mutably borrowed" and returns false while an
// exclusive use runs; otherwise counts one shared use in.
bool take_shared(UseCounter& uses);
void give_shared(UseCounter& uses);
// Raises RuntimeError "Already borrowed" and returns false unless free.
bool take_exclusive(UseCounter& uses);
void give_exclusive(UseCounter& uses);

// Raises TypeError "'{type}' object cannot be converted to '{class}'" unless
// `object` is an instance of `type` (or a subtype).
bool check_instance(PyObject* object, PyTypeObject* type, const char* class_name);

// The receiver of one call: a strong reference plus one shared use, both given
// back when the call ends. Test it before use: false means the check or the
// use failed and an exception is set. T provides `static PyTypeObject*
// type()`, `static constexpr const char* kName` and a `UseCounter uses`.
template <class T>
class Receiver {
 public:
  explicit Receiver(PyObject* self) {
    if (!check_instance(self, T::type(), T::kName)) return;
    T* object = reinterpret_cast<T*>(self);
    if (!take_shared(object->uses)) return;
    object_ = object;
    Py_INCREF(self);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() {
    if (object_ == nullptr) return;
    give_shared(object_->uses);
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
  }
  explicit operator bool() const { return object_ != nullptr; }
  T* operator->() const { return object_; }
  T* get() const { return object_; }

 private:
  T* object_ = nullptr;
};

// --- the interpreter lock ----------------------------------------------------

// Releases the interpreter lock for its lifetime (and sets this thread's entry
// depth to 0 meanwhile, since it no longer holds the lock).
class GilRelease {
 public:
  GilRelease();
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Takes the interpreter lock back for the duration of `with_gil`.
  template <class F>
  auto reacquired(F&& with_gil) {
    Reacquired back(*this);
    return with_gil();
  }

 private:
  class Reacquired {
   public:
    explicit Reacquired(GilRelease& release);
    ~Reacquired();
    Reacquired(const Reacquired&) = delete;
    Reacquired& operator=(const Reacquired&) = delete;

   private:
    GilRelease& release_;
  };

  int depth_;
  PyThreadState* state_;
};

// The wait's "should I stop?" answered by this interpreter: take the lock
// back, run the pending signal handlers, and stop when one raised (its
// exception stays set for the caller to return). A handler that returns
// normally lets the wait go on.
class SignalStop final : public StopQuery {
 public:
  explicit SignalStop(GilRelease& release) : release_(release) {}
  bool should_stop() override;

 private:
  GilRelease& release_;
};

// Runs blocking `work(StopQuery&)` with the interpreter lock released and
// returns its outcome with the lock held again. `work` must not touch any
// Python object; it passes the query to the wait, so Ctrl-C (or any raising
// signal handler) ends it.
template <class F>
auto without_gil_until_signal(F&& work) {
  GilRelease release;
  SignalStop stop(release);
  return work(static_cast<StopQuery&>(stop));
}

// --- instances ---------------------------------------------------------------

// Allocates an instance of `type` (tp_alloc, or the generic allocator). On
// failure returns NULL with an exception set.
PyObject* allocate(PyTypeObject* type);

// Frees `self` through its type's tp_free and drops the instance's reference
// to its heap type.
void free_instance(PyObject* self);

// A one-time type cell: returns the type in `cell`, building it with
// PyType_FromSpec on first use (failure is an internal fault "failed to create type object
// for CLASS"). If building let another thread fill the cell first, the first
// stored type wins.
PyTypeObject* type_cell(PyTypeObject*& cell, PyType_Spec* spec, const char* class_name);

// Method tables store every calling convention as a PyCFunction.
template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vesk::py
