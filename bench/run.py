"""veskline_core against its peers, side by side in one run.

    python bench/run.py                 # the full run (a few minutes on 2 cores)
    python bench/run.py --quick         # fewer, shorter repeats
    python bench/run.py --only veskline,mp.Queue

Every figure is the median of several repeats. Results go to
bench/results/bench-<time>.json and .png; the table goes to stdout.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from floor import Floor  # noqa: E402
from transports import RING_MB, all_transports  # noqa: E402
from workloads import run_pingpong, run_stream  # noqa: E402

SIZES = [64, 4096, 65536, 1 << 20]
VESK = ("veskline", "veskline view")
MB = 1e6


def size_label(n: int) -> str:
    for unit, f in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= f and n % f == 0:
            return f"{n // f} {unit}"
    return f"{n} B"


def rate_label(x: float) -> str:
    if x >= 1e6:
        return f"{x / 1e6:.2f} M"
    if x >= 1e3:
        return f"{x / 1e3:.1f} k"
    return f"{x:.0f}"


class Progress:
    def __init__(self, total: int) -> None:
        self.total, self.done, self.t0 = total, 0, time.monotonic()

    def step(self, what: str, result: str) -> None:
        self.done += 1
        el = time.monotonic() - self.t0
        print(f"[{self.done:>3}/{self.total}] {el:6.1f}s  {what:<34} {result}",
              file=sys.stderr, flush=True)


def machine_info() -> dict:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = {}
    for mod, attr in (("veskline_core", None), ("faster_fifo", None), ("zmq", "__version__"),
                      ("posix_ipc", "VERSION"), ("iceoryx2", None)):
        try:
            from importlib import metadata
            dist = {"zmq": "pyzmq", "faster_fifo": "faster-fifo"}.get(mod, mod)
            versions[mod] = metadata.version(dist)
        except Exception:
            pass
    return {
        "date": dt.datetime.now().astimezone().isoformat(timespec="seconds"),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "loadavg_at_start": os.getloadavg(),
        "versions": versions,
    }


def best_peer(row: dict, higher_is_better: bool) -> tuple[str, float] | None:
    peers = {k: v for k, v in row.items() if k not in VESK}
    if not peers:
        return None
    pick = max if higher_is_better else min
    name = pick(peers, key=peers.get)
    return name, peers[name]


def main() -> int:
    ap = argparse.ArgumentParser(description="veskline_core against its peers")
    ap.add_argument("--repeats", type=int, default=5, help="timed repeats per figure (default 5)")
    ap.add_argument("--seconds", type=float, default=0.3,
                    help="length of one repeat in seconds (default 0.3)")
    ap.add_argument("--quick", action="store_true", help="3 repeats of 0.15 s")
    ap.add_argument("--only", default="", help="comma-separated transports to run")
    ap.add_argument("--out", default=os.path.join(HERE, "results"), help="output directory")
    ap.add_argument("--no-chart", action="store_true", help="skip the PNG")
    ap.add_argument("--no-strace", action="store_true", help="skip the system-call check")
    args = ap.parse_args()
    if args.quick:
        args.repeats, args.seconds = 3, 0.15
    R, S = args.repeats, args.seconds

    transports, missing = all_transports()
    if args.only:
        keep = {x.strip() for x in args.only.split(",")}
        transports = [t for t in transports if t.name in keep]
    names = [t.name for t in transports]

    jobs = []  # (kind, transport, size, producers, consumers)
    for size in SIZES:
        jobs += [("stream", t, size, 1, 1) for t in transports]
    jobs += [("pingpong", t, 64, 1, 1) for t in transports]
    jobs += [("stream", t, 64, 2, 2) for t in transports]
    prog = Progress(len(jobs) + 6)

    info = machine_info()
    print(f"veskline_core benchmark: {info['cpu']}, {info['usable_cpus']} CPUs, "
          f"Python {info['python']}, load average {info['loadavg_at_start'][0]:.2f}",
          file=sys.stderr)
    for name, why in missing.items():
        print(f"  {name}: skipped, {why}", file=sys.stderr)

    # --- floor ---------------------------------------------------------------
    floor: dict = {}
    fl = Floor()
    try:
        for block in (65536, 1 << 20):
            hot = [fl.memcpy_bandwidth(block, block, S) for _ in range(R)]
            cold = [fl.memcpy_bandwidth(block, RING_MB << 20, S) for _ in range(R)]
            floor[f"memcpy_{block}"] = {"cache_resident": hot, "streaming": cold,
                                        "median": statistics.median(hot),
                                        "median_streaming": statistics.median(cold)}
            prog.step(f"floor memcpy {size_label(block)}",
                      f"{statistics.median(hot) / MB:,.0f} MB/s cache-resident, "
                      f"{statistics.median(cold) / MB:,.0f} MB/s into a {RING_MB} MiB area")
        # --- transports ------------------------------------------------------
        results: dict = {}
        skipped: dict = {}
        pp: list = []
        for kind, tr, size, P, C in jobs:
            if kind == "pingpong" and not pp:
                # The round-trip floor is taken right before and right after the
                # ping-pong runs, so that it sees the same load as they do.
                pp += floor_pingpong(fl, R, S, prog, "before")
            run_job(kind, tr, size, P, C, R, S, results, skipped, prog)
            if kind == "pingpong" and tr is transports[-1]:
                pp += floor_pingpong(fl, R, S, prog, "after")
        if not pp:
            pp += floor_pingpong(fl, R, S, prog, "")
        floor["pingpong"] = {"median": statistics.median([p[0] for p in pp]),
                             "p99": statistics.median([p[1] for p in pp]),
                             "repeats": pp}
    finally:
        fl.close()

    # --- system calls --------------------------------------------------------
    syscalls = None
    if not args.no_strace:
        try:
            out = subprocess.run([sys.executable, os.path.join(HERE, "syscalls.py"), "--json"],
                                 capture_output=True, text=True, timeout=600)
            syscalls = json.loads(out.stdout) if out.stdout.strip() else {"error": out.stderr.strip()}
        except Exception as e:
            syscalls = {"error": str(e)}
    prog.step("system calls on put/get (strace -c)",
              "skipped" if syscalls is None else
              ("error: " + syscalls["error"][:60]) if "error" in syscalls else
              ", ".join(f"{k}: {v['syscalls_per_operation']:g}/op" for k, v in syscalls.items()))

    report = {"machine": info, "settings": {"repeats": R, "seconds_per_repeat": S},
              "transports": names, "missing": missing, "floor": floor,
              "results": results, "skipped": skipped, "syscalls": syscalls}
    report["targets"] = evaluate_targets(report)
    text = render_tables(report)
    print(text)

    os.makedirs(args.out, exist_ok=True)
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    base = os.path.join(args.out, f"bench-{stamp}")
    with open(base + ".json", "w") as f:
        json.dump(report, f, indent=1)
    print(f"\nwrote {base}.json", file=sys.stderr)
    if not args.no_chart:
        try:
            from chart import draw
            draw(report, base + ".png")
            print(f"wrote {base}.png", file=sys.stderr)
        except ImportError as e:
            print(f"no chart: {e}", file=sys.stderr)
    return 0


def floor_pingpong(fl, R, S, prog, when):
    pp = [fl.pingpong_rtt(S) for _ in range(R)]
    prog.step(f"floor mutex+futex round trip {when}".rstrip(),
              f"median {statistics.median([p[0] for p in pp]) * 1e6:.1f} us, "
              f"p99 {statistics.median([p[1] for p in pp]) * 1e6:.1f} us")
    return pp


def run_job(kind, tr, size, P, C, R, S, results, skipped, prog):
    key = (f"1to1_{size}" if P == 1 else f"{P}to{C}_{size}") if kind == "stream" else "pingpong_64"
    what = (f"{'1->1' if P == 1 else f'{P}->{C}'} {size_label(size)}" if kind == "stream"
            else "ping-pong 64 B") + f"  {tr.name}"
    why = tr.unsupported(size, "many" if P > 1 else ("pingpong" if kind == "pingpong" else "one"))
    if why:
        skipped.setdefault(key, {})[tr.name] = why
        prog.step(what, f"skipped: {why}")
        return
    try:
        if kind == "stream":
            reps = run_stream(tr, size, P, C, R, S)
            med = statistics.median(reps)
            results.setdefault(key, {})[tr.name] = {
                "unit": "msg/s", "repeats": reps, "median": med,
                "median_MBps": med * size / MB}
            prog.step(what, f"{rate_label(med)}msg/s  {med * size / MB:,.1f} MB/s")
        else:
            meds, p99s = run_pingpong(tr, R, S)
            results.setdefault(key, {})[tr.name] = {
                "unit": "s", "median_repeats": meds, "p99_repeats": p99s,
                "median": statistics.median(meds), "p99": statistics.median(p99s)}
            prog.step(what, f"median {statistics.median(meds) * 1e6:.1f} us, "
                            f"p99 {statistics.median(p99s) * 1e6:.1f} us")
    except Exception as e:  # one broken peer must not sink the run
        skipped.setdefault(key, {})[tr.name] = f"failed: {e}"
        prog.step(what, f"FAILED: {e}")


def _get(report, key, name, field="median"):
    return report["results"].get(key, {}).get(name, {}).get(field)


def evaluate_targets(report: dict) -> list[dict]:
    t = []
    vq = _get(report, "1to1_64", "veskline")
    mq = _get(report, "1to1_64", "mp.Queue")
    row = {k: v["median"] for k, v in report["results"].get("1to1_64", {}).items()}
    bp = best_peer(row, True)
    if vq and mq and bp:
        t.append({"target": "64 B 1->1: >= 10x mp.Queue and ahead of every peer",
                  "value": f"{vq / mq:.1f}x mp.Queue, {vq / bp[1]:.2f}x best peer ({bp[0]})",
                  "met": vq >= 10 * mq and vq > bp[1]})
    vv = _get(report, "1to1_1048576", "veskline view", "median_MBps")
    mc = report["floor"].get("memcpy_1048576", {})
    if vv and mc:
        hot, cold = mc["median"] / MB, mc["median_streaming"] / MB
        t.append({"target": "1 MiB via recv_view: >= 60% of memcpy bandwidth",
                  "value": f"{100 * vv / hot:.0f}% of cache-resident memcpy, "
                           f"{100 * vv / cold:.0f}% of memcpy into a ring-sized area",
                  "met": vv >= 0.6 * hot})
    vp = _get(report, "pingpong_64", "veskline")
    fp = report["floor"].get("pingpong", {}).get("median")
    if vp and fp:
        t.append({"target": "64 B ping-pong median: <= 1.5x the C floor",
                  "value": f"{vp / fp:.2f}x ({vp * 1e6:.1f} us vs {fp * 1e6:.1f} us)",
                  "met": vp <= 1.5 * fp})
    sc = report.get("syscalls")
    if sc and "error" not in sc:
        t.append({"target": "no system call on the uncontended put/get path",
                  "value": "; ".join(f"{k}: {v['operations']:,} more ops, "
                                     f"{sum(v['extra_syscalls'].values()):+d} calls {v['extra_syscalls'] or ''}"
                                     for k, v in sc.items()),
                  "met": all(v["none_on_path"] for v in sc.values())})
    return t


def render_tables(report: dict) -> str:
    res, fl = report["results"], report["floor"]
    names = report["transports"]
    lines = []

    # All figures, one column per transport.
    short = {"veskline": "vesk get", "veskline view": "vesk view", "mp.SimpleQueue": "mp.SimpleQ",
             "faster-fifo": "faster-fifo"}
    w = 11
    head = f"{'workload':<22}" + "".join(f"{short.get(n, n)[:w]:>{w + 1}}" for n in names)
    lines += ["", "All figures (median of repeats; msg/s, MB/s in brackets for >= 4 KiB; "
              "ping-pong round trip in us):", head, "-" * len(head)]
    rows = [(f"1to1_{s}", f"1->1 {size_label(s)}") for s in SIZES]
    rows += [("2to2_64", "2->2 64 B"), ("pingpong_64", "ping-pong 64 B med"),
             ("pingpong_64:p99", "ping-pong 64 B p99")]
    for key, label in rows:
        field = "median"
        if key.endswith(":p99"):
            key, field = key.split(":")[0], "p99"
        cells = []
        for n in names:
            v = res.get(key, {}).get(n, {}).get(field)
            if v is None:
                cells.append("-")
            elif key.startswith("pingpong"):
                cells.append(f"{v * 1e6:.1f}")
            else:
                cells.append(rate_label(v))
        lines.append(f"{label:<22}" + "".join(f"{c:>{w + 1}}" for c in cells))
        if key.startswith("1to1_") and int(key.split("_")[1]) >= 4096:
            mbs = [res.get(key, {}).get(n, {}).get("median_MBps") for n in names]
            lines.append(f"{'  MB/s':<22}" + "".join(
                f"{('(%.0f)' % m) if m else '-':>{w + 1}}" for m in mbs))

    # veskline as ratios.
    lines += ["", "veskline as a ratio (x = times faster; floor: share of memcpy bandwidth, "
              "cache-resident / into a ring-sized area, or round trip over the C floor's):"]
    head = f"{'figure':<32}{'value':>14}{'vs mp.Queue':>13}{'vs best peer':>28}{'vs floor':>26}"
    lines += [head, "-" * len(head)]
    for key, label in rows[:5] + [("pingpong_64", "ping-pong 64 B median")]:
        is_lat = key.startswith("pingpong")
        row = {k: v["median"] for k, v in res.get(key, {}).items()}
        bp = best_peer(row, not is_lat)
        for vn in VESK:
            v = row.get(vn)
            if v is None:
                continue
            mq = row.get("mp.Queue")
            if is_lat:
                value = f"{v * 1e6:.1f} us"
                r_mq = f"{mq / v:.1f}x" if mq else "-"
                r_bp = f"{bp[1] / v:.2f}x ({bp[0]})" if bp else "-"
                f = fl.get("pingpong", {}).get("median")
                r_fl = f"{v / f:.2f}x floor RTT" if f else "-"
            else:
                size = int(key.split("_")[1])
                value = rate_label(v) + "msg/s" if size < 65536 else f"{v * size / MB:,.0f} MB/s"
                r_mq = f"{v / mq:.1f}x" if mq else "-"
                r_bp = f"{v / bp[1]:.2f}x ({bp[0]})" if bp else "-"
                m = fl.get(f"memcpy_{size}")
                r_fl = (f"{100 * v * size / m['median']:.0f}% / "
                        f"{100 * v * size / m['median_streaming']:.0f}% memcpy") if m and key.startswith("1to1") else "-"
            lines.append(f"{label + ' ' + ('get' if vn == 'veskline' else 'view'):<32}"
                         f"{value:>14}{r_mq:>13}{r_bp:>28}{r_fl:>26}")
    if fl:
        lines += ["", "floor: memcpy 64 KiB {:,.0f} / {:,.0f} MB/s; "
                  "1 MiB {:,.0f} / {:,.0f} (cache-resident / into a ring-sized area); mutex+futex round trip median {:.1f} us, p99 {:.1f} us"
                  .format(fl["memcpy_65536"]["median"] / MB, fl["memcpy_65536"]["median_streaming"] / MB,
                          fl["memcpy_1048576"]["median"] / MB,
                          fl["memcpy_1048576"]["median_streaming"] / MB,
                          fl["pingpong"]["median"] * 1e6, fl["pingpong"]["p99"] * 1e6)]
    for key, d in report.get("skipped", {}).items():
        for n, why in d.items():
            lines.append(f"skipped {key} {n}: {why}")
    lines += ["", "targets:"]
    for t in report["targets"]:
        lines.append(f"  [{'met' if t['met'] else 'MISSED'}] {t['target']}: {t['value']}")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
