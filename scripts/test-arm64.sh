#!/usr/bin/env bash
# Cross-compiles the extensions for aarch64 and runs the test suite on an
# aarch64 CPython 3.11 under qemu user emulation, so that the portable
# (non-x86) code paths are built and tested.
#
# The aarch64 side is a Debian bookworm tree (python3.11, NumPy 1.24, pytest),
# made with `debootstrap --foreign` and unpacked with dpkg-deb (nothing of it
# is ever executed natively), cached outside the clone and reused.  The build
# uses the cross compiler, the tree's Python headers and the NumPy 2 headers
# of the host interpreter (both LP64 little-endian; the sizes in
# _numpyconfig.h are checked against the cross compiler first).
# binfmt_misc is not assumed: every aarch64 program is started through
# qemu-aarch64-static explicitly, by a host script (BUILD_DIR/python3.11-
# aarch64-linux-gnu) that the emulated runs also see as sys.executable, so
# that the tests starting a fresh interpreter (test_loading, test_cli) start
# an emulated one.  The reference shims some tests compile with $CXX are
# compiled by aarch64-linux-gnu-g++.  Hypothesis, tqdm and mpmath are not in
# the tree's package set: their pure-Python wheels (and those of their
# dependencies) are installed with the host's pip into a directory of the tree.
#
# Tests run: the whole suite, with the suite's own budgets (about 2.5 minutes
# emulated).  The
# tests needing scipy, obspy, pandas or matplotlib skip themselves: those are
# not installed in the tree (compiled, and slow to import under emulation).
#
#   scripts/test-arm64.sh [pytest args...]   (default: -q -p no:cacheprovider)
# Environment:
#   PYTHON         host interpreter with NumPy >= 2 and pip (default python3):
#                  NumPy's headers for the build, pip for the wheels
#   ARM64_ROOT     the aarch64 tree (default ~/.cache/groundmotion/arm64-bookworm)
#   BUILD_DIR      build directory (default build/arm64)
#   ARM64_TIMEOUT  seconds the emulated test run may take before it is
#                  stopped as a failure (default 900)
#   DEBIAN_MIRROR  archive for debootstrap (default: the one of this machine's
#                  apt sources, see scripts/debian-mirror.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
root=${ARM64_ROOT:-"${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/groundmotion/arm64-bookworm"}
build=${BUILD_DIR:-"$here/build/arm64"}
triplet=aarch64-linux-gnu
cxx=$triplet-g++
qemu=qemu-aarch64-static
pyver=3.11
suite=bookworm
packages=python3,python3-dev,python3-numpy,python3-pytest
# Pure-Python wheels for the tree (Hypothesis and what it needs on 3.11).
wheels=(hypothesis attrs sortedcontainers tqdm mpmath)
marker="$root/.groundmotion-complete"   # holds what the tree was made with
wheels_dir="$root/opt/groundmotion-wheels"

for tool in "$cxx" "$qemu" debootstrap dpkg-deb cmake ninja; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is not installed" >&2; exit 1; }
done

# Making the tree is noisy: its output goes to a log, shown only on failure.
setup_log=$(mktemp)
trap 'rm -f "$setup_log"' EXIT
quietly() {
  "$@" >>"$setup_log" 2>&1 || { echo "failed: $*" >&2; tail -n 60 "$setup_log" >&2; return 1; }
}

if [ "$(cat "$marker" 2>/dev/null)" != "$suite $packages" ]; then
  mirror=$("$here/scripts/debian-mirror.sh")
  partial="$root.partial"
  echo "== debootstrap --foreign $suite/arm64 into $root" >&2
  rm -rf "$partial"
  mkdir -p "$(dirname "$root")"
  quietly debootstrap --arch=arm64 --foreign --variant=minbase --include="$packages" \
    "$suite" "$partial" "$mirror"
  # The second stage of debootstrap would run the packages' scripts, which
  # needs the emulator to be registered; the files alone are enough here.
  debs=("$partial"/var/cache/apt/archives/*.deb)
  echo "== unpacking ${#debs[@]} packages" >&2
  for deb in "${debs[@]}"; do
    quietly dpkg-deb -x "$deb" "$partial"
  done
  rm -f "$partial"/var/cache/apt/archives/*.deb
  # update-alternatives would have made these links.
  for lib in blas lapack; do
    [ -e "$partial/usr/lib/$triplet/$lib/lib$lib.so.3" ] ||
      { echo "$0: $lib/lib$lib.so.3 missing from the tree" >&2; exit 1; }
    ln -sfn "$lib/lib$lib.so.3" "$partial/usr/lib/$triplet/lib$lib.so.3"
  done
  rm -rf "$root"
  mv "$partial" "$root"
  echo "$suite $packages" >"$marker"
fi
# Hypothesis, tqdm and mpmath (and their dependencies), pure Python, into the tree.
if [ "$(cat "$wheels_dir/.groundmotion-complete" 2>/dev/null)" != "${wheels[*]}" ]; then
  echo "== pure-Python wheels into the tree: ${wheels[*]}" >&2
  rm -rf "$wheels_dir"
  quietly "$python" -m pip install --disable-pip-version-check --no-compile \
    --platform any --only-binary=:all: --python-version "$pyver" --implementation py \
    --target "$wheels_dir" "${wheels[@]}"
  echo "${wheels[*]}" >"$wheels_dir/.groundmotion-complete"
fi

# The emulated interpreter, as a host program: a script that starts it
# through qemu.  In the emulated runs, sys.executable names this script (a
# sitecustomize module does it), so that the tests that start a fresh
# interpreter (subprocess with sys.executable) start an emulated one too.
mkdir -p "$build/emulation-site"
emulated="$build/python$pyver-$triplet"
cat >"$emulated" <<EOF
#!/bin/sh
exec env QEMU_LD_PREFIX='$root' GM_EMULATED_PYTHON='$emulated' \\
  '$qemu' -L '$root' '$root/usr/bin/python$pyver' "\$@"
EOF
chmod +x "$emulated"
cat >"$build/emulation-site/sitecustomize.py" <<'EOF'
# Written by scripts/test-arm64.sh: child interpreters go through qemu too.
import os
import sys

if os.environ.get("GM_EMULATED_PYTHON"):
    sys.executable = os.environ["GM_EMULATED_PYTHON"]
EOF
site="$build/emulation-site:$wheels_dir"
echo "== $(PYTHONPATH=$site "$emulated" -c 'import platform, sys, numpy
print(f"emulated: Python {platform.python_version()} on {platform.machine()}, NumPy {numpy.__version__}, sys.executable {sys.executable}")')" >&2

# NumPy 2's headers from the host interpreter; the types they size must have
# the same sizes for the cross compiler.
numpy_include=$("$python" -c 'import numpy; assert int(numpy.__version__.split(".")[0]) >= 2, numpy.__version__; print(numpy.get_include())')
check="$build/numpyconfig_check.cpp"
{
  printf '#include <complex>\n#include <cstddef>\n#include <numpy/_numpyconfig.h>\n'
  while read -r macro type; do
    echo "static_assert(sizeof($type) == $macro, \"$macro\");"
  done <<'EOF'
NPY_SIZEOF_SHORT short
NPY_SIZEOF_INT int
NPY_SIZEOF_LONG long
NPY_SIZEOF_LONGLONG long long
NPY_SIZEOF_FLOAT float
NPY_SIZEOF_DOUBLE double
NPY_SIZEOF_LONGDOUBLE long double
NPY_SIZEOF_COMPLEX_FLOAT std::complex<float>
NPY_SIZEOF_COMPLEX_DOUBLE std::complex<double>
NPY_SIZEOF_COMPLEX_LONGDOUBLE std::complex<long double>
NPY_SIZEOF_PY_INTPTR_T void*
NPY_SIZEOF_INTP std::ptrdiff_t
NPY_SIZEOF_UINTP std::size_t
NPY_SIZEOF_WCHAR_T wchar_t
NPY_SIZEOF_OFF_T long
NPY_SIZEOF_PY_LONG_LONG long long
EOF
} >"$check"
"$cxx" -std=c++20 -fsyntax-only -I"$numpy_include" "$check" ||
  { echo "$0: NumPy's headers at $numpy_include do not fit $triplet" >&2; exit 1; }

# The tree's Python headers: Debian's pyconfig.h picks the per-architecture
# one by path (<aarch64-linux-gnu/python3.11/pyconfig.h>), relative to the
# tree's /usr/include, which must not be on the include path (its C library
# headers are the cross compiler's business).  A directory of links gives the
# headers with the aarch64 pyconfig.h in place.
py_include="$build/python$pyver-include"
rm -rf "$py_include"
mkdir -p "$py_include"
for f in "$root/usr/include/python$pyver"/*; do ln -s "$f" "$py_include/"; done
rm -f "$py_include/pyconfig.h"
ln -s "$root/usr/include/$triplet/python$pyver/pyconfig.h" "$py_include/pyconfig.h"

# A cross build (CMAKE_SYSTEM_PROCESSOR aarch64).  FindPython asks the
# emulated interpreter for the extension suffix (policy CMP0190, CMake >=
# 4.1); the headers are given.
toolchain="$build/toolchain.cmake"
cat >"$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_CROSSCOMPILING_EMULATOR $qemu -L "$root")
set(CMAKE_FIND_ROOT_PATH "$root")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
soabi=cpython-${pyver/./}-$triplet
PYTHON="$root/usr/bin/python$pyver" "$here/scripts/devbuild.sh" "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
  -DCMAKE_BUILD_TYPE=Release -DPython_INCLUDE_DIR="$py_include" \
  -DNUMPY_INCLUDE_DIR="$numpy_include" >&2
stage="$build/stage"
for so in "$stage"/groundmotion/_*.so; do
  case $so in
    *."$soabi".so) ;;
    *) echo "$0: $so is not named for $soabi" >&2; exit 1 ;;
  esac
  # ELF machine (offset 18) 183: aarch64.
  [ "$(od -An -t u2 -j 18 -N 2 "$so" | tr -d ' ')" = 183 ] ||
    { echo "$0: $so is not an aarch64 library" >&2; exit 1; }
done

cd "$here"
if (( $# == 0 )); then
  set -- -q -p no:cacheprovider
fi
echo "== pytest $*" >&2
env CXX="$cxx" PYTHONPATH="$stage:$site" PYTHONDONTWRITEBYTECODE=1 \
    OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
  timeout --signal=INT --kill-after=30 "${ARM64_TIMEOUT:-900}" "$emulated" -m pytest "$@" || {
    status=$?
    (( status != 124 )) || echo "$0: the emulated test run took over ${ARM64_TIMEOUT:-900} s" >&2
    exit "$status"
  }
