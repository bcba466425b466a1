"""Runs CPython's own queue tests against veskline's classes, on this interpreter.

test_queue once (threads only), _test_multiprocessing once per start method
(fork, spawn, forkserver), each in a fresh interpreter; exits non-zero if any
failed. Pass --subject multiprocessing to run them against multiprocessing's
own classes instead, which checks the harness.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--subject", choices=("veskline", "multiprocessing"), default="veskline")
    parser.add_argument("--start", nargs="*", default=["fork", "spawn", "forkserver"])
    parser.add_argument("-v", "--verbose", action="store_true", help="name every test")
    args = parser.parse_args()

    version = ".".join(map(str, sys.version_info[:2]))
    runs = [("test_queue", "cpython_test_queue", None)]
    runs += [(f"_test_multiprocessing ({m})", "cpython_test_multiprocessing", m) for m in args.start]
    failed = []
    started = time.monotonic()
    for title, module, method in runs:
        env = dict(os.environ, VESKLINE_CPYTHON_SUBJECT=args.subject,
                   PYTHONPATH=os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")]))
        if method:
            env["VESKLINE_CPYTHON_START"] = method
        command = [sys.executable, "-u", os.path.join(HERE, "suite_main.py"), module,
                   *(["-v"] if args.verbose else [])]
        print(f"== CPython {version} {title} against {args.subject}", flush=True)
        begin = time.monotonic()
        result = subprocess.run(command, env=env, cwd=HERE, timeout=900)
        print(f"   {time.monotonic() - begin:.1f} s, exit {result.returncode}", flush=True)
        if result.returncode != 0:
            failed.append(title)
    print(f"== CPython {version} suites: {time.monotonic() - started:.1f} s in all; "
          + (f"FAILED: {', '.join(failed)}" if failed else "all passed"), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
