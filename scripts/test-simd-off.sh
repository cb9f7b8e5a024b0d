#!/usr/bin/env bash
# Builds the extensions with -DGM_SIMD=OFF (the scalar code paths only, no
# vector code) and runs the whole test suite against that build.  On x86-64,
# once CMakeLists.txt defines the option, the build is checked to use no
# 256- or 512-bit vector register (ymm, zmm) anywhere.
#   scripts/test-simd-off.sh [pytest args...]   (default: -q -p no:cacheprovider)
# Environment:
#   PYTHON     interpreter with NumPy 2 and the test requirements (default python3)
#   BUILD_DIR  build directory (default build/simd-off)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
build=${BUILD_DIR:-"$here/build/simd-off"}

PYTHON=$python "$here/scripts/devbuild.sh" "$build" -DGM_SIMD=OFF >&2
if ! grep -q '^GM_SIMD:BOOL=' "$build/CMakeCache.txt"; then
  # Until then CMake only warns that the variable is unused.
  echo "note: CMakeLists.txt has no GM_SIMD option: this is the default build" >&2
elif [ "$(uname -m)" = x86_64 ]; then
  for so in "$build"/stage/groundmotion/_*.so; do
    if objdump -d --no-show-raw-insn "$so" | grep -q -E '%[yz]mm[0-9]'; then
      echo "$0: $so uses vector registers (ymm/zmm) with GM_SIMD=OFF:" >&2
      objdump -d --no-show-raw-insn "$so" | grep -E '%[yz]mm[0-9]' | head -n 20 >&2
      exit 1
    fi
  done
  echo "== no ymm/zmm register in the GM_SIMD=OFF build" >&2
fi

cd "$here"
(( $# )) || set -- -q -p no:cacheprovider
PYTHONPATH="$build/stage" PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest "$@"
