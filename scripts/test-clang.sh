#!/usr/bin/env bash
# Builds the extensions with clang (CC=clang CXX=clang++) and runs the whole
# test suite against that build; test_konno_ohmachi's reference shim is
# compiled by clang++ too.  Installs Debian's clang with apt when missing
# (as root).
#   scripts/test-clang.sh [pytest args...]   (default: -q -p no:cacheprovider)
# Environment:
#   PYTHON     interpreter with NumPy 2 and the test requirements (default python3)
#   BUILD_DIR  build directory (default build/clang)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
build=${BUILD_DIR:-"$here/build/clang"}

if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
  [ "$(id -u)" -eq 0 ] || { echo "$0: clang is not installed" >&2; exit 1; }
  echo "== installing clang" >&2
  apt_options=(-o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false)
  DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" -q update >&2
  DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" -q -y --no-install-recommends \
    install clang >&2
fi
echo "== $(clang++ --version | head -n 1)" >&2

export CC=clang CXX=clang++
# A cache of another compiler's build would keep that compiler.
rm -f "$build/CMakeCache.txt"
PYTHON=$python "$here/scripts/devbuild.sh" "$build" >&2
for so in "$build"/stage/groundmotion/_*.so; do
  # Every object of ours records its compiler in .comment.
  readelf -p .comment "$so" | grep -q 'clang version' ||
    { echo "$0: $so was not compiled by clang" >&2; exit 1; }
done

cd "$here"
(( $# )) || set -- -q -p no:cacheprovider
PYTHONPATH="$build/stage" PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest "$@"
