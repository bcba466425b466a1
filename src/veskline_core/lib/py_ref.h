// Ref: an owned strong reference to a Python object.
//
// Every ownership transfer is named at the call site: Ref::steal takes over a
// new reference (as returned by most C API calls), Ref::new_ref takes a new
// strong reference of its own to a borrowed one (like Py_NewRef), release()
// hands the reference back to the caller (usually the interpreter). The
// destructor drops what is still held. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace vesk::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) { return Ref(object); }
  static Ref new_ref(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) Py_XSETREF(object_, std::exchange(other.object_, nullptr));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vesk::py
