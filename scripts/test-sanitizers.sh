#!/usr/bin/env bash
# Builds groundmotion._core with AddressSanitizer and UndefinedBehaviorSanitizer
# (-DGM_SANITIZE=ON: every report is fatal) and runs, with an ordinary,
# uninstrumented interpreter:
#   1. the whole test suite, leak detection off (the interpreter and NumPy
#      keep memory at exit by design);
#   2. scripts/core_smoke.py, repeated, with leak detection on; a leak counts
#      when its allocation passed through groundmotion's own code.
# Any sanitizer error, in this process or a child, fails the run.
#   scripts/test-sanitizers.sh [pytest args...]   (default: -x -q -p no:cacheprovider)
# Environment:
#   PYTHON        interpreter with NumPy 2 and the test requirements (default python3)
#   BUILD_DIR     build directory (default build/sanitize)
#   SMOKE_REPEAT  rounds of the smoke script in the leak run (default 20)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# The real interpreter, not a wrapper script (pyenv shims): the checkers must
# see the interpreter process itself, and nothing else.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
build=${BUILD_DIR:-"$here/build/sanitize"}

# The sanitizer's operator new ends the process where the real one throws
# std::bad_alloc; _core gets replacements that throw (see the file).  Memory
# then crosses between them and libstdc++'s own code (std::string), so the
# new/delete pairing check is off here; valgrind's run still makes it.
mkdir -p "$build"
"${CXX:-g++}" -std=c++20 -O2 -fPIC -g -c "$here/scripts/sanitizer_new.cpp" -o "$build/sanitizer_new.o"
PYTHON=$python "$here/scripts/devbuild.sh" "$build" -DGM_SANITIZE=ON \
  -DCMAKE_MODULE_LINKER_FLAGS="$build/sanitizer_new.o" >&2
so=$(echo "$build"/stage/groundmotion/_core*.so)
if nm -D "$so" | grep -q -E ' _Zn[wa]m$'; then
  echo "$so still takes operator new from elsewhere" >&2
  exit 1
fi

# The interpreter is not instrumented, so the sanitizer runtime must be
# loaded before anything else; libstdc++ too, so that the runtime's hooks
# on C++ exceptions find it at start-up (the kernels throw).
preload=""
for lib in libasan libstdc++; do
  path=$(ldd "$so" | awk -v lib="$lib" 'index($1, lib ".so") == 1 { print $3 }')
  [ -n "$path" ] || { echo "$so does not link $lib" >&2; exit 1; }
  preload="$preload${preload:+:}$path"
done

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# ASan's reports go to files (one per process), so that none is lost in a
# child process or in captured output.  allocator_may_return_null: an
# impossible allocation must reach the code as std::bad_alloc (MemoryError),
# as it does without the sanitizer.  A 16 MB quarantine of freed blocks
# (default 256 MB) still catches a use after free within a call, and keeps the
# resident-memory checks of the tests about the code, not the quarantine.
# UBSan writes to standard error only.
common="halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:alloc_dealloc_mismatch=0"
common="$common:quarantine_size_mb=16"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONDONTWRITEBYTECODE=1
memory_errors='ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:'
errors="$memory_errors|ERROR: LeakSanitizer"

# Shows the error reports in $reports (not the warnings, such as the one for
# an allocation refused on purpose); fails if there is none.
show_errors() {
  local found=1 f
  for f in "$reports"/*; do
    [ -e "$f" ] && grep -q -E "$errors" "$f" || continue
    found=0
    echo "---- $f" >&2
    head -n 200 "$f" >&2
  done
  return $found
}

status=0
cd "$here"
(( $# )) || set -- -x -q -p no:cacheprovider
echo "== test suite under ASan+UBSan" >&2
# --capture=sys leaves file descriptor 2 alone: a fatal UBSan report is
# written there and would vanish with pytest's captured output.
env LD_PRELOAD="$preload" PYTHONPATH="$build/stage" GM_SANITIZED=1 \
    ASAN_OPTIONS="$common:detect_leaks=0:log_path=$reports/asan" \
  "$python" -m pytest --capture=sys "$@" || status=$?
if show_errors; then
  echo "sanitizer reports during the test suite (above)" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"

echo "== leak check of core_smoke.py" >&2
rm -rf "$reports"/*
# PYTHONMALLOC=malloc: every Python object gets its own block, so that one
# leaked by _core (a reference too many) is found and traced to its caller.
# The exit status is the leak checker's when it finds any leak (the
# interpreter's included), so the script's own verdict is read from its output.
env LD_PRELOAD="$preload" PYTHONPATH="$build/stage" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$common:detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path=$reports/lsan" \
  "$python" scripts/core_smoke.py --repeat "${SMOKE_REPEAT:-20}" | tee "$build/smoke.out" || true
ours="$(printf '%s' "$here" | sed 's/[][\.*^$+?(){}|]/\\&/g')/(src|module)/|/_core\.[^/ ]*\.so"
failed=0
for f in "$reports"/*; do
  [ -e "$f" ] || continue
  if grep -q -E "$memory_errors" "$f"; then
    failed=1
    echo "---- $f" >&2
    head -n 200 "$f" >&2
  fi
  # Of the leaks, only those whose allocation passed through groundmotion's
  # code count.
  if ! awk -v pat="$ours" 'BEGIN { RS = "" }
        /(Direct|Indirect) leak of/ && $0 ~ pat { print; print ""; n++ }
        END { exit n > 0 }' "$f" >&2; then
    failed=1
    echo "---- leaks of groundmotion's code (above), from $f" >&2
  fi
done
if ! grep -q -E '^core_smoke: .*, 0 failure\(s\)$' "$build/smoke.out"; then
  echo "core_smoke.py failed" >&2
  failed=1
fi
(( failed == 0 )) || exit 1
echo "sanitizers: clean (test suite and leak check)"
