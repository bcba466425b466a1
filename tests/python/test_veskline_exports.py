"""veskline's public names: none of them hides a builtin."""

import builtins
import subprocess
import sys


def test_star_import_replaces_no_builtin():
    # Checked in a fresh interpreter, on what `import *` really binds.
    code = ("import builtins\n"
            "before = set(globals())\n"
            "from veskline import *\n"
            "print(' '.join(sorted(set(globals()) - before)))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    bound = set(out.stdout.split())
    assert "Lock" in bound
    assert not bound & set(dir(builtins)), bound & set(dir(builtins))
