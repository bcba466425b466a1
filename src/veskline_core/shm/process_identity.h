// Who a process is, in a form that survives pid reuse, and whether it still
// runs.
//
// Shared state that names an owner (a message being taken, tasks a consumer
// holds) records the pid together with the process's start time, the clock
// ticks since boot at which the kernel started it (field 22 of
// /proc/<pid>/stat). A pid that was reused by a newer process has another
// start time, so a record of a dead process is never mistaken for a live one.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace vesk {

struct ProcessIdentity {
  uint32_t pid = 0;
  uint64_t start = 0;  // 0: unknown (no /proc); then the pid alone decides
};

// The calling process; read once per process (again after a fork).
ProcessIdentity current_process();

// The identity of `pid` now, or pid 0 when no such process runs. Zombies
// (killed but not yet reaped) count as gone: they will never run again.
ProcessIdentity process_identity(pid_t pid);

// How long a process found alive is taken to be, by the thread that looked,
// before /proc is read again.
inline constexpr int64_t kAliveCacheNs = 5'000'000;

// False only when the process is known to be gone or replaced, which may be
// noticed up to kAliveCacheNs late.
bool process_alive(ProcessIdentity who);

}  // namespace vesk
