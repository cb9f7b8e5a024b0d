"""Check how the interpreter loads each compiled module, through both entry points.

* Importing the module leaves the GIL as it was (the module declares that it
  does not need it; on an interpreter with a GIL this only says it imports).
* On CPython 3.15 and later the import system takes PyModExport_<name>: the
  module it makes carries no PyModuleDef.  Older interpreters use PyInit_<name>.
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
from functions import ALL, MODULES  # noqa: E402 - the registry of compiled functions

gil_before = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else None
imported = {name: importlib.import_module(name) for name in MODULES}
gil_after = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else None

HAS_EXPORT_HOOK = sys.version_info >= (3, 15)
failures = []


def check(ok, what):
    print(f"{'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        failures.append(what)


def same_module(module, ref, how):
    """`module` has the functions of the imported module `ref` and they work."""
    names = [f.name for f in ALL if f.module == ref.__name__]
    check(list(module.__all__) == names, f"{how}: __all__ lists the registered functions in order")
    for name in names:
        fn = getattr(module, name)
        theirs = getattr(ref, name)
        if fn.__doc__ != theirs.__doc__ or fn.__text_signature__ != theirs.__text_signature__:
            check(False, f"{how}: {name} has the same signature and documentation")
            return
        if fn.__self__ is not module:
            check(False, f"{how}: {name} is bound to its own module")
            return
    first = next(f for f in ALL if f.module == ref.__name__)
    args = first.make_args(np.random.default_rng(0))
    ours, theirs = getattr(module, first.name)(*args), getattr(ref, first.name)(*args)
    check(np.array_equal(ours, theirs), f"{how}: {first.name} gives the imported module's result")


api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_ExecDef.restype = ctypes.c_int
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
if HAS_EXPORT_HOOK:
    api.PyModule_FromSlotsAndSpec.restype = ctypes.py_object
    api.PyModule_FromSlotsAndSpec.argtypes = [ctypes.c_void_p, ctypes.py_object]
    api.PyModule_Exec.restype = ctypes.c_int
    api.PyModule_Exec.argtypes = [ctypes.py_object]

print(f"CPython {sys.version.split()[0]}, NumPy {np.__version__}")
check(gil_before == gil_after, f"importing {', '.join(MODULES)} leaves the GIL as it was ({gil_before})")
for qualified, mod in imported.items():
    short = qualified.rpartition(".")[2]
    init_name, export_name = f"PyInit_{short}", f"PyModExport_{short}"
    print(f"-- {mod.__file__}")
    same_module(mod, mod, "import")
    lib = ctypes.PyDLL(mod.__file__)  # already loaded: the same handle
    spec = importlib.util.spec_from_file_location(qualified, mod.__file__)

    init = getattr(lib, init_name)
    init.restype = ctypes.c_void_p
    module_def = init()
    check(bool(module_def), f"{init_name} returns a module definition")
    imported_def = api.PyModule_GetDef(mod)
    if HAS_EXPORT_HOOK:
        check(hasattr(lib, export_name), f"{export_name} is exported")
        check(imported_def is None, f"the import system took {export_name} (no module definition)")
    else:
        check(not hasattr(lib, export_name), f"no {export_name} before CPython 3.15")
        check(imported_def == module_def, f"the import system took {init_name}")

    # The classic definition, by hand: what an interpreter that does not know
    # the export hook does with it.
    by_def = api.PyModule_FromDefAndSpec2(module_def, spec, 1013)  # PYTHON_API_VERSION
    check(api.PyModule_ExecDef(by_def, module_def) == 0, f"{init_name}: the execution step succeeds")
    check(api.PyModule_GetDef(by_def) == module_def, f"{init_name}: the module carries the definition")
    same_module(by_def, mod, init_name)

    if HAS_EXPORT_HOOK:
        export = getattr(lib, export_name)
        export.restype = ctypes.c_void_p
        by_slots = api.PyModule_FromSlotsAndSpec(export(), spec)
        check(api.PyModule_Exec(by_slots) == 0, f"{export_name}: the execution step succeeds")
        same_module(by_slots, mod, export_name)
        check(by_slots.__doc__ == by_def.__doc__ == mod.__doc__,
              "both entry points give the same module docstring")

print(f"check_entry_points: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
