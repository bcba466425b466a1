// veskline._native.ObjectQueue: the native base of veskline.Queue, whose put
// and get are its methods, so a put or get of a small object is one native
// call with no Python frame: pickling, the ring operation and unpickling all
// happen inside it. The Python class binds the ring (_bind_ring) and handles
// what comes back for it to do (out-of-band buffers, one-off segments).
#include <Python.h>

#include <new>

#include "veskline/_native/parts.h"
#include "veskline/_native/ring_queue.h"

namespace veskline::native {
namespace {

struct ObjectQueueObject {
  PyObject_HEAD PyObject* ring;  // a RingQueue, or null until bound
  bool task;                     // puts add tasks, gets take them on (JoinableQueue)
};

ObjectQueueObject* as_object_queue(PyObject* self) {
  return reinterpret_cast<ObjectQueueObject*>(self);
}

// Binds args and keywords to `count` parameters named `names` into `out`
// (null where not given); false with TypeError set, worded as Python's.
bool bind(const char* function, const char* const* names, Py_ssize_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = nullptr;
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", function, count,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t at = 0;
    while (at < count && PyUnicode_CompareWithASCIIString(key, names[at]) != 0) ++at;
    if (at == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[at] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[at]);
      return false;
    }
    out[at] = args[nargs + k];
  }
  return true;
}

// The bound ring if open; else ValueError as multiprocessing words it.
PyObject* open_ring(PyObject* self) {
  PyObject* ring = as_object_queue(self)->ring;
  if (ring == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the queue is not open");
    return nullptr;
  }
  if (ring_queue_closed(ring)) {
    PyErr_Format(PyExc_ValueError, "Queue %R is closed", self);
    return nullptr;
  }
  return ring;
}

PyObject* oq_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"obj", "block", "timeout"};
  PyObject* bound[3];
  if (!bind("put", kNames, 3, args, nargs, kwnames, bound)) return nullptr;
  if (bound[0] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "put() missing required argument 'obj' (pos 1)");
    return nullptr;
  }
  PyObject* ring = open_ring(self);
  if (ring == nullptr) return nullptr;
  Py_INCREF(ring);  // a close() meanwhile must not free it under us
  PyObject* rest = ring_put_object(ring, bound[0], bound[1], bound[2], as_object_queue(self)->task);
  Py_DECREF(ring);
  if (rest == nullptr || rest == Py_None) return rest;
  // Out-of-band buffers, or too large for the ring: the Python side lays it out.
  PyObject* name = PyUnicode_InternFromString("_put_rest");
  if (name == nullptr) {
    Py_DECREF(rest);
    return nullptr;
  }
  PyObject* call_args[6] = {self,
                            bound[0],
                            PyTuple_GET_ITEM(rest, 0),
                            PyTuple_GET_ITEM(rest, 1),
                            bound[1] != nullptr ? bound[1] : Py_True,
                            bound[2] != nullptr ? bound[2] : Py_None};
  PyObject* result =
      PyObject_VectorcallMethod(name, call_args, 6 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  Py_DECREF(name);
  Py_DECREF(rest);
  return result;
}

PyObject* oq_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"block", "timeout"};
  PyObject* bound[2];
  if (!bind("get", kNames, 2, args, nargs, kwnames, bound)) return nullptr;
  PyObject* ring = open_ring(self);
  if (ring == nullptr) return nullptr;
  Py_INCREF(ring);
  PyObject* result = ring_get_object(ring, self, bound[0], bound[1], as_object_queue(self)->task);
  Py_DECREF(ring);
  return result;
}

// _bind_ring(ring, task)
PyObject* oq_bind_ring(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !is_ring_queue(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_bind_ring() takes a RingQueue and a flag");
    return nullptr;
  }
  const int task = PyObject_IsTrue(args[1]);
  if (task < 0) return nullptr;
  auto* queue = as_object_queue(self);
  Py_INCREF(args[0]);
  Py_XSETREF(queue->ring, args[0]);
  queue->task = task != 0;
  Py_RETURN_NONE;
}

void oq_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_CLEAR(as_object_queue(self)->ring);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef oq_methods[] = {
    {"put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(oq_put)),
     METH_FASTCALL | METH_KEYWORDS,
     "put($self, /, obj, block=True, timeout=None)\n--\n\n"
     "Puts obj, pickled; waits for room while block is true, up to timeout seconds "
     "(queue.Full after). When it returns, the object is in the queue."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(oq_get)),
     METH_FASTCALL | METH_KEYWORDS,
     "get($self, /, block=True, timeout=None)\n--\n\n"
     "Removes and returns the next object; waits while block is true, up to timeout "
     "seconds (queue.Empty after)."},
    {"_bind_ring", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(oq_bind_ring)),
     METH_FASTCALL, "_bind_ring(ring, task): the ring put and get use."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot oq_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(oq_dealloc)},
    {Py_tp_methods, oq_methods},
    {Py_tp_doc, const_cast<char*>("The native put and get of veskline.Queue.")},
    {0, nullptr},
};

PyType_Spec oq_spec = {
    "veskline._native.ObjectQueue",
    sizeof(ObjectQueueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    oq_slots,
};

}  // namespace

int add_object_queue(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &oq_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "ObjectQueue", type);
  Py_DECREF(type);
  return added;
}

}  // namespace veskline::native
