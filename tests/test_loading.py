"""Loading the extension: nothing imported at import time, NumPy's C API
fetched on first use, failures reported and retried, one-time caches safe
against racing threads.  Each case runs in a fresh interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

import groundmotion._core as core_module

CORE_PATH = core_module.__file__


def run(code, **env):
    prelude = textwrap.dedent(
        f"""
        import importlib.util, sys
        def load_core():
            spec = importlib.util.spec_from_file_location("_core", {CORE_PATH!r})
            mod = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(mod)
            return mod
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **env},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_import_does_not_import_numpy():
    out = run(
        """
        core = load_core()
        print("numpy" in sys.modules, core.__all__[0], core.__name__)
        """
    )
    assert out.split() == ["False", "_arias_intensity", "_core"]


def test_a_failed_numpy_load_is_a_panic_and_is_retried(tmp_path):
    fake = tmp_path / "numpy"
    fake.mkdir()
    (fake / "__init__.py").write_text("raise ImportError('numpy is broken here')\n")
    out = run(
        f"""
        core = load_core()
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            core._cav([[1.0]], 1.0)
        except BaseException as e:
            print(type(e).__qualname__, type(e).__module__, "|", e, "|", getattr(e, "__notes__", None))
        sys.path.pop(0)
        for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
            del sys.modules[name]
        import numpy as np
        print(core._cav(np.ones((1, 2)), 1.0)[0])
        """
    )
    first, second = out.strip().splitlines()
    assert first == (
        "PanicException pyo3_runtime | Failed to access NumPy array API capsule: "
        "ImportError: numpy is broken here | None"
    )
    assert second == "9.81"


def test_racing_first_calls_share_one_class_and_one_container_type():
    out = run(
        """
        import threading
        import numpy as np
        core = load_core()
        barrier = threading.Barrier(8)
        seen = []
        def work():
            barrier.wait()
            r = core._cav(np.ones((3, 4)), 0.5)
            try:
                core._rotd(np.zeros((2, 3)), np.zeros((1, 3)))
            except BaseException as e:
                seen.append((type(e), type(r.base), float(r[0])))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(seen), len({s[0] for s in seen}), len({s[1] for s in seen}), {s[2] for s in seen})
        """
    )
    assert out.split() == ["8", "1", "1", "{14.715}"]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the GIL declaration exists from 3.13")
def test_the_module_does_not_enable_the_gil():
    out = run(
        """
        before = sys._is_gil_enabled()
        core = load_core()
        print(before == sys._is_gil_enabled())
        """
    )
    assert out.strip() == "True"


def test_both_entry_points_describe_the_same_module():
    out = run(
        """
        import ctypes, importlib.machinery
        core = load_core()
        lib = ctypes.PyDLL(core.__file__)
        lib.PyInit__core.restype = ctypes.py_object
        definition = lib.PyInit__core()
        # ctypes takes the result for a new reference; the definition is static
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(definition))
        make = ctypes.pythonapi.PyModule_FromDefAndSpec2
        make.restype = ctypes.py_object
        make.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
        other = make(definition, importlib.machinery.ModuleSpec("_core", None), 1013)
        run_exec = ctypes.pythonapi.PyModule_ExecDef
        run_exec.argtypes = [ctypes.py_object, ctypes.py_object]
        assert run_exec(other, definition) == 0
        assert other.__all__ == core.__all__ and other.__doc__ == core.__doc__
        assert [getattr(other, n).__doc__ for n in other.__all__] == [getattr(core, n).__doc__ for n in core.__all__]
        has_export = hasattr(lib, "PyModExport__core")
        print(has_export == (sys.version_info >= (3, 15)), len(other.__doc__.splitlines()))
        """
    )
    assert out.split() == ["True", "3"]
