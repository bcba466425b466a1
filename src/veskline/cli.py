"""The ``veskline`` command (also ``python -m veskline``): see and clean what
this library keeps in /dev/shm. ::

    veskline ls [--json]                  every queue ring, pool ring and lock record
    veskline inspect NAME [--count N] [--json]
                                          one name's header fields and its oldest messages
    veskline rm [--force] NAME...         remove names (refuses what is not ours without --force)
    veskline clean [--yes] [--dry-run]    remove what is plainly dead, after asking

Nothing here takes a ring's or a lock's mutex: every object is read from a
read-only mapping, so a holder that is stopped or dead cannot make the
command wait.

Exit codes::

    0  done; for ls and inspect, every name shown is ready
    1  an error: a name is missing or unreadable, or a removal failed
    2  the command line is wrong
    3  refused: rm of a name that is not ours without --force, or clean
       not confirmed (answered no, or no answer on standard input)
    4  ls or inspect: some name shown is half-made or damaged
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from typing import Sequence, TextIO

from veskline import inventory
from veskline.inventory import Entry

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_REFUSED = 3
EXIT_NOT_READY = 4

BAR_WIDTH = 20


def human_size(n: int) -> str:
    """A byte count for a person; whole units without a fraction.

    >>> from veskline.cli import human_size
    >>> human_size(1536), human_size(65536), human_size(100)
    ('1.5 KiB', '64 KiB', '100 B')
    """
    if n < 1024:
        return f"{n} B"
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        n /= 1024
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if n == int(n) else f"{n:.1f} {unit}"
    raise AssertionError("unreachable")


def fill_bar(used: int, capacity: int) -> str:
    """A ring's fill as a bar; it never looks empty while a byte is queued.

    >>> from veskline.cli import fill_bar
    >>> fill_bar(1 << 18, 1 << 20)
    '[#####...............]  25%'
    >>> fill_bar(1, 1 << 20)
    '[#...................]   0%'
    """
    share = used / capacity if capacity else 0.0
    filled = round(share * BAR_WIDTH)
    if used and not filled:
        filled = 1
    return "[" + "#" * filled + "." * (BAR_WIDTH - filled) + f"] {share * 100:3.0f}%"


def _messages(e: Entry) -> str:
    r = e.report
    return str(r["messages"]) if r["messages_counted"] else f">={r['messages']}"


def _holder(e: Entry) -> str:
    r = e.report
    if e.holder:
        return f"{e.holder.pid or e.holder.tid} {e.holder.state}"
    if r.get("owner_died"):
        return "died"
    return "-"


def ls_rows(entries: list[Entry]) -> list[list[str]]:
    rows = [["NAME", "KIND", "STATE", "OWNER", "MODE", "SIZE", "FILL", "QUEUED", "MSGS",
             "WAITING", "HOLDER", "USERS"]]
    for e in entries:
        r = e.report
        ready_ring = e.is_ring and e.state == "ready"
        rows.append([
            e.name,
            e.kind,
            e.state,
            e.owner,
            f"{r['mode']:04o}" if r else "?",
            human_size(r.get("data_size", r["size"])) if r else "?",
            fill_bar(r["queued_bytes"], r["capacity"]) if ready_ring else "-",
            human_size(r["queued_bytes"]) if ready_ring else "-",
            _messages(e) if ready_ring else "-",
            ",".join(e.waiting) or "-",
            _holder(e) if r else "?",
            str(len(e.attached)) if r else "?",
        ])
    return rows


def render_table(rows: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    # Numbers line up on the right.
    right = {rows[0].index(h) for h in ("SIZE", "QUEUED", "MSGS", "USERS")}
    lines = []
    for row in rows:
        cells = [c.rjust(w) if i in right else c.ljust(w)
                 for i, (c, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def _not_ready(entries: list[Entry]) -> bool:
    return any(e.state != "ready" for e in entries)


def cmd_ls(args: argparse.Namespace, out: TextIO) -> int:
    processes = inventory.ProcessScan()
    entries = inventory.scan(processes=processes)
    if args.json:
        json.dump([e.as_json() for e in entries], out, indent=2)
        out.write("\n")
        return EXIT_NOT_READY if _not_ready(entries) else EXIT_OK
    if not entries:
        out.write(f"nothing of veskline in {inventory.SHM_DIR}\n")
        return EXIT_OK
    out.write(render_table(ls_rows(entries)) + "\n")
    notes = [f"  {e.name}: {e.state}: {e.problem}" for e in entries
             if e.state != "ready" and e.problem]
    notes += [f"  {e.name}: mutex held by {e.holder.describe()}" for e in entries
              if e.holder and e.holder.state.startswith("stopped")]
    if any(not processes.knows_users_of(e.report) for e in entries if e.report):
        notes.append("  (processes of another user could not be looked at: USERS may be too low)")
    if notes:
        out.write("\n" + "\n".join(notes) + "\n")
    return EXIT_NOT_READY if _not_ready(entries) else EXIT_OK


def inspect_lines(e: Entry) -> list[tuple[str, str]]:
    r = e.report
    when = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(r["mtime"]))
    lines = [
        ("name", e.name),
        ("kind", e.kind + (f" (pool {e.pool})" if e.pool else "")),
        ("state", e.state + (f": {e.problem}" if e.problem else "")),
        ("owner", f"{e.owner} (uid {r['uid']}), mode {r['mode']:04o}"),
        ("size", f"{r['size']} bytes" + (
            f" (header 16384 + data {r['data_size']})" if e.is_ring else "")),
        ("modified", f"{when} ({inventory._age(e.age)} ago)"),
        ("users", ", ".join(str(p) for p in e.attached) or "no process maps it"),
    ]
    if "mutex_word" in r:
        if e.holder:
            holder = f"held by {e.holder.describe()}"
        elif r["owner_died"]:
            holder = "its holder died; the next locker recovers it"
        else:
            holder = "free"
        lines.append(("mutex", f"{holder}; word 0x{r['mutex_word']:08x}, kind {r['mutex_kind']}"
                               f", sleepers {'yes' if r['mutex_waiters'] else 'no'}"))
    if e.is_ring:
        lines += [
            ("capacity", str(r["capacity"])),
            ("initialized", str(r["initialized"])),
            ("read_pos", str(r["read_pos"])),
            ("write_pos", str(r["write_pos"])),
            ("data wake", f"sequence {r['data_sequence']}, "
                          f"consumer asleep {'yes' if r['data_waiting'] else 'no'}"),
            ("space wake", f"sequence {r['space_sequence']}, "
                           f"producer asleep {'yes' if r['space_waiting'] else 'no'}"),
        ]
        if e.state == "ready":
            lines.append(("queued", f"{r['queued_bytes']} bytes in {_messages(e)} messages  "
                                    + fill_bar(r["queued_bytes"], r["capacity"])))
        if r["first_sizes"]:
            more = " ..." if len(r["first_sizes"]) < r["messages"] else ""
            lines.append(("oldest sizes",
                          ", ".join(str(s) for s in r["first_sizes"]) + more))
    return lines


def cmd_inspect(args: argparse.Namespace, out: TextIO) -> int:
    name = args.name.lstrip("/")
    try:
        e = inventory.examine(name, args.count)
    except OSError as err:
        print(f"veskline: {name}: {err.strerror or err}", file=sys.stderr)
        return EXIT_ERROR
    if e is None:
        print(f"veskline: {name}: not a ring or lock record of veskline", file=sys.stderr)
        return EXIT_ERROR
    e.attached = inventory.ProcessScan().pids(e.report)
    if args.json:
        data = e.as_json()
        data["header"] = {k: v for k, v in e.report.items() if k not in ("device", "inode")}
        json.dump(data, out, indent=2)
        out.write("\n")
    else:
        lines = inspect_lines(e)
        width = max(len(k) for k, _ in lines)
        out.write("".join(f"{k.ljust(width)}  {v}\n" for k, v in lines))
    return EXIT_OK if e.state == "ready" else EXIT_NOT_READY


def cmd_rm(args: argparse.Namespace, out: TextIO) -> int:
    status = EXIT_OK
    for raw in args.names:
        name = raw.lstrip("/")
        try:
            e = inventory.examine(name, 0)
        except FileNotFoundError:
            print(f"veskline: {name}: no such name", file=sys.stderr)
            status = max(status, EXIT_ERROR)
            continue
        except OSError as err:
            if not args.force:
                print(f"veskline: {name}: {err.strerror or err}; --force removes it unread",
                      file=sys.stderr)
                status = max(status, EXIT_ERROR)
                continue
            e = None
        if e is None and not args.force:
            print(f"veskline: {name}: not made by veskline; left alone (--force removes it)",
                  file=sys.stderr)
            status = max(status, EXIT_REFUSED)
            continue
        try:
            inventory.remove(name)
        except OSError as err:
            print(f"veskline: {name}: {err.strerror or err}", file=sys.stderr)
            status = max(status, EXIT_ERROR)
            continue
        out.write(f"removed {name}\n")
    return status


def cmd_clean(args: argparse.Namespace, out: TextIO) -> int:
    processes = inventory.ProcessScan()
    plan = inventory.dead(inventory.scan(processes=processes), processes)
    if not plan:
        out.write("nothing to clean\n")
        return EXIT_OK
    width = max(len(e.name) for e, _ in plan)
    out.write("would remove:\n")
    out.write("".join(f"  {e.name.ljust(width)}  {e.kind}, {why}\n" for e, why in plan))
    if args.dry_run:
        return EXIT_OK
    if not args.yes:
        count = "this name" if len(plan) == 1 else f"these {len(plan)} names"
        out.write(f"remove {count}? [y/N] ")
        out.flush()
        answer = sys.stdin.readline() if sys.stdin else ""
        if not (sys.stdin and sys.stdin.isatty()):
            out.write("\n")  # the answer was not echoed
        if answer.strip().lower() not in ("y", "yes"):
            out.write("nothing removed\n")
            return EXIT_REFUSED
    status = EXIT_OK
    for e, _ in plan:
        try:
            inventory.remove(e.name)
        except FileNotFoundError:
            pass  # somebody else removed it meanwhile: the goal is met
        except OSError as err:
            print(f"veskline: {e.name}: {err.strerror or err}", file=sys.stderr)
            status = EXIT_ERROR
            continue
        out.write(f"removed {e.name}\n")
    return status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veskline",
        description="See and clean the shared memory of veskline in /dev/shm.",
        epilog="exit codes: 0 done (ls/inspect: all ready), 1 error, 2 usage, "
               "3 refused or not confirmed, 4 ls/inspect: something half-made or damaged")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("ls", help="list every ring and lock record")
    p.add_argument("--json", action="store_true", help="one JSON list, for scripts")
    p.set_defaults(run=cmd_ls)

    p = sub.add_parser("inspect", help="header fields and the oldest messages of one name")
    p.add_argument("name")
    p.add_argument("--count", type=int, default=8, metavar="N",
                   help="sizes of the N oldest messages (default 8)")
    p.add_argument("--json", action="store_true", help="JSON, for scripts")
    p.set_defaults(run=cmd_inspect)

    p = sub.add_parser("rm", help="remove names")
    p.add_argument("names", nargs="+", metavar="NAME")
    p.add_argument("--force", action="store_true", help="remove names that are not ours too")
    p.set_defaults(run=cmd_rm)

    p = sub.add_parser("clean", help="remove half-made objects and rings of pools nobody uses")
    p.add_argument("--yes", "-y", action="store_true", help="do not ask")
    p.add_argument("--dry-run", "-n", action="store_true", help="only show what would go")
    p.set_defaults(run=cmd_clean)
    return parser


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    args = build_parser().parse_args(argv)
    if getattr(args, "count", 0) < 0:
        print("veskline: --count must not be negative", file=sys.stderr)
        return EXIT_USAGE
    try:
        return args.run(args, out or sys.stdout)
    except BrokenPipeError:
        return EXIT_OK  # the reader (head, less) stopped reading
