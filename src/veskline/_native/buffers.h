// The Python buffers a record is written from: one object exporting the
// buffer protocol, or a tuple or list of them laid end to end. Held for as
// long as the copy may run (the interpreter lock may be released meanwhile)
// and released on every path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "veskline_core/shm/queue_ops.h"

namespace veskline::native {

class Buffers {
 public:
  Buffers() = default;
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  ~Buffers();

  // False with an exception set when `object` is no C-contiguous buffer.
  bool add(PyObject* object);
  // Part pointers are taken once every view is in place (views_ may move).
  const vesk::Part* parts();
  size_t count() const { return parts_.size(); }
  uint64_t total() const { return total_; }
  void reserve(size_t n);

 private:
  std::vector<Py_buffer> views_;
  std::vector<vesk::Part> parts_;
  uint64_t total_ = 0;
};

// One record from a buffer or from a tuple or list of buffers laid end to
// end; false with an exception set.
bool collect_record(PyObject* data, Buffers* buffers);

}  // namespace veskline::native
