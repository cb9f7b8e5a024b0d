#!/usr/bin/env bash
# Runs scripts/core_smoke.py (every function of groundmotion._core on its
# success and error paths) under valgrind's memcheck, against a Release build
# with debug information, and fails on any memory error or on any block lost
# by groundmotion's own code.
#   scripts/test-valgrind.sh
# Environment:
#   PYTHON        interpreter with NumPy 2 (default python3)
#   BUILD_DIR     build directory (default build/valgrind)
#   SMOKE_REPEAT  rounds of the smoke script (default 2: a leak per call shows twice)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# The real interpreter, not a wrapper script (pyenv shims): the checkers must
# see the interpreter process itself, and nothing else.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
build=${BUILD_DIR:-"$here/build/valgrind"}

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

# Optimised as shipped; -g only adds symbols and line numbers to the reports.
PYTHON=$python "$here/scripts/devbuild.sh" "$build" \
  -DCMAKE_BUILD_TYPE=Release -DGM_SANITIZE=OFF -DCMAKE_CXX_FLAGS=-g >&2

log="$build/memcheck.log"
status=0
# PYTHONMALLOC=malloc sends every Python object through the checked malloc.
env PYTHONPATH="$build/stage" PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
    OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
  valgrind --tool=memcheck --error-exitcode=99 \
    --suppressions="$here/scripts/valgrind-python.supp" \
    --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=none \
    --num-callers=40 --fullpath-after= --log-file="$log" \
  "$python" "$here/scripts/core_smoke.py" --repeat "${SMOKE_REPEAT:-2}" || status=$?

if [ "$status" -eq 99 ]; then
  echo "memcheck found errors (full report in $log):" >&2
  sed -n '/Parent PID/,/HEAP SUMMARY/p' "$log" | head -n 400 >&2
fi
if [ "$status" -ne 0 ]; then
  exit "$status"
fi

# The interpreter and NumPy lose a few blocks of their own at exit; only a
# block whose allocation passed through groundmotion's code counts.
ours="$(printf '%s' "$here" | sed 's/[][\.*^$+?(){}|]/\\&/g')/(src|module)/|/_core\.[^/ ]*\.so"
if ! awk -v pat="$ours" '
      /are (definitely|indirectly) lost in loss record/ { inrec = 1; rec = "" }
      inrec { rec = rec $0 "\n" }
      inrec && /^==[0-9]+== *$/ { inrec = 0; if (rec ~ pat) { printf "%s", rec; n++ } }
      END { exit n > 0 }' "$log" >&2; then
  echo "memcheck: blocks lost by groundmotion's code (above); full report in $log" >&2
  exit 1
fi
grep -E 'ERROR SUMMARY|definitely lost:|indirectly lost:' "$log" | sed 's/^==[0-9]*== */memcheck: /'
echo "memcheck: clean (no errors, no block lost by groundmotion's code)"
