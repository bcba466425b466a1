// veskline._native.RingQueue: one mapped ring with its queue state, and the
// calls the Python queues make on it: one native call per put, get or batch.
//
// Arguments are positional only (the Python classes pass them), so a call
// costs no keyword parsing. Every call first tries the operation with the
// interpreter lock held and the ring mutex only tried, which completes the
// common case without releasing the lock; whenever it would have to wait it
// is repeated with the interpreter lock released and Ctrl-C able to end the
// wait (see gil.h). Records up to the copy limit are copied with the mutex
// held; longer ones are claimed and copied with the mutex free, straight
// into the returned object.
#include <Python.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "veskline/_native/buffers.h"
#include "veskline/_native/gil.h"
#include "veskline/_native/open_error.h"
#include "veskline/_native/parts.h"
#include "veskline/_native/ring_queue.h"
#include "veskline_core/shm/queue_ops.h"
#include "veskline_core/shm/ring_layout.h"

namespace veskline::native {
namespace {

using vesk::Deadline;
using vesk::QueueError;
using vesk::StopQuery;

// Records at most this long go through the fast path with the interpreter
// lock held; a longer copy would keep other threads waiting.
constexpr uint64_t kHeldCopyLimit = 64 * 1024;
constexpr uint64_t kCopyLimit = 32 * 1024;

struct RingQueueObject {
  PyObject_HEAD vesk::MirroredSegment segment;
  vesk::QueueRef q;
  std::shared_ptr<vesk::ViewArea> view_area;  // see ring_queue_view_area()
  uint64_t maxsize;
  int in_use;   // calls running (they may have released the interpreter lock)
  bool closed;  // the mapping goes once in_use drops to 0
  // What put_object and get_object call, looked up on first use: pickle's
  // dumps and loads, the list that collects out-of-band buffers and its bound
  // append (reused while no other put_object is pickling, so a put allocates
  // neither), and the keyword names of the dumps call.
  PyObject* dumps;
  PyObject* loads;
  PyObject* oob;
  PyObject* oob_append;
  PyObject* dumps_kwnames;
  PyObject* take_side_name;
  PyObject* decode_name;
  bool oob_busy;
};

RingQueueObject* as_queue(PyObject* self) {
  return reinterpret_cast<RingQueueObject*>(self);
}

// Keeps the mapping alive across a call that releases the interpreter lock;
// a close() meanwhile unmaps when the last call leaves.
class Use {
 public:
  explicit Use(RingQueueObject* self) : self_(self) { ++self_->in_use; }
  ~Use() {
    if (--self_->in_use == 0 && self_->closed) self_->segment = vesk::MirroredSegment();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  RingQueueObject* self_;
};

bool check_open(RingQueueObject* self) {
  if (self->closed) {
    PyErr_SetString(PyExc_ValueError, "the queue is closed");
    return false;
  }
  return true;
}

PyObject* module_attr(const char* module_name, const char* attr) {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) return nullptr;
  PyObject* value = PyObject_GetAttrString(module, attr);
  Py_DECREF(module);
  return value;
}

void raise_from(const char* module_name, const char* attr, const char* text) {
  PyObject* type = module_attr(module_name, attr);
  if (type == nullptr) return;
  if (text == nullptr) {
    PyErr_SetNone(type);
  } else {
    PyErr_SetString(type, text);
  }
  Py_DECREF(type);
}

enum class Op { Put, Get, Other };

// Sets the Python exception for a failed operation; always returns nullptr.
PyObject* raise_error(const QueueError& error, Op op, RingQueueObject* self, uint64_t need = 0,
                      uint64_t items = 0) {
  using Kind = QueueError::Kind;
  switch (error.kind()) {
    case Kind::TooLarge: {
      std::string text;
      if (need > self->q.ring.data_size) {
        text = "a message of " + std::to_string(need - 4 * (items == 0 ? 1 : items)) +
               " bytes can never fit in this queue's ring of " +
               std::to_string(self->q.ring.data_size) + " bytes";
      } else {
        text = "a batch of " + std::to_string(items) +
               " items can never fit in a queue of maxsize " + std::to_string(self->maxsize);
      }
      PyErr_SetString(PyExc_ValueError, text.c_str());
      return nullptr;
    }
    case Kind::ShutDown:
      raise_from("veskline._errors", "ShutDown", nullptr);
      return nullptr;
    case Kind::TooManyTaskDone:
      PyErr_SetString(PyExc_ValueError, "task_done() called too many times");
      return nullptr;
    case Kind::Incompatible:
    case Kind::Busy:
      PyErr_SetString(PyExc_RuntimeError, error.text().c_str());
      return nullptr;
    case Kind::Ring:
      break;
  }
  switch (error.ring().kind()) {
    case vesk::RingError::Kind::TimedOut:
      if (op == Op::Put)
        raise_from("queue", "Full", nullptr);
      else if (op == Op::Get)
        raise_from("queue", "Empty", nullptr);
      else
        PyErr_SetString(PyExc_TimeoutError, "timed out");
      return nullptr;
    case vesk::RingError::Kind::Stopped:
      // A signal handler raised; its exception is the answer.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
    case vesk::RingError::Kind::OutOfMemory:
      return PyErr_NoMemory();
    default:
      PyErr_SetString(PyExc_OSError, error.text().c_str());
      return nullptr;
  }
}

// timeout None: never; a number of seconds, rounded up to whole nanoseconds so
// a wait never ends early. block false ignores the timeout.
bool parse_deadline(PyObject* block_arg, PyObject* timeout, Deadline* deadline) {
  int block = 1;
  if (block_arg != nullptr) {
    block = PyObject_IsTrue(block_arg);
    if (block < 0) return false;
  }
  if (!block) {
    *deadline = Deadline::after(0);
    return true;
  }
  if (timeout == nullptr || timeout == Py_None) {
    *deadline = Deadline::never();
    return true;
  }
  const double seconds = PyFloat_AsDouble(timeout);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (std::isnan(seconds) || seconds < 0) {
    PyErr_SetString(PyExc_ValueError, "'timeout' must be a non-negative number");
    return false;
  }
  const double ns = std::ceil(seconds * 1e9);
  *deadline = ns >= 9.2e18 ? Deadline::never() : Deadline::after(static_cast<int64_t>(ns));
  return true;
}

bool flag(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index, bool* out) {
  if (nargs <= index) return true;
  const int value = PyObject_IsTrue(args[index]);
  if (value < 0) return false;
  *out = value != 0;
  return true;
}

PyObject* arg(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index) {
  return nargs > index ? args[index] : nullptr;
}

PyObject* do_put(RingQueueObject* self, const vesk::Part* parts, size_t count, uint64_t total,
                 bool many, Deadline deadline, bool task) {
  const uint64_t items = many ? count : 1;
  const uint64_t need = total + 4 * items;
  auto call = [&](vesk::Mode mode, StopQuery& stop) {
    return many ? vesk::queue_put_many(self->q, parts, count, mode, deadline, stop)
                : vesk::queue_put(self->q, parts, count, mode, deadline, stop);
  };
  Use use(self);
  if (need <= kHeldCopyLimit) {
    auto put = call(vesk::Mode{task, true}, vesk::never_stop());
    if (put) Py_RETURN_NONE;
    if (put.error().kind() != QueueError::Kind::Busy)
      return raise_error(put.error(), Op::Put, self, need, items);
  }
  auto put = blocking([&](StopQuery& stop) { return call(vesk::Mode{task, false}, stop); });
  if (!put) return raise_error(put.error(), Op::Put, self, need, items);
  Py_RETURN_NONE;
}

// The arguments after the data that put and put_many share: (block=True,
// timeout=None, task=False). False with an exception set.
bool bind_put(RingQueueObject* self, const char* count_error, PyObject* const* args,
              Py_ssize_t nargs, Deadline* deadline, bool* task) {
  if (nargs < 1 || nargs > 4) {
    PyErr_SetString(PyExc_TypeError, count_error);
    return false;
  }
  if (!check_open(self)) return false;
  *deadline = Deadline::never();
  *task = false;
  return parse_deadline(arg(args, nargs, 1), arg(args, nargs, 2), deadline) &&
         flag(args, nargs, 3, task);
}

// put(data, block=True, timeout=None, task=False)
PyObject* rq_put(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  Deadline deadline = Deadline::never();
  bool task = false;
  if (!bind_put(self, "put() takes 1 to 4 positional arguments", args, nargs, &deadline, &task))
    return nullptr;
  Buffers buffers;
  if (!collect_record(args[0], &buffers)) return nullptr;
  return do_put(self, buffers.parts(), buffers.count(), buffers.total(), false, deadline, task);
}

// put_many(items, block=True, timeout=None, task=False)
PyObject* rq_put_many(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  Deadline deadline = Deadline::never();
  bool task = false;
  if (!bind_put(self, "put_many() takes 1 to 4 positional arguments", args, nargs, &deadline,
                &task))
    return nullptr;
  PyObject* fast = PySequence_Fast(args[0], "put_many() needs an iterable of buffers");
  if (fast == nullptr) return nullptr;
  Buffers buffers;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  buffers.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!buffers.add(PySequence_Fast_GET_ITEM(fast, i))) {
      Py_DECREF(fast);
      return nullptr;
    }
  }
  PyObject* result =
      do_put(self, buffers.parts(), buffers.count(), buffers.total(), true, deadline, task);
  Py_DECREF(fast);
  return result;
}

// --- objects ------------------------------------------------------------------

constexpr int kSideTag = 'S';  // a Queue record naming a one-off segment

// Looks up what put_object and get_object call; false with an exception set.
bool ensure_pickle(RingQueueObject* self) {
  if (self->dumps != nullptr) return true;
  PyObject* dumps = module_attr("pickle", "dumps");
  PyObject* loads = dumps == nullptr ? nullptr : module_attr("pickle", "loads");
  PyObject* oob = loads == nullptr ? nullptr : PyList_New(0);
  PyObject* append = oob == nullptr ? nullptr : PyObject_GetAttrString(oob, "append");
  PyObject* kwnames = append == nullptr ? nullptr : Py_BuildValue("(s)", "buffer_callback");
  PyObject* take_side = kwnames == nullptr ? nullptr : PyUnicode_InternFromString("_take_side");
  PyObject* decode = take_side == nullptr ? nullptr : PyUnicode_InternFromString("_decode");
  if (decode == nullptr) {
    Py_XDECREF(dumps);
    Py_XDECREF(loads);
    Py_XDECREF(oob);
    Py_XDECREF(append);
    Py_XDECREF(kwnames);
    Py_XDECREF(take_side);
    return false;
  }
  self->dumps = dumps;
  self->loads = loads;
  self->oob = oob;
  self->oob_append = append;
  self->dumps_kwnames = kwnames;
  self->take_side_name = take_side;
  self->decode_name = decode;
  return true;
}

void rq_dealloc(PyObject* self_obj);

}  // namespace

bool is_ring_queue(PyObject* object) {
  return Py_TYPE(object)->tp_dealloc == rq_dealloc;
}

bool ring_queue_closed(PyObject* ring) {
  return as_queue(ring)->closed;
}

PyObject* ring_put_object(PyObject* ring, PyObject* obj, PyObject* block, PyObject* timeout,
                          bool task) {
  auto* self = as_queue(ring);
  if (!check_open(self)) return nullptr;
  Deadline deadline = Deadline::never();
  if (!parse_deadline(block, timeout, &deadline)) return nullptr;
  if (!ensure_pickle(self)) return nullptr;

  // The shared list unless another put is pickling meanwhile (a __reduce__
  // may run Python code, and so other threads).
  const bool shared = !self->oob_busy;
  PyObject* list = self->oob;
  PyObject* append = self->oob_append;
  if (shared) {
    self->oob_busy = true;
    Py_INCREF(list);
    Py_INCREF(append);
  } else {
    list = PyList_New(0);
    if (list == nullptr) return nullptr;
    append = PyObject_GetAttrString(list, "append");
    if (append == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  PyObject* protocol = PyLong_FromLong(5);  // a cached small int: no allocation
  PyObject* call_args[3] = {obj, protocol, append};
  PyObject* data = protocol == nullptr
                       ? nullptr
                       : PyObject_Vectorcall(self->dumps, call_args, 2, self->dumps_kwnames);
  Py_XDECREF(protocol);
  Py_DECREF(append);
  PyObject* buffers = nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (data != nullptr && n > 0) buffers = PyList_GetSlice(list, 0, n);
  if (n > 0 && PyList_SetSlice(list, 0, n, nullptr) < 0) PyErr_Clear();
  if (shared) self->oob_busy = false;
  Py_DECREF(list);
  if (data == nullptr) return nullptr;
  if (!PyBytes_CheckExact(data)) {
    Py_DECREF(data);
    Py_XDECREF(buffers);
    PyErr_SetString(PyExc_TypeError, "pickle.dumps() did not return bytes");
    return nullptr;
  }
  const auto length = static_cast<uint64_t>(PyBytes_GET_SIZE(data));
  if (!check_open(self)) {  // closed by another thread while pickling ran Python code
    Py_DECREF(data);
    Py_XDECREF(buffers);
    return nullptr;
  }
  if (n == 0 && length + 4 <= self->q.ring.data_size) {
    const vesk::Part part{PyBytes_AS_STRING(data), length};
    PyObject* result = do_put(self, &part, 1, length, false, deadline, task);
    Py_DECREF(data);
    return result;
  }
  if (n > 0 && buffers == nullptr) {
    Py_DECREF(data);
    return nullptr;
  }
  if (buffers == nullptr) buffers = PyList_New(0);
  return Py_BuildValue("(NN)", data, buffers);
}

namespace {

// --- records out ------------------------------------------------------------

// New references collected by one get: the first few inline, so a single
// get allocates nothing but its result.
class ObjectList {
 public:
  ObjectList() = default;
  ObjectList(const ObjectList&) = delete;
  ObjectList& operator=(const ObjectList&) = delete;
  ~ObjectList() { release(); }
  void push(PyObject* object) {
    if (size_ < kInline) {
      inline_[size_] = object;
    } else {
      more_.push_back(object);
    }
    ++size_;
  }
  size_t size() const { return size_; }
  PyObject* at(size_t i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }
  // Hands the references over (the list forgets them).
  void forget() {
    size_ = 0;
    more_.clear();
  }
  void release() {
    for (size_t i = 0; i < size_; ++i) Py_XDECREF(at(i));
    forget();
  }
  void take_from(ObjectList& other) {
    for (size_t i = 0; i < other.size(); ++i) push(other.at(i));
    other.forget();
  }

 private:
  static constexpr size_t kInline = 4;
  PyObject* inline_[kInline] = {};
  std::vector<PyObject*> more_;
  size_t size_ = 0;
};

// Copies records straight into new bytes objects; used with the interpreter
// lock held.
class ObjectSink final : public vesk::RecordSink {
 public:
  std::byte* reserve(uint32_t length) override {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (bytes == nullptr) {
      PyErr_Clear();  // reported as OutOfMemory
      return nullptr;
    }
    objects.push(bytes);
    return reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes));
  }
  void discard() override { objects.release(); }
  ObjectList objects;
};

// Copies records into one growing block; used without the interpreter lock.
class BlockSink final : public vesk::RecordSink {
 public:
  ~BlockSink() { std::free(block_); }
  std::byte* reserve(uint32_t length) override {
    if (used_ + length > size_) {
      const uint64_t wanted = std::max<uint64_t>(size_ * 2, used_ + length + 4096);
      void* grown = std::realloc(block_, wanted);
      if (grown == nullptr) return nullptr;
      block_ = static_cast<std::byte*>(grown);
      size_ = wanted;
    }
    std::byte* at = block_ + used_;
    used_ += length;
    lengths.push_back(length);
    return at;
  }
  void discard() override {
    used_ = 0;
    lengths.clear();
  }
  // Moves the records into `objects` as bytes; false with an exception set.
  bool to_objects(ObjectList* objects) const {
    uint64_t at = 0;
    for (uint32_t length : lengths) {
      PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(block_ + at),
                                                  static_cast<Py_ssize_t>(length));
      if (bytes == nullptr) return false;
      objects->push(bytes);
      at += length;
    }
    return true;
  }
  std::vector<uint32_t> lengths;

 private:
  std::byte* block_ = nullptr;
  uint64_t used_ = 0;
  uint64_t size_ = 0;
};

// Copies a claim's records into new objects (bytearray when `writable`) with
// the interpreter lock released, and finishes the claim. 1: delivered,
// 0: the claim was taken away meanwhile (get again), -1: exception set.
int deliver_claim(RingQueueObject* self, const vesk::Claim& claim, bool writable, bool task,
                  ObjectList* objects) {
  std::vector<std::pair<const std::byte*, uint32_t>> records;
  const std::byte* at = claim.data;
  for (uint64_t i = 0; i < claim.records; ++i) {
    uint32_t length = 0;
    std::memcpy(&length, at, 4);
    records.emplace_back(at + 4, length);
    at += 4 + static_cast<uint64_t>(length);
  }
  ObjectList made;
  for (const auto& record : records) {
    const auto length = static_cast<Py_ssize_t>(record.second);
    PyObject* object = writable ? PyByteArray_FromStringAndSize(nullptr, length)
                                : PyBytes_FromStringAndSize(nullptr, length);
    if (object == nullptr) {
      made.release();
      PyObject *type, *value, *trace;
      PyErr_Fetch(&type, &value, &trace);
      auto given = blocking([&](StopQuery&) { return vesk::queue_give_back(self->q, claim); });
      (void)given;
      PyErr_Restore(type, value, trace);
      return -1;
    }
    made.push(object);
  }
  std::vector<char*> targets;
  for (size_t i = 0; i < made.size(); ++i)
    targets.push_back(writable ? PyByteArray_AS_STRING(made.at(i)) : PyBytes_AS_STRING(made.at(i)));
  auto finished = blocking([&](StopQuery&) {
    for (size_t i = 0; i < records.size(); ++i)
      if (records[i].second > 0) std::memcpy(targets[i], records[i].first, records[i].second);
    return vesk::queue_finish(self->q, claim, task);
  });
  if (!finished) {
    raise_error(finished.error(), Op::Get, self);
    return -1;
  }
  if (!*finished) return 0;
  objects->take_from(made);
  return 1;
}

// A claim of one tagged record, handed to Python while still claimed:
// (payload, slot, ticket, begin, end, records). nullptr (exception set) after
// giving the claim back.
PyObject* side_token(RingQueueObject* self, const vesk::Claim& claim) {
  uint32_t length = 0;
  std::memcpy(&length, claim.data, 4);
  PyObject* token = Py_BuildValue(
      "(NIKKKK)",
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(claim.data + 4),
                                static_cast<Py_ssize_t>(length)),
      static_cast<unsigned int>(claim.slot), static_cast<unsigned long long>(claim.ticket),
      static_cast<unsigned long long>(claim.begin), static_cast<unsigned long long>(claim.end),
      static_cast<unsigned long long>(claim.records));
  if (token == nullptr) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    auto given = blocking([&](StopQuery&) { return vesk::queue_give_back(self->q, claim); });
    (void)given;
    PyErr_Restore(type, value, trace);
  }
  return token;
}

bool is_side_claim(const vesk::GetLimits& limits, const vesk::Claim& claim) {
  if (limits.claim_tag < 0 || claim.records != 1) return false;
  uint32_t length = 0;
  std::memcpy(&length, claim.data, 4);
  return length > 0 && static_cast<int>(claim.data[4]) == limits.claim_tag;
}

// Gets records into `objects`; false with an exception set. A tagged record
// (limits.claim_tag) comes alone, as a side_token, and sets *side.
bool do_get(RingQueueObject* self, vesk::GetLimits limits, Deadline deadline, bool task,
            bool writable, ObjectList* objects, bool* side = nullptr) {
  Use use(self);
  for (;;) {
    vesk::GetResult got;
    {
      ObjectSink held_sink;
      auto fast = vesk::queue_get(self->q, limits, held_sink, vesk::Mode{task, true}, deadline,
                                  vesk::never_stop());
      if (fast) {
        got = fast.value();
        objects->take_from(held_sink.objects);
      } else if (fast.error().kind() != QueueError::Kind::Busy) {
        raise_error(fast.error(), Op::Get, self);
        return false;
      } else {
        BlockSink sink;
        auto slow = blocking([&](StopQuery& stop) {
          return vesk::queue_get(self->q, limits, sink, vesk::Mode{task, false}, deadline, stop);
        });
        if (!slow) {
          raise_error(slow.error(), Op::Get, self);
          return false;
        }
        got = slow.value();
        if (!sink.to_objects(objects)) return false;
      }
    }
    if (!got.claimed) return true;
    if (is_side_claim(limits, got.claim)) {
      PyObject* token = side_token(self, got.claim);
      if (token == nullptr) return false;
      objects->push(token);
      if (side != nullptr) *side = true;
      return true;
    }
    const int delivered = deliver_claim(self, got.claim, writable, task, objects);
    if (delivered < 0) return false;
    if (delivered > 0) return true;
  }
}

// get(block=True, timeout=None, task=False, writable_large=False)
PyObject* rq_get(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  if (nargs > 4) {
    PyErr_SetString(PyExc_TypeError, "get() takes at most 4 positional arguments");
    return nullptr;
  }
  if (!check_open(self)) return nullptr;
  Deadline deadline = Deadline::never();
  bool task = false, writable = false;
  if (!parse_deadline(arg(args, nargs, 0), arg(args, nargs, 1), &deadline)) return nullptr;
  if (!flag(args, nargs, 2, &task) || !flag(args, nargs, 3, &writable)) return nullptr;
  ObjectList objects;
  if (!do_get(self, vesk::GetLimits{1, UINT64_MAX, kCopyLimit}, deadline, task, writable, &objects))
    return nullptr;
  PyObject* result = objects.at(0);
  objects.forget();
  return result;
}

}  // namespace

PyObject* ring_get_object(PyObject* ring, PyObject* owner, PyObject* block, PyObject* timeout,
                          bool task) {
  auto* self = as_queue(ring);
  if (!check_open(self)) return nullptr;
  Deadline deadline = Deadline::never();
  if (!parse_deadline(block, timeout, &deadline)) return nullptr;
  if (!ensure_pickle(self)) return nullptr;
  ObjectList objects;
  bool side = false;
  vesk::GetLimits limits{1, UINT64_MAX, kCopyLimit, kSideTag};
  if (!do_get(self, limits, deadline, task, true, &objects, &side)) return nullptr;
  PyObject* record = objects.at(0);
  objects.forget();
  PyObject* result;
  if (side) {
    PyObject* call_args[4] = {owner, record, block != nullptr ? block : Py_True,
                              timeout != nullptr ? timeout : Py_None};
    result = PyObject_VectorcallMethod(self->take_side_name, call_args,
                                       4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  } else {
    const char* bytes =
        PyBytes_CheckExact(record) ? PyBytes_AS_STRING(record) : PyByteArray_AS_STRING(record);
    const Py_ssize_t size =
        PyBytes_CheckExact(record) ? PyBytes_GET_SIZE(record) : PyByteArray_GET_SIZE(record);
    if (size > 0 && static_cast<unsigned char>(bytes[0]) == 0x80) {
      result = PyObject_Vectorcall(self->loads, &record, 1, nullptr);
    } else {
      PyObject* call_args[2] = {owner, record};
      result = PyObject_VectorcallMethod(self->decode_name, call_args,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
  }
  Py_DECREF(record);
  return result;
}

namespace {

bool parse_token(PyObject* token, vesk::Claim* claim, const RingQueueObject* self) {
  PyObject* payload = nullptr;
  unsigned int slot = 0;
  unsigned long long ticket = 0, begin = 0, end = 0, records = 0;
  if (!PyArg_ParseTuple(token, "OIKKKK", &payload, &slot, &ticket, &begin, &end, &records))
    return false;
  if (end < begin || end - begin > self->q.ring.data_size) {
    PyErr_SetString(PyExc_ValueError, "not a claim of this queue");
    return false;
  }
  *claim = vesk::Claim{slot, ticket,  begin,
                       end,  records, self->q.ring.data + begin % self->q.ring.data_size};
  return true;
}

// finish(token, task=False) -> bool: the claimed record leaves the queue
// (True), or the claim was taken from this process meanwhile (False).
PyObject* rq_finish(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  if (nargs < 1 || nargs > 2) {
    PyErr_SetString(PyExc_TypeError, "finish() takes 1 or 2 positional arguments");
    return nullptr;
  }
  if (!check_open(self)) return nullptr;
  bool task = false;
  if (!flag(args, nargs, 1, &task)) return nullptr;
  vesk::Claim claim;
  if (!parse_token(args[0], &claim, self)) return nullptr;
  Use use(self);
  auto finished = blocking([&](StopQuery&) { return vesk::queue_finish(self->q, claim, task); });
  if (!finished) return raise_error(finished.error(), Op::Other, self);
  return PyBool_FromLong(*finished);
}

// give_back(token): the claimed record goes to the next get.
PyObject* rq_give_back(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "give_back() takes 1 positional argument");
    return nullptr;
  }
  if (!check_open(self)) return nullptr;
  vesk::Claim claim;
  if (!parse_token(args[0], &claim, self)) return nullptr;
  Use use(self);
  auto given = blocking([&](StopQuery&) { return vesk::queue_give_back(self->q, claim); });
  if (!given) return raise_error(given.error(), Op::Other, self);
  Py_RETURN_NONE;
}

PyObject* to_list(ObjectList& objects) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < objects.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects.at(i));
  objects.forget();
  return list;
}

bool parse_limit(PyObject* value, const char* what, uint64_t* out) {
  if (value == nullptr || value == Py_None) return true;
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "'%s' must be at least 1", what);
    return false;
  }
  *out = static_cast<uint64_t>(n);
  return true;
}

// get_many(block=True, timeout=None, max_messages=None, max_bytes=None, task=False,
//          writable_large=False, side_claims=False) -> list
// With side_claims, a record naming a one-off segment comes alone, as a claim
// token (see get_object).
PyObject* rq_get_many(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  if (nargs > 7) {
    PyErr_SetString(PyExc_TypeError, "get_many() takes at most 7 positional arguments");
    return nullptr;
  }
  if (!check_open(self)) return nullptr;
  Deadline deadline = Deadline::never();
  vesk::GetLimits limits{UINT64_MAX, UINT64_MAX, kCopyLimit};
  bool task = false, writable = false;
  if (!parse_deadline(arg(args, nargs, 0), arg(args, nargs, 1), &deadline)) return nullptr;
  if (!parse_limit(arg(args, nargs, 2), "max_messages", &limits.max_records)) return nullptr;
  if (!parse_limit(arg(args, nargs, 3), "max_bytes", &limits.max_bytes)) return nullptr;
  bool side_claims = false;
  if (!flag(args, nargs, 4, &task) || !flag(args, nargs, 5, &writable) ||
      !flag(args, nargs, 6, &side_claims))
    return nullptr;
  if (side_claims) limits.claim_tag = kSideTag;
  ObjectList objects;
  if (!do_get(self, limits, deadline, task, writable, &objects)) return nullptr;
  return to_list(objects);
}

// --- the rest ---------------------------------------------------------------

PyObject* rq_stats(PyObject* self_obj, PyObject*) {
  auto* self = as_queue(self_obj);
  if (!check_open(self)) return nullptr;
  Use use(self);
  auto stats = blocking([&](StopQuery&) { return vesk::queue_stats(self->q); });
  if (!stats) return raise_error(stats.error(), Op::Other, self);
  return Py_BuildValue("(KKKKi)", static_cast<unsigned long long>(stats->size),
                       static_cast<unsigned long long>(stats->maxsize),
                       static_cast<unsigned long long>(stats->unfinished),
                       static_cast<unsigned long long>(stats->free_bytes),
                       static_cast<int>(stats->shutdown));
}

PyObject* rq_qsize(PyObject* self_obj, PyObject*) {
  auto* self = as_queue(self_obj);
  if (!check_open(self)) return nullptr;
  Use use(self);
  auto stats = vesk::queue_stats(self->q);
  if (!stats) return raise_error(stats.error(), Op::Other, self);
  return PyLong_FromUnsignedLongLong(stats->size);
}

PyObject* rq_task_done(PyObject* self_obj, PyObject*) {
  auto* self = as_queue(self_obj);
  if (!check_open(self)) return nullptr;
  Use use(self);
  auto done = vesk::queue_task_done(self->q);
  if (!done) return raise_error(done.error(), Op::Other, self);
  Py_RETURN_NONE;
}

// join(timeout=None) -> bool: False when the timeout passed first.
PyObject* rq_join(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  if (!check_open(self)) return nullptr;
  Deadline deadline = Deadline::never();
  if (!parse_deadline(nullptr, arg(args, nargs, 0), &deadline)) return nullptr;
  Use use(self);
  auto joined =
      blocking([&](StopQuery& stop) { return vesk::queue_join(self->q, deadline, stop); });
  if (!joined) {
    if (joined.error().is(vesk::RingError::Kind::TimedOut)) Py_RETURN_FALSE;
    return raise_error(joined.error(), Op::Other, self);
  }
  Py_RETURN_TRUE;
}

// shutdown(immediate=False) -> list of the records an immediate shutdown took out
PyObject* rq_shutdown(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_queue(self_obj);
  if (!check_open(self)) return nullptr;
  bool immediate = false;
  if (!flag(args, nargs, 0, &immediate)) return nullptr;
  Use use(self);
  BlockSink drained;
  auto done =
      blocking([&](StopQuery&) { return vesk::queue_shutdown(self->q, immediate, &drained); });
  if (!done) return raise_error(done.error(), Op::Other, self);
  ObjectList objects;
  if (!drained.to_objects(&objects)) return nullptr;
  return to_list(objects);
}

PyObject* rq_close(PyObject* self_obj, PyObject*) {
  auto* self = as_queue(self_obj);
  if (!self->closed) {
    self->closed = true;
    self->view_area.reset();  // records read in place keep their own reference
    if (self->in_use == 0) self->segment = vesk::MirroredSegment();
  }
  Py_RETURN_NONE;
}

PyObject* rq_get_capacity(PyObject* self_obj, void*) {
  return PyLong_FromUnsignedLongLong(as_queue(self_obj)->q.ring.data_size);
}
// The limit in effect for every user of the queue, which any of them may
// change.
PyObject* rq_get_maxsize(PyObject* self_obj, void*) {
  auto* self = as_queue(self_obj);
  if (!check_open(self)) return nullptr;
  Use use(self);
  auto stats = vesk::queue_stats(self->q);
  if (!stats) return raise_error(stats.error(), Op::Other, self);
  self->maxsize = stats->maxsize;
  return PyLong_FromUnsignedLongLong(stats->maxsize);
}
int rq_set_maxsize(PyObject* self_obj, PyObject* value, void*) {
  auto* self = as_queue(self_obj);
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "maxsize cannot be deleted");
    return -1;
  }
  // As multiprocessing and queue.Queue read it: 0 or less is no limit.
  const long long requested = PyLong_AsLongLong(value);
  if (requested == -1 && PyErr_Occurred()) return -1;
  if (!check_open(self)) return -1;
  Use use(self);
  const uint64_t maxsize = requested > 0 ? static_cast<uint64_t>(requested) : 0;
  if (auto set = vesk::queue_set_maxsize(self->q, maxsize); !set) {
    raise_error(set.error(), Op::Other, self);
    return -1;
  }
  self->maxsize = maxsize;
  return 0;
}
PyObject* rq_get_closed(PyObject* self_obj, void*) {
  return PyBool_FromLong(as_queue(self_obj)->closed);
}

// RingQueue(name, capacity, maxsize, how): how 0 = attach only (capacity
// ignored), 1 = create, failing if the name exists, 2 = create or attach.
PyObject* rq_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* name_obj = nullptr;
  unsigned long long capacity = 0, maxsize = 0;
  int how = 0;
  static const char* kwlist[] = {"name", "capacity", "maxsize", "how", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UKKi", const_cast<char**>(kwlist), &name_obj,
                                   &capacity, &maxsize, &how))
    return nullptr;
  Py_ssize_t length = 0;
  const char* name = PyUnicode_AsUTF8AndSize(name_obj, &length);
  if (name == nullptr) return nullptr;
  const std::string_view view(name, static_cast<size_t>(length));

  vesk::AttachedRing attached;
  if (how == 2) {
    auto made = vesk::attach_ring(view, capacity);
    if (!made) {
      PyErr_Format(PyExc_OSError, "cannot open the queue %R: %s", name_obj,
                   made.error().text().c_str());
      return nullptr;
    }
    attached = std::move(made).value();
  } else {
    auto made = how == 1 ? vesk::create_ring(view, capacity) : vesk::open_ring(view);
    if (!made) return raise_open_error(made.error(), name_obj);
    attached = std::move(made).value();
  }
  const vesk::QueueRef q = vesk::queue_ref(attached.ring);
  auto opened = vesk::queue_open(q, maxsize);
  if (!opened) {
    PyErr_Format(PyExc_OSError, "cannot open the queue %R: %s", name_obj,
                 opened.error().text().c_str());
    return nullptr;
  }
  PyObject* self_obj = type->tp_alloc(type, 0);
  if (self_obj == nullptr) return nullptr;
  auto* self = as_queue(self_obj);
  new (&self->segment) vesk::MirroredSegment(std::move(attached.segment));
  self->q = q;
  new (&self->view_area) std::shared_ptr<vesk::ViewArea>();
  self->maxsize = opened.value();
  self->in_use = 0;
  self->closed = false;
  self->dumps = self->loads = self->oob = self->oob_append = nullptr;
  self->dumps_kwnames = self->take_side_name = self->decode_name = nullptr;
  self->oob_busy = false;
  return self_obj;
}

void rq_dealloc(PyObject* self_obj) {
  auto* self = as_queue(self_obj);
  PyTypeObject* type = Py_TYPE(self_obj);
  self->view_area.~shared_ptr();
  self->segment.~MirroredSegment();
  Py_CLEAR(self->dumps);
  Py_CLEAR(self->loads);
  Py_CLEAR(self->oob);
  Py_CLEAR(self->oob_append);
  Py_CLEAR(self->dumps_kwnames);
  Py_CLEAR(self->take_side_name);
  Py_CLEAR(self->decode_name);
  type->tp_free(self_obj);
  Py_DECREF(type);
}

PyMethodDef rq_methods[] = {
    {"put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_put)), METH_FASTCALL,
     "put(data, block=True, timeout=None, task=False): one record from a buffer or a tuple of "
     "buffers."},
    {"put_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_put_many)),
     METH_FASTCALL, "put_many(buffers, block=True, timeout=None, task=False): all or none."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_get)), METH_FASTCALL,
     "get(block=True, timeout=None, task=False, writable_large=False) -> bytes"},
    {"get_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_get_many)),
     METH_FASTCALL,
     "get_many(block=True, timeout=None, max_messages=None, max_bytes=None, task=False, "
     "writable_large=False) -> list"},
    {"finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_finish)),
     METH_FASTCALL, "finish(token, task=False) -> bool: ends a claim handed out by a get"},
    {"give_back", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_give_back)),
     METH_FASTCALL, "give_back(token): returns a claimed record to the queue"},
    {"stats", rq_stats, METH_NOARGS,
     "stats() -> (size, maxsize, unfinished_tasks, free_bytes, shutdown)"},
    {"qsize", rq_qsize, METH_NOARGS, "qsize() -> int"},
    {"task_done", rq_task_done, METH_NOARGS, "task_done()"},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_join)), METH_FASTCALL,
     "join(timeout=None) -> bool"},
    {"shutdown", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_shutdown)),
     METH_FASTCALL, "shutdown(immediate=False) -> list of drained records"},
    {"close", rq_close, METH_NOARGS, "close(): unmap (once no call is running)."},
    {"reserve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_reserve)),
     METH_FASTCALL,
     "reserve(nbytes, block=True, timeout=None, task=False) -> a context manager giving a "
     "writable buffer inside the ring; leaving it publishes the record."},
    {"view", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rq_view)), METH_FASTCALL,
     "view(block=True, timeout=None, task=False) -> a context manager giving the next record "
     "in place, read-only."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rq_getset[] = {
    {"capacity", rq_get_capacity, nullptr, "data bytes of the ring", nullptr},
    {"maxsize", rq_get_maxsize, rq_set_maxsize, "items, 0 for none", nullptr},
    {"closed", rq_get_closed, nullptr, "whether close() was called", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rq_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rq_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rq_dealloc)},
    {Py_tp_methods, rq_methods},
    {Py_tp_getset, rq_getset},
    {Py_tp_doc, const_cast<char*>("A mapped ring with its queue state.")},
    {0, nullptr},
};

PyType_Spec rq_spec = {
    "veskline._native.RingQueue",
    sizeof(RingQueueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    rq_slots,
};

}  // namespace

const vesk::QueueRef* ring_queue_ref(PyObject* ring_queue) {
  RingQueueObject* self = as_queue(ring_queue);
  return check_open(self) ? &self->q : nullptr;
}

std::shared_ptr<vesk::ViewArea> ring_queue_view_area(PyObject* ring_queue) {
  RingQueueObject* self = as_queue(ring_queue);
  if (self->view_area == nullptr || self->view_area->retired()) {
    // Called with a hold on the mapping; a closed queue keeps no area.
    auto mapped = vesk::ViewArea::map(self->q.ring.data, self->q.ring.data_size);
    std::shared_ptr<vesk::ViewArea> area = mapped ? std::move(mapped).value() : nullptr;
    if (self->closed) return area;
    self->view_area = std::move(area);
  }
  return self->view_area;
}

void ring_queue_hold(PyObject* ring_queue, int delta) {
  RingQueueObject* self = as_queue(ring_queue);
  self->in_use += delta;
  if (self->in_use == 0 && self->closed) self->segment = vesk::MirroredSegment();
}

PyObject* ring_queue_raise(PyObject* ring_queue, const vesk::QueueError& error, bool put,
                           uint64_t need) {
  return raise_error(error, put ? Op::Put : Op::Get, as_queue(ring_queue), need, 1);
}

bool ring_queue_deadline(PyObject* block, PyObject* timeout, vesk::Deadline* deadline) {
  return parse_deadline(block, timeout, deadline);
}

int add_ring_queue(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &rq_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "RingQueue", type);
  Py_DECREF(type);
  return added;
}

}  // namespace veskline::native
