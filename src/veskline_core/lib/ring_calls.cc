#include "veskline_core/lib/ring_calls.h"

#include "veskline_core/lib/errors.h"
#include "veskline_core/shm/ring_ops.h"
#include "veskline_core/shm/segment.h"

namespace vesk::py {

PyObject* put_message(const RingHandle& ring, PyObject* data, const char* prefix) {
  auto bytes = to_bytes(data, "data");
  if (!bytes) return nullptr;
  // The caller's reference keeps the immutable bytes alive while unlocked,
  // so the payload is read in place, without a copy.
  auto put =
      without_gil([&] { return ring_put(ring, bytes->data, static_cast<uint64_t>(bytes->size)); });
  if (!put) return raise_error(prefix, put.error());
  Py_RETURN_NONE;
}

PyObject* get_message(const RingHandle& ring, const char* prefix) {
  auto got = without_gil([&] { return ring_get(ring); });
  if (!got) return raise_error(prefix, got.error());
  PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(got->data.get()),
                                               static_cast<Py_ssize_t>(got->size));
  if (result == nullptr) VESK_API_FAILED();
  return result;
}

PyObject* unlink_name(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_fastcall(sig, args, nargsf, kwnames, bound)) return nullptr;
  auto name = to_text(bound[0], "name");
  if (!name) return nullptr;
  if (auto removed = unlink_segment(*name); !removed) {
    return raise_error("Unlink failed: ", removed.error());
  }
  Py_RETURN_NONE;
}

}  // namespace vesk::py
