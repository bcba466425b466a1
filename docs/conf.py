"""Sphinx configuration for the reference of veskline and veskline_core.

Both packages are imported from the installed build (`make docs` installs it
first), so the examples run as doctests against the real extension.

veskline_core's own docstrings are fixed and mostly empty; its reference
text comes from its type stub (veskline_core.pyi): the stub is loaded as a
plain module under a private name, and each documented object of the real
module takes the docstring and signature of its namesake in the stub.
"""

import __future__
import inspect
import os
import types

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))

project = "veskline"
author = "the veskline developers"
copyright = "veskline developers"  # noqa: A001 - Sphinx's setting
extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
templates_path = ["_templates"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
autosummary_generate = True
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
myst_heading_anchors = 3
# Each run gets names of its own: other runs may share /dev/shm.
doctest_global_setup = """
import os
import veskline_core as vc
unique = f"docs-{os.getpid()}"
"""


def _load_stub():
    # Stubs may name a class before it is defined: evaluate them with
    # postponed annotations.
    path = os.path.join(ROOT, "src", "veskline_core", "veskline_core.pyi")
    with open(path) as f:
        code = compile(f.read(), path, "exec", flags=__future__.annotations.compiler_flag,
                       dont_inherit=True)
    module = types.ModuleType("_veskline_core_stub")
    exec(code, module.__dict__)  # noqa: S102 - our own stub
    return module


_STUB = _load_stub()
# autodoc would otherwise load the stub in place of the extension (and fail on
# its forward references); the doctests need the real module.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"


def _stub_twin(name):
    """The stub's object for a dotted name under veskline_core, or None."""
    parts = name.split(".")
    if parts[0] != "veskline_core":
        return None
    obj = _STUB
    for part in parts[1:]:
        obj = getattr(obj, part, None)
        if obj is None:
            return None
    return obj


def _docstring_from_stub(app, what, name, obj, options, lines):
    twin = _stub_twin(name)
    if twin is None or any(line.strip() for line in lines):
        return
    doc = inspect.getdoc(twin) if what != "module" else _STUB.__doc__
    if doc and (what == "module" or twin.__doc__ is not getattr(type(twin), "__doc__", None)):
        lines[:] = doc.splitlines()


def _signature_from_stub(app, what, name, obj, options, signature, return_annotation):
    twin = _stub_twin(name)
    if twin is None or what not in ("class", "method", "function", "staticmethod"):
        return None
    if what == "class":
        if "__new__" not in vars(twin):
            return None  # made by other calls only (VeskView)
        target = twin.__new__
    else:
        target = twin
    if isinstance(target, property) or not callable(target):
        return None
    try:
        sig = inspect.signature(target, eval_str=True)
    except (TypeError, ValueError):
        return None
    params = list(sig.parameters.values())
    if params and params[0].name in ("self", "cls"):
        params = params[1:]
    shown = sig.replace(parameters=params, return_annotation=inspect.Signature.empty)
    ret = sig.return_annotation
    if ret is inspect.Signature.empty or what == "class":
        return str(shown), None
    return str(shown), ret.__qualname__ if isinstance(ret, type) else inspect.formatannotation(ret)


def setup(app):
    app.connect("autodoc-process-docstring", _docstring_from_stub)
    app.connect("autodoc-process-signature", _signature_from_stub)
