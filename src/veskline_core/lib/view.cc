#include "veskline_core/lib/view.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "veskline_core/lib/call_frame.h"
#include "veskline_core/lib/errors.h"
#include "veskline_core/lib/queue.h"

namespace vesk::py {

namespace {

struct ViewObject {
  PyObject_HEAD PyObject* queue;  // owned; released only at deallocation
  const std::byte* ptr;
  uint64_t len;
  uint64_t next_pos;
  std::atomic<uint32_t> committed;  // 0 open, 1 committed
  UseCounter uses;
  PyObject* weaklist;

  static constexpr const char* kName = "VeskView";
  static PyTypeObject* type() { return view_type(); }
};

const Signature kExitSig{"VeskView.__exit__()", {"_exc_type", "_exc_value", "_traceback"}, 3};

PyObject* view_new(PyTypeObject* type, PyObject*, PyObject*) {
  Entry entry;
  const char* name = "VeskView";
  Ref short_name = Ref::steal(PyType_GetName(type));
  if (short_name) name = PyUnicode_AsUTF8(short_name.get());
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name);
  return nullptr;
}

PyObject* view_enter(PyObject* self, PyObject*) {
  Entry entry;
  if (!check_instance(self, view_type(), ViewObject::kName)) return nullptr;
  Ref me = Ref::new_ref(self);
  Ref module_name = Ref::steal(PyUnicode_FromString("builtins"));
  if (!module_name) return fail_with_pending();
  Ref builtins = Ref::steal(PyImport_Import(module_name.get()));
  module_name = Ref();
  if (!builtins) return fail_with_pending();
  Ref attr_name = Ref::steal(PyUnicode_FromString("memoryview"));
  if (!attr_name) return fail_with_pending();
  Ref memoryview = Ref::steal(PyObject_GetAttr(builtins.get(), attr_name.get()));
  attr_name = Ref();
  if (!memoryview) return fail_with_pending();
  Ref call_args = Ref::steal(PyTuple_New(1));
  if (!call_args) return fail_with_pending();
  PyTuple_SET_ITEM(call_args.get(), 0, me.release());
  PyObject* result = PyObject_Call(memoryview.get(), call_args.get(), nullptr);
  return result != nullptr ? result : fail_with_pending();
}

PyObject* view_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Entry entry;
  PyObject* bound[3];
  if (!bind_fastcall(kExitSig, args, nargsf, kwnames, bound)) return nullptr;
  Receiver<ViewObject> me(self);
  if (!me) return nullptr;
  // Set before the commit runs, so a failed commit is never attempted again
  // and concurrent exits commit once between them.
  if (me->committed.exchange(1) != 0) Py_RETURN_NONE;
  auto* queue = reinterpret_cast<QueueObject*>(me->queue);
  if (!take_shared(queue->uses)) return nullptr;
  auto committed = ring_commit(queue->ring, me->next_pos);
  give_shared(queue->uses);
  if (!committed) return raise_error("Queue commit_read error: ", committed.error());
  Py_RETURN_NONE;
}

int view_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
  Entry entry;
  Receiver<ViewObject> me(self);
  if (!me) return -1;
  if (buffer == nullptr) {
    raise_runtime("View is null");
    return -1;
  }
  // Read-only: the bytes belong to the ring, and producers rely on nobody
  // writing into the unconsumed part.
  void* data = const_cast<std::byte*>(me->ptr);
  if (PyBuffer_FillInfo(buffer, self, data, static_cast<Py_ssize_t>(me->len), 1, flags) != 0) {
    PyErr_Clear();
    raise_runtime("PyBuffer_FillInfo failed");
    return -1;
  }
  return 0;
}

void view_releasebuffer(PyObject* self, Py_buffer*) {
  Entry entry;
  if (!check_instance(self, view_type(), ViewObject::kName)) {
    PyErr_WriteUnraisable(self);
    return;
  }
  auto* me = reinterpret_cast<ViewObject*>(self);
  if (!take_shared(me->uses)) {
    PyErr_WriteUnraisable(self);
    return;
  }
  give_shared(me->uses);
}

int view_traverse(PyObject* self, visitproc visit, void* arg) {
  TraverseMark mark;
  auto* me = reinterpret_cast<ViewObject*>(self);
  // Inside the collector no exception may be set, so take the use by hand.
  int64_t current = me->uses.value.load();
  do {
    if (current == -1) return 0;
  } while (!me->uses.value.compare_exchange_weak(current, current + 1));
  const int result = me->queue != nullptr ? visit(me->queue, arg) : 0;
  me->uses.value.fetch_sub(1);
  return result;
}

int view_clear(PyObject* self) {
  Entry entry;
  auto* me = reinterpret_cast<ViewObject*>(self);
  if (!take_exclusive(me->uses)) return -1;
  // The queue reference stays until deallocation: a live buffer may still
  // point into its mapping, and a queue never refers back to its views.
  give_exclusive(me->uses);
  return 0;
}

void view_dealloc(PyObject* self) {
  Entry entry;
  PyObject_GC_UnTrack(self);
  auto* me = reinterpret_cast<ViewObject*>(self);
  Py_CLEAR(me->queue);
  if (me->weaklist != nullptr) PyObject_ClearWeakRefs(self);
  free_instance(self);
}

PyMethodDef view_methods[] = {
    {"__enter__", view_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(view_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef view_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ViewObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* view_type_cell = nullptr;

}  // namespace

PyObject* make_view(PyObject* queue, const MessageView& message) {
  PyObject* self = allocate(view_type());
  if (self == nullptr) return nullptr;
  auto* view = reinterpret_cast<ViewObject*>(self);
  view->queue = Py_NewRef(queue);
  view->ptr = message.data;
  view->len = message.length;
  view->next_pos = message.next_pos;
  new (&view->committed) std::atomic<uint32_t>(0);
  new (&view->uses) UseCounter();
  view->weaklist = nullptr;
  return self;
}

PyTypeObject* view_type() {
  if (view_type_cell != nullptr) return view_type_cell;
  static char doc[] =
      "A safe wrapper around a view of the queue memory.\n"
      "Holds a reference to the queue to prevent use-after-free.";
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, doc},
      {Py_tp_new, reinterpret_cast<void*>(view_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
      {Py_tp_methods, view_methods},
      {Py_tp_members, view_members},
      {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
      {Py_bf_releasebuffer, reinterpret_cast<void*>(view_releasebuffer)},
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.VeskView", static_cast<int>(sizeof(ViewObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  return type_cell(view_type_cell, &spec, "VeskView");
}

}  // namespace vesk::py
