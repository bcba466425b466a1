#include "veskline_core/lib/call_frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vesk::py {

namespace {

// Entry depth of the calling thread while it holds the interpreter lock;
// kTraversing forbids entries (a view traversal runs inside the collector).
constexpr int kTraversing = -1;
thread_local int entry_depth = 0;

std::string type_qualname(PyObject* object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

void raise_type_error(const std::string& message) {
  // Made with its length: a keyword may hold a NUL, where a C string would
  // cut the message short.
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

// A plain TypeError from a conversion becomes "argument 'NAME': <message>",
// keeping its __cause__; any other exception passes unchanged.
void prefix_type_error(const char* param) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref old = Ref::steal(raised);
  Ref text = Ref::steal(PyObject_Str(old.get()));
  if (!text) return;  // that failure's exception is set instead
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));
  PyErr_SetRaisedException(replacement.release());
}

const char* plural_was(Py_ssize_t n) {
  return n == 1 ? "was" : "were";
}

bool bind_finish(const Signature& sig, PyObject** out) {
  int missing = 0;
  for (int i = 0; i < sig.count; ++i) missing += out[i] == nullptr ? 1 : 0;
  if (missing == 0) return true;
  std::string names;
  int listed = 0;
  for (int i = 0; i < sig.count; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed == missing - 1 ? ", and " : ", ";
      }
    }
    names += "'";
    names += sig.params[i];
    names += "'";
    ++listed;
  }
  raise_type_error(std::string(sig.display) + " missing " + std::to_string(missing) +
                   " required positional argument" + (missing > 1 ? "s" : "") + ": " + names);
  return false;
}

bool place_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
  if (text == nullptr) return false;
  const std::string_view name(text, static_cast<size_t>(length));
  for (int i = 0; i < sig.count; ++i) {
    if (name != sig.params[i]) continue;
    if (out[i] != nullptr) {
      raise_type_error(std::string(sig.display) + " got multiple values for argument '" +
                       sig.params[i] + "'");
      return false;
    }
    out[i] = value;
    return true;
  }
  raise_type_error(std::string(sig.display) + " got an unexpected keyword argument '" +
                   std::string(name) + "'");
  return false;
}

bool place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
  if (nargs > sig.count) {
    raise_type_error(std::string(sig.display) + " takes " + std::to_string(sig.count) +
                     " positional arguments but " + std::to_string(nargs) + " " +
                     plural_was(nargs) + " given");
    return false;
  }
  for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  return true;
}

}  // namespace

void fault(const char* file, int line, const char* message) {
  std::fprintf(stderr, "veskline_core: internal fault at %s:%d: %s\n", file, line, message);
  std::fflush(stderr);
  std::abort();
}

void api_call_failed(const char* file, int line) {
  if (PyErr_Occurred()) PyErr_Print();
  fault(file, line, "Python API call failed");
}

Entry::Entry() {
  if (entry_depth == kTraversing) {
    VESK_FAULT("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
  }
  ++entry_depth;
}

Entry::~Entry() {
  if (entry_depth > 0) --entry_depth;
}

TraverseMark::TraverseMark() : saved_(std::exchange(entry_depth, kTraversing)) {}
TraverseMark::~TraverseMark() {
  entry_depth = saved_;
}

GilRelease::GilRelease() : depth_(std::exchange(entry_depth, 0)), state_(PyEval_SaveThread()) {}
GilRelease::~GilRelease() {
  PyEval_RestoreThread(state_);
  entry_depth = depth_;
}

GilRelease::Reacquired::Reacquired(GilRelease& release) : release_(release) {
  PyEval_RestoreThread(release_.state_);
  entry_depth = release_.depth_;
}

GilRelease::Reacquired::~Reacquired() {
  release_.depth_ = std::exchange(entry_depth, 0);
  release_.state_ = PyEval_SaveThread();
}

bool SignalStop::should_stop() {
  return release_.reacquired([] { return PyErr_CheckSignals() != 0; });
}

PyObject* fail_with_pending() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!place_positional(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return bind_finish(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!place_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return bind_finish(sig, out);
}

std::optional<std::string_view> to_text(PyObject* value, const char* param) {
  if (!PyUnicode_Check(value)) {
    raise_type_error(std::string("argument '") + param + "': '" + type_qualname(value) +
                     "' object cannot be converted to 'PyString'");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) {
    prefix_type_error(param);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<size_t>(size));
}

std::optional<BytesArg> to_bytes(PyObject* value, const char* param) {
  if (!PyBytes_Check(value)) {
    raise_type_error(std::string("argument '") + param + "': '" + type_qualname(value) +
                     "' object cannot be converted to 'PyBytes'");
    return std::nullopt;
  }
  return BytesArg{PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)};
}

std::optional<uint64_t> to_u64(PyObject* value, const char* param) {
  Ref index;
  PyObject* number = value;
  if (!PyLong_Check(value)) {
    index = Ref::steal(PyNumber_Index(value));
    if (!index) {
      prefix_type_error(param);
      return std::nullopt;
    }
    number = index.get();
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(number);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(param);
    return std::nullopt;
  }
  return static_cast<uint64_t>(result);
}

bool take_shared(UseCounter& uses) {
  int64_t current = uses.value.load();
  while (current != -1) {
    if (uses.value.compare_exchange_weak(current, current + 1)) return true;
  }
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return false;
}

void give_shared(UseCounter& uses) {
  uses.value.fetch_sub(1);
}

bool take_exclusive(UseCounter& uses) {
  int64_t expected = 0;
  if (uses.value.compare_exchange_strong(expected, -1)) return true;
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return false;
}

void give_exclusive(UseCounter& uses) {
  uses.value.store(0);
}

bool check_instance(PyObject* object, PyTypeObject* type, const char* class_name) {
  if (object != nullptr && PyType_IsSubtype(Py_TYPE(object), type)) return true;
  const std::string name = object == nullptr ? "NoneType" : type_qualname(object);
  raise_type_error("'" + name + "' object cannot be converted to '" + class_name + "'");
  return false;
}

PyObject* allocate(PyTypeObject* type) {
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return fail_with_pending();
  return self;
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) VESK_FAULT("PyBaseObject_Type should have tp_free");
  free_slot(self);
  Py_DECREF(type);
}

PyTypeObject* type_cell(PyTypeObject*& cell, PyType_Spec* spec, const char* class_name) {
  if (cell != nullptr) return cell;
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) {
    const std::string message = std::string("failed to create type object for ") + class_name;
    VESK_FAULT(message.c_str());
  }
  if (cell != nullptr) {
    Py_DECREF(type);
  } else {
    cell = reinterpret_cast<PyTypeObject*>(type);
  }
  return cell;
}

}  // namespace vesk::py
