#include "veskline/_native/parts.h"
#include "veskline_core/shm/ring_layout.h"

namespace veskline::native {

// The sizes every user of the native layer agrees on, for the Python side to
// check against rather than repeat.
int add_info(PyObject* module) {
  if (PyModule_AddIntConstant(module, "HEADER_REGION_SIZE",
                              static_cast<long>(vesk::kHeaderRegionSize)) < 0)
    return -1;
  return 0;
}

}  // namespace veskline::native
