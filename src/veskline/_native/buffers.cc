#include "veskline/_native/buffers.h"

namespace veskline::native {

Buffers::~Buffers() {
  for (Py_buffer& view : views_) PyBuffer_Release(&view);
}

bool Buffers::add(PyObject* object) {
  views_.emplace_back();
  if (PyObject_GetBuffer(object, &views_.back(), PyBUF_C_CONTIGUOUS) < 0) {
    views_.pop_back();
    return false;
  }
  parts_.push_back(vesk::Part{views_.back().buf, static_cast<uint64_t>(views_.back().len)});
  total_ += static_cast<uint64_t>(views_.back().len);
  return true;
}

const vesk::Part* Buffers::parts() {
  for (size_t i = 0; i < views_.size(); ++i) parts_[i].data = views_[i].buf;
  return parts_.data();
}

void Buffers::reserve(size_t n) {
  views_.reserve(n);
  parts_.reserve(n);
}

bool collect_record(PyObject* data, Buffers* buffers) {
  if (PyTuple_CheckExact(data) || PyList_CheckExact(data)) {
    PyObject* fast = PySequence_Fast(data, "");
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    buffers->reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!buffers->add(PySequence_Fast_GET_ITEM(fast, i))) {
        Py_DECREF(fast);
        return false;
      }
    }
    Py_DECREF(fast);
    return true;
  }
  return buffers->add(data);
}

}  // namespace veskline::native
