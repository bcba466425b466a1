// veskline._native.examine(name, max_sizes=8): what one object in /dev/shm
// holds, as a dict (see shm_report.h), for the operator's command. The object
// is opened read-only and mapped read-only; its mutex is never taken.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include "veskline/_native/parts.h"
#include "veskline/_native/shm_report.h"
#include "veskline_core/shm/mapping.h"
#include "veskline_core/shm/segment.h"
#include "veskline_core/shm/unique_fd.h"

namespace veskline::native {

namespace {

// An owned reference, dropped unless released.
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_;
};

// Sets `key` to `value`, which is stolen; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int code = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return code == 0;
}

PyObject* unsigned_value(uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}
PyObject* bool_value(bool value) {
  return PyBool_FromLong(value ? 1 : 0);
}

bool put_mutex(PyObject* dict, const MutexReport& mutex) {
  return put(dict, "mutex_word", unsigned_value(mutex.word)) &&
         put(dict, "mutex_kind", PyLong_FromLong(mutex.kind)) &&
         put(dict, "holder_tid", unsigned_value(mutex.holder_tid)) &&
         put(dict, "owner_died", bool_value(mutex.owner_died)) &&
         put(dict, "mutex_waiters", bool_value(mutex.waiters));
}

bool put_ring(PyObject* dict, const RingReport& ring) {
  OwnedRef sizes(PyList_New(0));
  if (!sizes) return false;
  for (uint32_t size : ring.first_sizes) {
    OwnedRef item(unsigned_value(size));
    if (!item || PyList_Append(sizes.get(), item.get()) < 0) return false;
  }
  return put(dict, "data_size", unsigned_value(ring.data_size)) &&
         put(dict, "capacity", unsigned_value(ring.capacity)) &&
         put(dict, "initialized", unsigned_value(ring.initialized)) &&
         put(dict, "read_pos", unsigned_value(ring.read_pos)) &&
         put(dict, "write_pos", unsigned_value(ring.write_pos)) &&
         put(dict, "data_sequence", unsigned_value(ring.data_sequence)) &&
         put(dict, "data_waiting", bool_value(ring.data_waiting)) &&
         put(dict, "space_sequence", unsigned_value(ring.space_sequence)) &&
         put(dict, "space_waiting", bool_value(ring.space_waiting)) &&
         put(dict, "queued_bytes", unsigned_value(ring.queued_bytes)) &&
         put(dict, "messages", unsigned_value(ring.messages)) &&
         put(dict, "messages_counted", bool_value(ring.messages_counted)) &&
         put(dict, "first_sizes", sizes.release());
}

PyObject* report_dict(const struct stat& info, const ObjectReport& report) {
  OwnedRef dict(PyDict_New());
  if (!dict) return nullptr;
  const bool ours = report.format != ObjectFormat::Foreign;
  PyObject* state = ours ? PyUnicode_FromString(state_name(report.state)) : Py_NewRef(Py_None);
  PyObject* problem =
      ours && !report.problem.empty()
          ? PyUnicode_FromStringAndSize(report.problem.data(),
                                        static_cast<Py_ssize_t>(report.problem.size()))
          : Py_NewRef(Py_None);
  const bool ok =
      put(dict.get(), "format", PyUnicode_FromString(format_name(report.format))) &&
      put(dict.get(), "state", state) && put(dict.get(), "problem", problem) &&
      put(dict.get(), "size", unsigned_value(static_cast<uint64_t>(info.st_size))) &&
      put(dict.get(), "mode", PyLong_FromLong(static_cast<long>(info.st_mode & 07777))) &&
      put(dict.get(), "uid", unsigned_value(info.st_uid)) &&
      put(dict.get(), "mtime",
          PyFloat_FromDouble(static_cast<double>(info.st_mtim.tv_sec) +
                             static_cast<double>(info.st_mtim.tv_nsec) * 1e-9)) &&
      put(dict.get(), "device", unsigned_value(info.st_dev)) &&
      put(dict.get(), "inode", unsigned_value(info.st_ino));
  if (!ok) return nullptr;
  if (report.format == ObjectFormat::Lock || report.format == ObjectFormat::Ring) {
    if (!put_mutex(dict.get(), report.mutex)) return nullptr;
  }
  if (report.format == ObjectFormat::Ring && !put_ring(dict.get(), report.ring)) return nullptr;
  return dict.release();
}

PyObject* examine(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", "max_sizes", nullptr};
  const char* name = nullptr;
  Py_ssize_t name_length = 0;
  Py_ssize_t max_sizes = 8;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|n:examine", const_cast<char**>(keywords),
                                   &name, &name_length, &max_sizes))
    return nullptr;
  if (max_sizes < 0) {
    PyErr_SetString(PyExc_ValueError, "max_sizes must not be negative");
    return nullptr;
  }
  auto system_name = vesk::normalize_segment_name({name, static_cast<size_t>(name_length)});
  if (!system_name) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return nullptr;
  }
  const std::string path = "/dev/shm" + system_name.value();
  // Read-only, and never through a symbolic link.
  vesk::UniqueFd fd(::shm_open(system_name.value().c_str(), O_RDONLY, 0));
  if (!fd.valid()) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  }
  const auto length = static_cast<uint64_t>(info.st_size);
  vesk::Mapping mapping;
  if (length > 0) {
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    mapping = vesk::Mapping(base, length);
  }
  const auto page_size = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const ObjectReport report =
      examine_object(mapping.base(), length, page_size, static_cast<size_t>(max_sizes));
  return report_dict(info, report);
}

PyMethodDef methods[] = {
    {"examine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(examine)),
     METH_VARARGS | METH_KEYWORDS,
     "examine(name, max_sizes=8)\n--\n\n"
     "What the object `name` in /dev/shm holds, read without taking its mutex."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_inspect(PyObject* module) {
  return PyModule_AddFunctions(module, methods);
}

}  // namespace veskline::native
