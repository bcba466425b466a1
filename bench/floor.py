"""The machine's floor, measured by small C programs built at run time.

- memcpy: single-thread bandwidth copying blocks of a given size, once with
  both buffers cache-resident (the same source and destination every time)
  and once cycling through a destination as large as the benchmark's rings
  (16 MiB), as a bulk transfer through such a ring does.
- pingpong: round trip between two processes that hand a turn back and forth
  through a process-shared mutex and a futex wake-up, the waiter sleeping in
  FUTEX_WAIT and the waker calling FUTEX_WAKE only when somebody sleeps. This
  is what any blocking shared-memory queue pays per round trip without
  spinning.
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import tempfile

MEMCPY_C = r"""
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

/* usage: memcpy BLOCK_BYTES DEST_SPAN_BYTES SECONDS ; prints bytes/s */
int main(int argc, char **argv) {
  if (argc != 4) return 2;
  size_t block = strtoull(argv[1], 0, 10), span = strtoull(argv[2], 0, 10);
  double seconds = atof(argv[3]);
  if (span < block) span = block;
  char *src = aligned_alloc(4096, block), *dst = aligned_alloc(4096, span);
  if (!src || !dst) return 1;
  memset(src, 1, block);
  memset(dst, 2, span);
  size_t slots = span / block, slot = 0;
  uint64_t copies = 0;
  double t0 = now(), t;
  do {
    for (int i = 0; i < 16; i++) {
      memcpy(dst + slot * block, src, block);
      /* keep the copy from being optimised away */
      __asm__ volatile("" : : "r"(dst) : "memory");
      if (++slot == slots) slot = 0;
    }
    copies += 16;
    t = now();
  } while (t - t0 < seconds);
  printf("%.0f\n", (double)copies * block / (t - t0));
  return 0;
}
"""

PINGPONG_C = r"""
#define _GNU_SOURCE
#include <linux/futex.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct shared {
  pthread_mutex_t mutex;
  _Alignas(64) uint32_t seq[2];     /* bumped by the side that hands over */
  uint32_t sleeping[2];             /* 1 while a side may be in FUTEX_WAIT */
  uint32_t turn;                    /* 0: client's turn, 1: server's */
  uint32_t stop;
};

static void futex_wait(uint32_t *w, uint32_t v) {
  syscall(SYS_futex, w, FUTEX_WAIT, v, NULL, NULL, 0);
}
static void futex_wake(uint32_t *w) {
  syscall(SYS_futex, w, FUTEX_WAKE, INT32_MAX, NULL, NULL, 0);
}

/* hand the turn to `to` under the mutex; wake it only if it sleeps */
static void hand_over(struct shared *s, int to) {
  pthread_mutex_lock(&s->mutex);
  s->turn = to;
  __atomic_add_fetch(&s->seq[to], 1, __ATOMIC_SEQ_CST);
  int sleeper = __atomic_exchange_n(&s->sleeping[to], 0, __ATOMIC_SEQ_CST);
  if (sleeper) futex_wake(&s->seq[to]);
  pthread_mutex_unlock(&s->mutex);
}

/* wait until it is `me`'s turn: check under the mutex, sleep outside it */
static int await_turn(struct shared *s, int me) {
  pthread_mutex_lock(&s->mutex);
  while (s->turn != (uint32_t)me && !s->stop) {
    uint32_t v = __atomic_load_n(&s->seq[me], __ATOMIC_SEQ_CST);
    __atomic_store_n(&s->sleeping[me], 1, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&s->mutex);
    futex_wait(&s->seq[me], v);
    pthread_mutex_lock(&s->mutex);
  }
  int stop = s->stop;
  pthread_mutex_unlock(&s->mutex);
  return !stop;
}

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int cmp(const void *a, const void *b) {
  int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
  return (x > y) - (x < y);
}

/* usage: pingpong SECONDS ; prints "median_ns p99_ns round_trips" */
int main(int argc, char **argv) {
  if (argc != 2) return 2;
  double seconds = atof(argv[1]);
  struct shared *s = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (s == MAP_FAILED) return 1;
  memset(s, 0, sizeof *s);
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&s->mutex, &a);
  pthread_mutexattr_destroy(&a);

  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) { /* server: answer every ping */
    while (await_turn(s, 1)) hand_over(s, 0);
    _exit(0);
  }
  size_t cap = 1 << 22, n = 0;
  int64_t *rtt = malloc(cap * sizeof *rtt);
  for (int i = 0; i < 1000; i++) { hand_over(s, 1); await_turn(s, 0); }
  int64_t start = now_ns(), limit = (int64_t)(seconds * 1e9);
  while (n < cap) {
    int64_t t = now_ns();
    hand_over(s, 1);
    await_turn(s, 0);
    int64_t e = now_ns();
    rtt[n++] = e - t;
    if (e - start > limit) break;
  }
  pthread_mutex_lock(&s->mutex);
  s->stop = 1;
  pthread_mutex_unlock(&s->mutex);
  hand_over(s, 1);
  waitpid(pid, NULL, 0);
  qsort(rtt, n, sizeof *rtt, cmp);
  printf("%lld %lld %zu\n", (long long)rtt[n / 2], (long long)rtt[(n * 99) / 100], n);
  return 0;
}
"""


class Floor:
    """Builds the C programs once into a temporary directory."""

    def __init__(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vkbench-floor-")
        self.memcpy = self._build("memcpy", MEMCPY_C)
        self.pingpong = self._build("pingpong", PINGPONG_C)

    def _build(self, name: str, source: str) -> str:
        cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if not cc:
            raise RuntimeError("no C compiler (cc) found for the floor measurements")
        src = os.path.join(self.dir, name + ".c")
        exe = os.path.join(self.dir, name)
        with open(src, "w") as f:
            f.write(source)
        subprocess.run([cc, "-O2", "-o", exe, src, "-pthread"], check=True)
        return exe

    def memcpy_bandwidth(self, block: int, span: int, seconds: float) -> float:
        """Bytes per second of single-thread memcpy of `block`-byte blocks."""
        out = subprocess.run([self.memcpy, str(block), str(span), str(seconds)],
                             check=True, capture_output=True, text=True, timeout=60)
        return float(out.stdout)

    def pingpong_rtt(self, seconds: float) -> tuple[float, float, int]:
        """Median and p99 round trip in seconds, and the number of round trips."""
        out = subprocess.run([self.pingpong, str(seconds)],
                             check=True, capture_output=True, text=True, timeout=60)
        med, p99, n = out.stdout.split()
        return int(med) * 1e-9, int(p99) * 1e-9, int(n)

    def close(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)


def median(xs):
    return statistics.median(xs)


if __name__ == "__main__":
    fl = Floor()
    try:
        for blk in (65536, 1 << 20):
            hot = median([fl.memcpy_bandwidth(blk, blk, 0.3) for _ in range(3)])
            cold = median([fl.memcpy_bandwidth(blk, 16 << 20, 0.3) for _ in range(3)])
            print(f"memcpy {blk:>8} B: cache-resident {hot / 1e6:8.0f} MB/s, "
                  f"into 16 MiB {cold / 1e6:8.0f} MB/s")
        rt = [fl.pingpong_rtt(0.3) for _ in range(3)]
        print(f"mutex+futex round trip: median {median([r[0] for r in rt]) * 1e6:.1f} us, "
              f"p99 {median([r[1] for r in rt]) * 1e6:.1f} us")
    finally:
        fl.close()
