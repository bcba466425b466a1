// Support for the native tests: unique shared-memory names that are removed
// however a test ends, and fork()ed children bounded by an alarm.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace vesk::testing {

class ScopedName {
 public:
  explicit ScopedName(const char* tag = "t")
      : name_(std::string("vk_") + tag + "_" + std::to_string(::getpid()) + "_" +
              std::to_string(next_++)) {}
  ~ScopedName() { ::shm_unlink(system().c_str()); }
  ScopedName(const ScopedName&) = delete;
  ScopedName& operator=(const ScopedName&) = delete;

  const std::string& name() const { return name_; }
  std::string system() const { return "/" + name_; }

 private:
  static inline int next_ = 0;
  std::string name_;
};

// Runs `body` in a fork()ed child that exits with body's return value (or is
// killed by SIGALRM after `seconds`). Returns the child's pid.
template <class F>
pid_t fork_child(F&& body, unsigned seconds = 30) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(seconds);
    ::_exit(std::forward<F>(body)());
  }
  return pid;
}

// Waits for `pid`; returns its exit code, or 128 + signal if it was killed.
inline int wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

inline void kill_child(pid_t pid) {
  ::kill(pid, SIGKILL);
  (void)wait_child(pid);
}

}  // namespace vesk::testing
