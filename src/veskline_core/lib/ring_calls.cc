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
  auto put = without_gil_until_signal([&](StopQuery& stop) {
    return ring_put(ring, bytes->data, static_cast<uint64_t>(bytes->size), Deadline::never(), stop);
  });
  if (!put) return raise_error(prefix, put.error());
  Py_RETURN_NONE;
}

PyObject* get_message(const RingHandle& ring, const char* prefix) {
  // Large messages are copied straight into the bytes object, allocated
  // with the interpreter lock while the message waits in the ring: no
  // intermediate buffer, and no fresh pages faulted in twice per message.
  constexpr uint64_t kCopyLimit = 8 * 1024;
  for (;;) {
    auto got = without_gil_until_signal([&](StopQuery& stop) {
      return ring_get_or_locate(ring, kCopyLimit, Deadline::never(), stop);
    });
    if (!got) return raise_error(prefix, got.error());
    if (!got->located) {
      PyObject* result =
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(got->bytes.data.get()),
                                    static_cast<Py_ssize_t>(got->bytes.size));
      // A MemoryError here has lost a message of at most kCopyLimit bytes,
      // which malloc had just provided: nothing better can be done for it.
      return result;
    }
    const MessageView message = *got->located;
    // Only located so far: if its bytes cannot be allocated, the message
    // stays queued and this consumer gets MemoryError.
    Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, message.length));
    if (!result) return nullptr;
    // Nobody else can see the new bytes object yet, so it may be filled
    // without the interpreter lock.
    auto* destination = reinterpret_cast<std::byte*>(PyBytes_AS_STRING(result.get()));
    auto took = without_gil_until_signal([&](StopQuery& stop) {
      return ring_take(ring, message, destination, Deadline::never(), stop);
    });
    if (!took) return raise_error(prefix, took.error());
    if (*took) return result.release();
    // Another reader took it first: wait for the next message.
  }
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
