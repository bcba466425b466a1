#include "veskline_core/shm/process_identity.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/unique_fd.h"

namespace vesk {

namespace {

enum class StatRead { Ok, Gone, Unknown };

// Parses state (field 3) and starttime (field 22) of /proc/<pid>/stat. The
// command name (field 2) may hold spaces and parentheses, so fields are
// counted from the last ')'.
StatRead read_stat(pid_t pid, char* state, uint64_t* start) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT || errno == ESRCH ? StatRead::Gone : StatRead::Unknown;
  char text[1024];
  ssize_t got = 0;
  do {
    got = ::read(fd.get(), text, sizeof text - 1);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return got == 0 || errno == ESRCH ? StatRead::Gone : StatRead::Unknown;
  text[got] = '\0';
  const char* close = std::strrchr(text, ')');
  if (close == nullptr) return StatRead::Unknown;
  // After ") " comes field 3 (state); starttime is 19 fields further on.
  const char* at = close + 1;
  int field = 2;
  while (*at != '\0' && field < 22) {
    while (*at == ' ') ++at;
    ++field;
    if (field == 3) *state = *at;
    if (field == 22) break;
    while (*at != '\0' && *at != ' ') ++at;
  }
  if (field != 22) return StatRead::Unknown;
  unsigned long long value = 0;
  if (std::sscanf(at, "%llu", &value) != 1) return StatRead::Unknown;
  *start = value;
  return StatRead::Ok;
}

}  // namespace

ProcessIdentity process_identity(pid_t pid) {
  if (pid <= 0) return {};
  char state = '?';
  uint64_t start = 0;
  switch (read_stat(pid, &state, &start)) {
    case StatRead::Ok:
      if (state == 'Z' || state == 'X') return {};
      return {static_cast<uint32_t>(pid), start};
    case StatRead::Gone:
      return {};
    case StatRead::Unknown:
      break;
  }
  // No readable /proc: only the pid can be checked.
  if (::kill(pid, 0) == 0 || errno == EPERM) return {static_cast<uint32_t>(pid), 0};
  return {};
}

ProcessIdentity current_process() {
  thread_local pid_t cached_pid = 0;
  thread_local ProcessIdentity cached;
  const pid_t pid = ::getpid();
  if (pid != cached_pid) {
    cached = process_identity(pid);
    if (cached.pid == 0) cached = {static_cast<uint32_t>(pid), 0};
    cached_pid = pid;
  }
  return cached;
}

bool process_alive(ProcessIdentity who) {
  if (who.pid == 0) return false;
  // Owners this thread found alive a moment ago: a consumer that waits for
  // every message would otherwise read /proc for the same producer each
  // time. A death is noticed at most kAliveCacheNs later.
  struct Seen {
    ProcessIdentity who;
    int64_t at = 0;
  };
  thread_local Seen seen[4];
  thread_local unsigned next = 0;
  const int64_t now_ns = monotonic_ns();
  if (who.start != 0) {
    for (const Seen& entry : seen) {
      if (entry.who.pid == who.pid && entry.who.start == who.start &&
          now_ns - entry.at < kAliveCacheNs)
        return true;
    }
  }
  const ProcessIdentity now = process_identity(static_cast<pid_t>(who.pid));
  if (now.pid == 0) return false;
  if (who.start == 0 || now.start == 0) return true;
  if (now.start != who.start) return false;
  seen[next++ % 4] = Seen{who, now_ns};
  return true;
}

}  // namespace vesk
