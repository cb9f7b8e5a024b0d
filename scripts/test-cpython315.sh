#!/usr/bin/env bash
# Builds groundmotion._core against CPython 3.15 and runs the test suite with
# it, so that the PyModExport__core entry point and the Py_mod_gil slot are
# used for real.  The interpreter, NumPy and the compilers come from a Debian
# sid tree, made with debootstrap on first use and reused after that; the
# source tree is bind-mounted into it (in a private mount namespace, so that
# nothing stays mounted when the script ends).  Needs root.
#   scripts/test-cpython315.sh [pytest args...]   (default: -x -q -p no:cacheprovider)
# Environment:
#   SID_ROOT       the sid tree (default .cache/sid in the source tree)
#   DEBIAN_MIRROR  archive for debootstrap (default: the one of this machine's
#                  apt sources, see scripts/debian-mirror.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=python3.15
inside=/mnt/groundmotion   # where the source tree appears inside the sid tree

if [ "${1:-}" = "--inside-sid" ]; then
  # Second half: runs inside the sid tree, as $inside/scripts/test-cpython315.sh.
  shift
  build=/var/tmp/groundmotion-build
  rm -rf "$build"
  PYTHON=$python "$inside/scripts/devbuild.sh" "$build" >&2
  so=$(echo "$build"/stage/groundmotion/_core*.so)
  echo "== $("$python" --version), $so" >&2
  exported=$(nm -D --defined-only "$so" | awk '{ print $3 }')
  for symbol in PyModExport__core PyInit__core; do
    grep -qx "$symbol" <<<"$exported" || { echo "$so does not export $symbol" >&2; exit 1; }
  done
  echo "exports PyModExport__core and PyInit__core" >&2
  cd "$inside"
  PYTHONPATH="$build/stage" "$python" scripts/check_entry_points.py
  (( $# )) || set -- -x -q -p no:cacheprovider
  PYTHONPATH="$build/stage" exec "$python" -m pytest "$@"
fi

[ "$(id -u)" -eq 0 ] || { echo "$0 needs root (debootstrap, chroot, mount)" >&2; exit 1; }
root=${SID_ROOT:-"$here/.cache/sid"}
# sid's Release file may already be past its Valid-Until date.
apt_options=(-o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false)
packages=(python3.15 python3.15-dev python3-numpy python3-numpy-dev python3-pytest
          python3-hypothesis python3-scipy python3-mpmath g++ cmake ninja-build binutils)

in_sid() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# Making and updating the tree is noisy: its output goes to a log, shown
# only when a step fails.
setup_log=$(mktemp)
trap 'rm -f "$setup_log"' EXIT
quietly() {
  "$@" >>"$setup_log" 2>&1 || { echo "failed: $*" >&2; tail -n 60 "$setup_log" >&2; return 1; }
}

if [ ! -x "$root/usr/bin/apt-get" ]; then
  command -v debootstrap >/dev/null || { echo "debootstrap is not installed" >&2; exit 1; }
  mirror=$("$here/scripts/debian-mirror.sh")
  echo "== debootstrap sid into $root" >&2
  rm -rf "$root.partial"
  mkdir -p "$(dirname "$root")"
  quietly debootstrap --variant=minbase sid "$root.partial" "$mirror"
  mv "$root.partial" "$root"
fi
printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' \
  >"$root/etc/apt/apt.conf.d/99groundmotion"

missing=()
for package in "${packages[@]}"; do
  status=$(in_sid dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
if (( ${#missing[@]} )); then
  echo "== installing into the sid tree: ${missing[*]}" >&2
  rm -f "$root/etc/resolv.conf"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  quietly in_sid dpkg --configure -a   # finishes an install that was interrupted
  quietly in_sid apt-get "${apt_options[@]}" update
  quietly in_sid apt-get "${apt_options[@]}" -y --no-install-recommends install "${missing[@]}"
  quietly in_sid apt-get clean
fi

# The tests' own settings (GM_*, HYPOTHESIS_*) pass into the tree; nothing
# else of this environment does.
settings=()
for name in $(compgen -e); do
  case $name in GM_* | HYPOTHESIS_*) settings+=("$name=${!name}") ;; esac
done
# /proc for the interpreter and the compilers; the source tree, read-write
# (the test suite keeps its example database there).
unshare --mount --propagation private -- /bin/bash -euo pipefail -c '
  root=$1 src=$2 inside=$3
  shift 3
  mount -t proc proc "$root/proc"
  mkdir -p "$root$inside"
  mount --bind "$src" "$root$inside"
  exec chroot "$root" "$@"
' _ "$root" "$here" "$inside" \
  /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  PYTHONDONTWRITEBYTECODE=1 "${settings[@]}" \
  /bin/bash "$inside/scripts/test-cpython315.sh" --inside-sid "$@"
