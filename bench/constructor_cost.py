"""What creating a queue costs now that its memory is reserved at creation.

    python bench/constructor_cost.py            # 64 MiB and 1 GiB, 7 repeats
    python bench/constructor_cost.py --sizes 64,256 --repeats 11

For each size it prints the median time of:
- create: VeskQueue(new name, size) -- exclusive create, reservation of the
  whole object, mirrored mapping, header;
- attach: VeskQueue(that name, size) again, for an existing ring;
- reserve: posix_fallocate of the same number of bytes on a fresh file in
  /dev/shm, i.e. the reservation's share of "create".
The reservation takes every page of the ring from /dev/shm at once; before,
the same pages were taken on first touch by the first messages, so the cost
moves rather than appears. It needs that much free memory in /dev/shm.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import veskline_core as vc

MIB = 1 << 20


def timed(call) -> float:
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def measure(size_mb: int, repeats: int) -> dict[str, float]:
    create, attach, reserve = [], [], []
    for i in range(repeats):
        name = f"vkbench_ctor_{os.getpid()}_{size_mb}_{i}"
        try:
            holder = []
            create.append(timed(lambda: holder.append(vc.VeskQueue(name, size_mb))))
            attach.append(timed(lambda: vc.VeskQueue(name, size_mb)))
            del holder
        finally:
            vc.VeskQueue.unlink(name)

        path = f"/dev/shm/vkbench_fill_{os.getpid()}_{i}"
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            reserve.append(timed(lambda: os.posix_fallocate(fd, 0, 16384 + size_mb * MIB)))
        finally:
            os.close(fd)
            os.unlink(path)
    return {key: statistics.median(values) * 1e3
            for key, values in (("create", create), ("attach", attach), ("reserve", reserve))}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="64,1024", help="ring sizes in MiB, comma-separated")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    print(f"{'size':>9} {'create ms':>10} {'attach ms':>10} {'reserve ms':>11}")
    for size_mb in (int(s) for s in args.sizes.split(",")):
        m = measure(size_mb, args.repeats)
        print(f"{size_mb:>5} MiB {m['create']:>10.2f} {m['attach']:>10.2f} {m['reserve']:>11.2f}")


if __name__ == "__main__":
    main()
