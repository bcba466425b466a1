"""Fails when an extension in a wheel imports a C library symbol without a
symbol version.

A compiler aimed at an old glibc may still see a declaration of a newer
function (gettid, for one) whose stub it cannot version: the import is then
left unversioned, auditwheel does not object, and the module fails to load on
an older glibc. Python's own symbols (Py*, _Py*) are unversioned by design.
"""

import sys
import zipfile
from io import BytesIO

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerSymSection

PYTHON_PREFIXES = ("Py", "_Py", "_Py_")


def unversioned_imports(data: bytes) -> list[str]:
    elf = ELFFile(BytesIO(data))
    dynsym = elf.get_section_by_name(".dynsym")
    versym = next((s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)), None)
    bad = []
    for i, sym in enumerate(dynsym.iter_symbols()):
        if not sym.name or sym["st_shndx"] != "SHN_UNDEF" or sym["st_info"]["bind"] == "STB_WEAK":
            continue
        if sym.name.startswith(PYTHON_PREFIXES):
            continue
        version = versym.get_symbol(i)["ndx"] if versym is not None else "VER_NDX_GLOBAL"
        if version in ("VER_NDX_GLOBAL", "VER_NDX_LOCAL", 0, 1):
            bad.append(sym.name)
    return bad


def main(wheels: list[str]) -> int:
    status = 0
    for wheel in wheels:
        with zipfile.ZipFile(wheel) as zf:
            for name in zf.namelist():
                if name.endswith(".so"):
                    bad = unversioned_imports(zf.read(name))
                    if bad:
                        print(f"{wheel}: {name} imports without a version: {', '.join(bad)}")
                        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
