"""Loading the extension, each case in a fresh interpreter: nothing imported
at import time, NumPy's C API fetched on first use, a failed fetch reported
and retried, one-time caches safe against racing threads, both entry points."""

import os
import subprocess
import sys
import textwrap

import groundmotion._core as core_module
import pytest

PRELUDE = f"""
import importlib.util, sys
def load_core():
    spec = importlib.util.spec_from_file_location("_core", {core_module.__file__!r})
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod
"""


def run(code):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_import_does_not_import_numpy_nor_enable_the_gil():
    out = run("""
        before = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
        core = load_core()
        print("numpy" in sys.modules, core.__all__[0], before == (sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True))
        """)
    assert out.split() == ["False", "_arias_intensity", "True"]


def test_a_failed_numpy_load_is_a_panic_and_is_retried(tmp_path):
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('numpy is broken here')\n")
    out = run(f"""
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
        """)
    assert out.splitlines() == ["PanicException pyo3_runtime | Failed to access NumPy array API capsule: "
                                "ImportError: numpy is broken here | None", "9.81"]


def test_racing_first_calls_share_one_class_and_one_container_type():
    out = run("""
        import threading
        import numpy as np
        core = load_core()
        barrier, seen = threading.Barrier(8), []
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
        """)
    assert out.split() == ["8", "1", "1", "{14.715}"]


def test_both_entry_points_describe_the_same_module():
    script = os.path.join(os.path.dirname(__file__), "..", "scripts", "check_entry_points.py")
    if not os.path.exists(script):
        pytest.skip("scripts/ not at hand")
    proc = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
