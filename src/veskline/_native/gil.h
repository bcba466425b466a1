// The interpreter lock around blocking native work, and the stop question a
// blocked wait asks of the interpreter.
//
// Native calls release the interpreter lock while they wait, so other threads
// run; a wait that a signal interrupts takes the lock back for a moment to run
// the pending handlers (a raising handler, Ctrl-C's KeyboardInterrupt for one,
// ends the wait, and the call returns NULL with that exception set).
#pragma once

#include <Python.h>

#include <utility>

#include "veskline_core/shm/wait.h"

namespace veskline::native {

// Releases the interpreter lock for its lifetime.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Runs `with_gil` with the interpreter lock held again.
  template <class F>
  auto reacquired(F&& with_gil) {
    PyEval_RestoreThread(state_);
    auto result = with_gil();
    state_ = PyEval_SaveThread();
    return result;
  }

 private:
  PyThreadState* state_;
};

// Stops a wait when a signal handler raised; its exception stays set.
class SignalStop final : public vesk::StopQuery {
 public:
  explicit SignalStop(GilRelease& release) : release_(release) {}
  bool should_stop() override {
    return release_.reacquired([] { return PyErr_CheckSignals() != 0; });
  }

 private:
  GilRelease& release_;
};

// Runs `work(StopQuery&)` without the interpreter lock; `work` must not touch
// Python objects, and passes the query to every wait it makes.
template <class F>
auto blocking(F&& work) {
  GilRelease release;
  SignalStop stop(release);
  return work(static_cast<vesk::StopQuery&>(stop));
}

}  // namespace veskline::native
