#!/usr/bin/env bash
# Developer build without installing: compiles the extensions (_core and any
# other _*.so of the build) into BUILD_DIR and lays out
# BUILD_DIR/stage/groundmotion (the Python sources linked, the extensions
# copied) so that `PYTHONPATH=BUILD_DIR/stage python -m pytest` runs the tests.
#   scripts/devbuild.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build/dev"}
shift || true
python=${PYTHON:-python3}
cmake -S "$here" -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
cmake --build "$build"
stage="$build/stage/groundmotion"
rm -rf "$build/stage"
mkdir -p "$stage"
for f in "$here"/python/groundmotion/*; do ln -s "$f" "$stage/"; done
shopt -s nullglob
extensions=("$build"/_*.so)
(( ${#extensions[@]} )) || { echo "$0: no extension (_*.so) in $build" >&2; exit 1; }
cp "${extensions[@]}" "$stage/"
echo "$build/stage"
