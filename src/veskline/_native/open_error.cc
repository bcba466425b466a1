#include "veskline/_native/open_error.h"

#include <cerrno>

namespace veskline::native {

PyObject* raise_open_error(const vesk::AttachError& error, PyObject* name) {
  if (error.stage == vesk::AttachStage::Creation &&
      error.segment.kind() == vesk::SegmentError::Kind::Errno && error.segment.err() > 0) {
    errno = error.segment.err();
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
  }
  PyErr_Format(PyExc_OSError, "cannot open the queue %R: %s", name, error.text().c_str());
  return nullptr;
}

}  // namespace veskline::native
