#include "veskline_core/pool/pool_core.h"

#include <new>
#include <string>

#include "veskline_core/lib/call_frame.h"
#include "veskline_core/lib/errors.h"
#include "veskline_core/lib/queue.h"
#include "veskline_core/lib/ring_calls.h"
#include "veskline_core/pool/random_id.h"
#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/ring_ops.h"
#include "veskline_core/shm/segment.h"

namespace vesk::py {

namespace {

struct PoolObject {
  PyObject_HEAD std::string task_name;
  std::string result_name;
  MirroredSegment task_segment;
  MirroredSegment result_segment;
  RingHandle task_ring;
  RingHandle result_ring;
  UseCounter uses;

  static constexpr const char* kName = "VeskPoolCore";
  static PyTypeObject* type() { return pool_core_type(); }
};

const Signature kNewSig{"VeskPoolCore.__new__()", {"size_mb"}, 1};
const Signature kPutSig{"VeskPoolCore.put_task()", {"data"}, 1};

// Removes, on a failed construction, the rings this constructor made; a ring
// that failed to be made has removed its own name already.
class CreatedNames {
 public:
  void created(const std::string& name) { names_[count_++] = &name; }
  void keep() { count_ = 0; }
  ~CreatedNames() {
    for (int i = 0; i < count_; ++i) (void)unlink_segment(*names_[i]);
  }

 private:
  const std::string* names_[2] = {};
  int count_ = 0;
};

PyObject* raise_create_error(const AttachError& error, const char* creating,
                             const char* initialising) {
  return raise_error(error.stage == AttachStage::Creation ? creating : initialising, error);
}

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Entry entry;
  PyObject* bound[1];
  if (!bind_tuple(kNewSig, args, kwargs, bound)) return nullptr;
  auto size_mb = to_u64(bound[0], "size_mb");
  if (!size_mb) return nullptr;
  auto bytes = ring_bytes(*size_mb);
  if (!bytes) return nullptr;

  const std::string id = pool::random_pool_id();
  std::string task_name = "vk_task_" + id;
  std::string result_name = "vk_res_" + id;
  CreatedNames cleanup;

  auto task = create_ring(task_name, *bytes);
  if (!task) {
    return raise_create_error(task.error(),
                              "Failed to create task shm: ", "Failed to init task buffer: ");
  }
  cleanup.created(task_name);
  auto result = create_ring(result_name, *bytes);
  if (!result) {
    return raise_create_error(result.error(),
                              "Failed to create result shm: ", "Failed to init result buffer: ");
  }
  cleanup.created(result_name);

  PyObject* self = allocate(type);
  if (self == nullptr) return nullptr;
  cleanup.keep();
  auto* pool = reinterpret_cast<PoolObject*>(self);
  new (&pool->task_name) std::string(std::move(task_name));
  new (&pool->result_name) std::string(std::move(result_name));
  new (&pool->task_segment) MirroredSegment(std::move(task->segment));
  new (&pool->result_segment) MirroredSegment(std::move(result->segment));
  pool->task_ring = task->ring;
  pool->result_ring = result->ring;
  new (&pool->uses) UseCounter();
  return self;
}

void pool_dealloc(PyObject* self) {
  Entry entry;
  auto* pool = reinterpret_cast<PoolObject*>(self);
  pool->task_segment.~MirroredSegment();
  pool->result_segment.~MirroredSegment();
  pool->task_name.~basic_string();
  pool->result_name.~basic_string();
  free_instance(self);
}

PyObject* pool_put_task(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  Entry entry;
  PyObject* bound[1];
  if (!bind_fastcall(kPutSig, args, nargsf, kwnames, bound)) return nullptr;
  Receiver<PoolObject> me(self);
  if (!me) return nullptr;
  return put_message(me->task_ring, bound[0], "Task put error: ");
}

PyObject* pool_get_result(PyObject* self, PyObject*) {
  Entry entry;
  Receiver<PoolObject> me(self);
  if (!me) return nullptr;
  return get_message(me->result_ring, "Result get error: ");
}

PyObject* pool_unlink(PyObject* self, PyObject*) {
  Entry entry;
  Receiver<PoolObject> me(self);
  if (!me) return nullptr;
  // Best effort by design: a name already gone is what the caller wants.
  (void)unlink_segment(me->task_name);
  (void)unlink_segment(me->result_name);
  Py_RETURN_NONE;
}

PyObject* name_getter(PyObject* self, const std::string PoolObject::*field) {
  Entry entry;
  Receiver<PoolObject> me(self);
  if (!me) return nullptr;
  const std::string& name = me.get()->*field;
  PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (text == nullptr) VESK_API_FAILED();
  return text;
}

PyObject* pool_task_q_name(PyObject* self, void*) {
  return name_getter(self, &PoolObject::task_name);
}

PyObject* pool_result_q_name(PyObject* self, void*) {
  return name_getter(self, &PoolObject::result_name);
}

PyMethodDef pool_methods[] = {
    {"put_task", as_cfunction(pool_put_task), METH_FASTCALL | METH_KEYWORDS,
     "put_task($self, data)\n--\n\n"},
    {"get_result", pool_get_result, METH_NOARGS, "get_result($self)\n--\n\n"},
    {"unlink", pool_unlink, METH_NOARGS, "unlink($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pool_getset[] = {
    {"task_q_name", pool_task_q_name, nullptr, nullptr, nullptr},
    {"result_q_name", pool_result_q_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* pool_type_cell = nullptr;

}  // namespace

PyTypeObject* pool_core_type() {
  if (pool_type_cell != nullptr) return pool_type_cell;
  static char doc[] = "VeskPoolCore(size_mb)\n--\n\n";
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, doc},
      {Py_tp_new, reinterpret_cast<void*>(pool_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(pool_dealloc)},
      {Py_tp_methods, pool_methods},
      {Py_tp_getset, pool_getset},
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.VeskPoolCore", static_cast<int>(sizeof(PoolObject)), 0,
                   Py_TPFLAGS_DEFAULT, slots};
  return type_cell(pool_type_cell, &spec, "VeskPoolCore");
}

}  // namespace vesk::py
