// Helpers for the native tests: unique shared-memory names that are removed on
// every exit path, fork()ed children that never outlive their test, and a
// watchdog that turns a hang into a failure.
//
// A test body holds a Watchdog first, so a hang ends in SIGALRM, whose
// handler kills the registered children and unlinks the registered names
// before the process exits. Children run a function and leave with _exit():
// they never return into GoogleTest, never run the parent's destructors and
// die with their parent.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/unique_fd.h"

namespace vesk::test {

// Registry read by the SIGALRM handler; slots hold 0 / "" when free.
inline constexpr int kMaxNames = 64;
inline constexpr int kMaxChildren = 512;
inline char g_names[kMaxNames][64];
inline volatile pid_t g_children[kMaxChildren];

inline void on_watchdog(int) {
  for (int i = 0; i < kMaxChildren; ++i) {
    if (g_children[i] > 0) ::kill(g_children[i], SIGKILL);
  }
  for (auto& name : g_names) {
    if (name[0] != '\0') ::shm_unlink(name);
  }
  static const char kMessage[] = "watchdog: test hung; children killed, names removed\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(3);
}

// Bounds a whole test: on expiry the test process fails (exit code 3).
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds) {
    ::signal(SIGALRM, on_watchdog);
    ::alarm(seconds);
  }
  ~Watchdog() { ::alarm(0); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
};

// A unique shared-memory name ("/vk_rt_<pid>_<n>"), unlinked when it goes
// out of scope, whether or not anything was created under it.
class ShmName {
 public:
  ShmName() {
    static std::atomic<int> counter{0};
    name_ = "/vk_rt_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    for (slot_ = 0; slot_ < kMaxNames; ++slot_) {
      if (g_names[slot_][0] == '\0') {
        std::snprintf(g_names[slot_], sizeof g_names[slot_], "%s", name_.c_str());
        break;
      }
    }
  }
  ~ShmName() {
    ::shm_unlink(name_.c_str());
    if (slot_ < kMaxNames) g_names[slot_][0] = '\0';
  }
  ShmName(const ShmName&) = delete;
  ShmName& operator=(const ShmName&) = delete;

  const std::string& str() const { return name_; }

 private:
  std::string name_;
  int slot_ = kMaxNames;
};

struct ExitStatus {
  bool finished = false;  // false: still running when the wait gave up
  bool exited = false;
  int code = -1;
  int signal = 0;
};

inline ::testing::AssertionResult ExitedCleanly(const ExitStatus& status) {
  if (!status.finished) return ::testing::AssertionFailure() << "child still running";
  if (!status.exited)
    return ::testing::AssertionFailure() << "child killed by signal " << status.signal;
  if (status.code != 0) return ::testing::AssertionFailure() << "child exited with " << status.code;
  return ::testing::AssertionSuccess();
}

// A fork()ed child running `body` (returning its exit code). Killed and
// reaped on destruction if still running.
class Child {
 public:
  template <class Body>
  explicit Child(Body&& body) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::signal(SIGALRM, SIG_DFL);
      ::alarm(60);  // a child that hangs past any test bound dies on its own
      ::_exit(body());
    }
    for (slot_ = 0; pid_ > 0 && slot_ < kMaxChildren; ++slot_) {
      if (g_children[slot_] == 0) {
        g_children[slot_] = pid_;
        break;
      }
    }
  }
  Child(Child&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)),
        slot_(std::exchange(other.slot_, kMaxChildren)),
        status_(other.status_) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child& operator=(Child&&) = delete;
  ~Child() { kill_and_reap(); }

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Waits up to `timeout` for the child to end.
  ExitStatus wait_for(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && !status_.finished) {
      int raw = 0;
      const pid_t got = ::waitpid(pid_, &raw, WNOHANG);
      if (got == pid_) {
        record(raw);
        break;
      }
      if (got < 0 || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status_;
  }

  bool running() { return !wait_for(std::chrono::milliseconds(0)).finished; }

  void kill_and_reap() {
    if (pid_ <= 0 || status_.finished) return;
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    record(raw);
  }

 private:
  void record(int raw) {
    status_.finished = true;
    status_.exited = WIFEXITED(raw);
    status_.code = status_.exited ? WEXITSTATUS(raw) : -1;
    status_.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    if (slot_ < kMaxChildren) g_children[slot_] = 0;
  }

  pid_t pid_ = -1;
  int slot_ = kMaxChildren;
  ExitStatus status_;
};

// A pipe for start signals and reports between parent and children.
class Pipe {
 public:
  Pipe() {
    int fds[2] = {-1, -1};
    if (::pipe(fds) == 0) {
      read_ = UniqueFd(fds[0]);
      write_ = UniqueFd(fds[1]);
    }
  }
  int read_end() const { return read_.get(); }
  int write_end() const { return write_.get(); }
  void close_write() { write_.reset(); }
  void close_read() { read_.reset(); }

  bool send(const void* bytes, size_t size) const {
    return ::write(write_.get(), bytes, size) == static_cast<ssize_t>(size);
  }
  bool signal() const { return send("x", 1); }

  // Reads exactly `size` bytes, giving up after `timeout`.
  bool receive(void* bytes, size_t size, std::chrono::milliseconds timeout) const {
    auto* out = static_cast<char*>(bytes);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (size > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{read_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t got = ::read(read_.get(), out, size);
      if (got <= 0) return false;
      out += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }
  bool wait_signal(std::chrono::milliseconds timeout) const {
    char c = 0;
    return receive(&c, 1, timeout);
  }

 private:
  UniqueFd read_;
  UniqueFd write_;
};

// A ring created under a fresh name; children forked later share its mapping.
struct TestRing {
  explicit TestRing(uint64_t data_size) {
    auto attached = attach_ring(name.str(), data_size);
    if (attached) {
      ring = std::move(attached).value();
    } else {
      ADD_FAILURE() << "attach_ring failed: " << attached.error().text();
    }
  }
  bool ok() const { return ring.ring.header != nullptr; }
  const RingHandle& handle() const { return ring.ring; }
  RingHeader& header() const { return *ring.ring.header; }

  ShmName name;  // declared first: unlinked last
  AttachedRing ring;
};

// Polls `done` every millisecond for up to `timeout`.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vesk::test
