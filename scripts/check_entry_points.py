"""Check how the interpreter loads groundmotion._core, through both entry points.

* Importing the module leaves the GIL as it was (the module declares that it
  does not need it; on an interpreter with a GIL this only says it imports).
* On CPython 3.15 and later the import system takes PyModExport__core: the
  module it makes carries no PyModuleDef.  Older interpreters use PyInit__core.
* Both entry points, driven by hand, give a working module with the same
  functions, in the same order, as the imported one.

    python scripts/check_entry_points.py
"""

import ctypes
import importlib.util
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from functions import FUNCTIONS as REGISTRY  # noqa: E402 - the list of compiled functions

gil_before = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else None
from groundmotion import _core

gil_after = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else None

HAS_EXPORT_HOOK = sys.version_info >= (3, 15)
FUNCTIONS = [f.name for f in REGISTRY if f.module == _core.__name__]

failures = []


def check(ok, what):
    print(f"{'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        failures.append(what)


def same_module(module, how):
    """`module` has the functions of the imported module and they work."""
    check(list(module.__all__) == FUNCTIONS, f"{how}: __all__ lists the registered functions in order")
    for name in FUNCTIONS:
        fn = getattr(module, name)
        ref = getattr(_core, name)
        if fn.__doc__ != ref.__doc__ or fn.__text_signature__ != ref.__text_signature__:
            check(False, f"{how}: {name} has the same signature and documentation")
            return
        if fn.__self__ is not module:
            check(False, f"{how}: {name} is bound to its own module")
            return
    waveforms = np.linspace(-1.0, 1.0, 30).reshape(3, 10)
    check(np.array_equal(module._cav(waveforms, 0.01), _core._cav(waveforms, 0.01)),
          f"{how}: _cav gives the imported module's result")


api = ctypes.pythonapi
lib = ctypes.PyDLL(_core.__file__)  # already loaded: the same handle
spec = importlib.util.spec_from_file_location(_core.__name__, _core.__file__)

print(f"CPython {sys.version.split()[0]}, NumPy {np.__version__}, {_core.__file__}")
check(gil_before == gil_after, f"importing _core leaves the GIL as it was ({gil_before})")
same_module(_core, "import")

init = lib.PyInit__core
init.restype = ctypes.c_void_p
module_def = init()
check(bool(module_def), "PyInit__core returns a module definition")

api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
imported_def = api.PyModule_GetDef(_core)
if HAS_EXPORT_HOOK:
    check(hasattr(lib, "PyModExport__core"), "PyModExport__core is exported")
    check(imported_def is None, "the import system took PyModExport__core (no module definition)")
else:
    check(not hasattr(lib, "PyModExport__core"), "no PyModExport__core before CPython 3.15")
    check(imported_def == module_def, "the import system took PyInit__core")

# The classic definition, by hand: what an interpreter that does not know the
# export hook does with it.
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_ExecDef.restype = ctypes.c_int
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
by_def = api.PyModule_FromDefAndSpec2(module_def, spec, 1013)  # PYTHON_API_VERSION
check(api.PyModule_ExecDef(by_def, module_def) == 0, "PyInit__core: the execution step succeeds")
check(api.PyModule_GetDef(by_def) == module_def, "PyInit__core: the module carries the definition")
same_module(by_def, "PyInit__core")

if HAS_EXPORT_HOOK:
    export = lib.PyModExport__core
    export.restype = ctypes.c_void_p
    api.PyModule_FromSlotsAndSpec.restype = ctypes.py_object
    api.PyModule_FromSlotsAndSpec.argtypes = [ctypes.c_void_p, ctypes.py_object]
    api.PyModule_Exec.restype = ctypes.c_int
    api.PyModule_Exec.argtypes = [ctypes.py_object]
    by_slots = api.PyModule_FromSlotsAndSpec(export(), spec)
    check(api.PyModule_Exec(by_slots) == 0, "PyModExport__core: the execution step succeeds")
    same_module(by_slots, "PyModExport__core")
    check(by_slots.__doc__ == by_def.__doc__ == _core.__doc__,
          "both entry points give the same module docstring")

print(f"check_entry_points: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
