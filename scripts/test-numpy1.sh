#!/usr/bin/env bash
# Runs the test suite with NumPy 1.26 at run time: the extension is built as
# always, against NumPy 2's headers (pip's isolated build environment), and
# then loads NumPy's C API from `numpy.core` instead of `numpy._core`.
#   scripts/test-numpy1.sh [pytest args...]   (default: -x -q -p no:cacheprovider)
# Environment:
#   PYTHON  base interpreter for the virtual environment (default python3)
#   VENV    the virtual environment (default .cache/venv-numpy1; reused if present)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${VENV:-"$here/.cache/venv-numpy1"}

[ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
py="$venv/bin/python"
# One resolution for everything, so that no test requirement pulls NumPy 2 in.
"$py" -m pip install -qq "numpy==1.26.*" "$here[test]"

cd "$here"
# The run-time NumPy really is 1.26, and the first call loads NumPy's C API
# from it without a single warning.
"$py" -W error - <<'EOF'
import numpy as np
from groundmotion import _core

assert np.__version__.startswith("1.26."), np.__version__
out = _core._cav(np.ones((2, 5)), 0.5)
assert out.shape == (2,) and out.dtype == np.float64, out
print(f"{_core.__file__} on NumPy {np.__version__}: C API loaded")
EOF
(( $# )) || set -- -x -q -p no:cacheprovider
"$py" -m pytest "$@"
