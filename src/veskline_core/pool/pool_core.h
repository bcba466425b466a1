// VeskPoolCore: a task ring and a result ring under fresh random names.
//
// The owner puts tasks and gets results; workers attach to the two rings by
// name through VeskQueue with the same size_mb. Only unlink() removes the
// names; destroying the instance leaves them (and their unread messages) for
// late attachers. A constructor that fails removes the names it created.
#pragma once

#include <Python.h>

namespace vesk::py {

PyTypeObject* pool_core_type();

}  // namespace vesk::py
