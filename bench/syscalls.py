"""Shows that uncontended puts and gets make no system call.

Runs a child under `strace -f -c` twice: once with a small and once with a
large number of put/get rounds into a ring that never fills or empties (a
single process puts a batch, then gets it back). Whatever the interpreter
and the ring's setup cost is the same in both runs, so the difference in
system calls, divided by the extra operations, is what one put or get costs.

    python bench/syscalls.py            # prints a report, exits 1 if a call was found
    python bench/syscalls.py --json     # the same as JSON
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

BATCH = 100
PAYLOAD = 64
# A path that made a call per operation would add a million calls; a stray
# call or two (a late page fault in the allocator, a timer) is not the path.
NOISE_PER_OP = 1e-4


def child(rounds: int, path: str) -> None:
    import veskline_core

    name = f"vksys_{os.getpid()}"
    q = veskline_core.VeskQueue(name, 1)
    try:
        data = b"s" * PAYLOAD
        put, get, view = q.put_bytes, q.get_bytes, q.recv_view
        for _ in range(rounds):
            for _ in range(BATCH):
                put(data)
            if path == "get":
                for _ in range(BATCH):
                    get()
            else:
                for _ in range(BATCH):
                    with view() as mv:
                        len(mv)
    finally:
        veskline_core.VeskQueue.unlink(name)


def strace_counts(rounds: int, path: str) -> dict[str, int]:
    with tempfile.TemporaryDirectory(prefix="vksys-") as d:
        out = os.path.join(d, "strace.txt")
        subprocess.run(["strace", "-f", "-c", "-o", out, sys.executable, os.path.abspath(__file__),
                        "--child", str(rounds), path], check=True, timeout=300)
        counts: dict[str, int] = {}
        with open(out) as f:
            for line in f:
                parts = line.split()
                # % time, seconds, usecs/call, calls, [errors], syscall
                if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                    counts[parts[-1]] = int(parts[3])
        return counts


def measure(small: int = 100, large: int = 5100) -> dict:
    report = {}
    for path in ("get", "view"):
        a = strace_counts(small, path)
        b = strace_counts(large, path)
        ops = (large - small) * BATCH * 2  # one put and one get (or view) each
        extra = {k: b.get(k, 0) - a.get(k, 0) for k in set(a) | set(b)}
        extra = {k: v for k, v in extra.items() if v != 0}
        report[path] = {
            "operations": ops,
            "syscalls_small_run": sum(a.values()),
            "syscalls_large_run": sum(b.values()),
            "extra_syscalls": extra,
            "syscalls_per_operation": sum(extra.values()) / ops,
            "none_on_path": abs(sum(extra.values())) / ops < NOISE_PER_OP,
        }
    return report


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--child", nargs=2, metavar=("ROUNDS", "PATH"), help=argparse.SUPPRESS)
    ap.add_argument("--json", action="store_true", help="print the report as JSON")
    args = ap.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1])
        return 0
    if not shutil.which("strace"):
        print("strace not found (apt-get install strace)", file=sys.stderr)
        return 2
    report = measure()
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        for path, r in report.items():
            label = "put_bytes + get_bytes" if path == "get" else "put_bytes + recv_view"
            print(f"{label}: {r['operations']:,} extra operations, "
                  f"{r['syscalls_small_run']} vs {r['syscalls_large_run']} system calls in all, "
                  f"{r['syscalls_per_operation']:.6f} per operation"
                  + (f"; differing: {r['extra_syscalls']}" if r["extra_syscalls"] else ""))
    return 0 if all(r["none_on_path"] for r in report.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
