"""The PNG chart of a benchmark report (matplotlib, no display needed)."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SIZES = [4096, 65536, 1 << 20]
COLORS = {"veskline": "#c0392b", "veskline view": "#e67e22"}


def _color(name, i):
    return COLORS.get(name, plt.get_cmap("tab10")(i % 10))


def draw(report: dict, path: str) -> None:
    res, fl, names = report["results"], report["floor"], report["transports"]
    fig, axes = plt.subplots(1, 3, figsize=(17, 5.5))

    # 64-byte messages per second, one to one and two to two.
    ax = axes[0]
    width = 0.38
    for j, (key, label) in enumerate((("1to1_64", "1 -> 1"), ("2to2_64", "2 -> 2"))):
        ys = [res.get(key, {}).get(n, {}).get("median", 0) for n in names]
        ax.barh([i + (j - 0.5) * width for i in range(len(names))], ys, height=width,
                label=label, color=["#8e44ad", "#16a085"][j])
    ax.set_yticks(range(len(names)), names)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("messages per second (log)")
    ax.set_title("64 B messages")
    ax.legend()

    # Bandwidth against payload size.
    ax = axes[1]
    for i, n in enumerate(names):
        xs, ys = [], []
        for s in SIZES:
            v = res.get(f"1to1_{s}", {}).get(n, {}).get("median_MBps")
            if v:
                xs.append(s)
                ys.append(v)
        if xs:
            ax.plot(xs, ys, marker="o", label=n, color=_color(n, i),
                    linewidth=2.5 if n.startswith("veskline") else 1.2)
    for s in (65536, 1 << 20):
        m = fl.get(f"memcpy_{s}")
        if m:
            ax.scatter([s], [m["median"] / 1e6], marker="_", s=400, color="black")
            ax.scatter([s], [m["median_streaming"] / 1e6], marker="_", s=400, color="gray")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xticks(SIZES, ["4 KiB", "64 KiB", "1 MiB"])
    ax.set_ylabel("MB/s, 1 -> 1 (log)")
    ax.set_title("bandwidth (bars: memcpy cache-resident / into 16 MiB)")
    ax.legend(fontsize=8)

    # Ping-pong round trips.
    ax = axes[2]
    pp = res.get("pingpong_64", {})
    shown = [n for n in names if n in pp]
    med = [pp[n]["median"] * 1e6 for n in shown]
    p99 = [pp[n]["p99"] * 1e6 for n in shown]
    ax.barh(range(len(shown)), med, color=[_color(n, i) for i, n in enumerate(shown)],
            label="median")
    ax.scatter(p99, range(len(shown)), marker="|", s=200, color="black", label="p99", zorder=3)
    f = fl.get("pingpong", {}).get("median")
    if f:
        ax.axvline(f * 1e6, color="black", linestyle="--", label="C floor (median)")
    ax.set_yticks(range(len(shown)), shown)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("round trip, us (log)")
    ax.set_title("64 B ping-pong")
    ax.legend(fontsize=8)

    m = report["machine"]
    fig.suptitle(f"veskline_core vs peers - {m['cpu']}, {m['usable_cpus']} CPUs, "
                 f"Python {m['python']}, {m['date'][:10]}")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
