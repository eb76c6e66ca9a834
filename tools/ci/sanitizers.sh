#!/usr/bin/env bash
# The C++ tests and the whole pytest suite against a build with AddressSanitizer
# and UndefinedBehaviorSanitizer. The module is loaded into an ordinary CPython
# with the sanitizer runtimes preloaded; every report of any process, child
# processes of the tests included, is written under the reports directory, and
# a single report fails the stage.
#
# Tests that cannot run under the sanitizers check QUILLMARK_SANITIZED=1;
# QUILLMARK_QUICK=1 trims their repetition counts.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$QM_ROOT"

build="$QM_ROOT/build/sanitize"
venv="${QM_ASAN_VENV:-$QM_ROOT/.venv-asan}"
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"

# Runtimes of the compiler that builds the module (gcc's, as the default c++).
libasan=$(c++ -print-file-name=libasan.so)
libubsan=$(c++ -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
  [[ -f $lib ]] || { echo "sanitizer runtime not found: $lib" >&2; exit 1; }
done

# The interpreter leaks by design at exit, so leak checking stays off for the
# pytest run; the C++ tests (the allocation-failure tests among them) and the
# fuzz targets check the core for leaks.
asan_options="detect_leaks=0:halt_on_error=1:abort_on_error=0:strict_string_checks=1"
asan_options+=":detect_stack_use_after_return=1:check_initialization_order=1"
asan_options+=":log_path=$reports/asan"
ubsan_options="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

echo "--- C++ tests"
cmake -S . -B "$build/ctest" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQUILLMARK_BUILD_MODULE=OFF -DQUILLMARK_BUILD_TESTS=ON \
  -DQUILLMARK_SANITIZE=address,undefined >/dev/null
cmake --build "$build/ctest"
ctest_status=0
ASAN_OPTIONS="${asan_options/detect_leaks=0/detect_leaks=1}" UBSAN_OPTIONS="$ubsan_options" \
  ctest --test-dir "$build/ctest" --output-on-failure -j2 || ctest_status=$?

echo "--- the pass over files under ThreadSanitizer"
# The parallel pass runs parts of a file on threads of its own, and a range
# digest follows its caller on a thread of its own (the digests of a pass's
# input, and of an append's output); their tests and those of the single pass
# run under TSan too.
cmake -S . -B "$build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMARK_BUILD_MODULE=OFF -DQUILLMARK_BUILD_TESTS=ON -DQUILLMARK_SANITIZE=thread >/dev/null
cmake --build "$build/tsan" --target quillmark_pass_tests
tsan_status=0
TSAN_OPTIONS="halt_on_error=1:log_path=$reports/tsan" \
  "$build/tsan/tests/cpp/quillmark_pass_tests" --gtest_brief=1 || tsan_status=$?

echo "--- module built with the sanitizers"
[[ -x $venv/bin/python ]] || "$QM_PYTHON_BASE" -m venv "$venv"
"$venv/bin/python" -m pip install -q -r requirements-test.txt
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps . \
  -C cmake.define.QUILLMARK_SANITIZE=address,undefined \
  -C cmake.build-type=RelWithDebInfo -C build-dir="$build/module"

echo "--- the sanitizers are live"
# A stage that cannot see a report proves nothing: the module must call into
# both runtimes, and a deliberate overflow must leave a report behind.
module=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("quillmark").origin)')
hooks=$(nm -D --undefined-only "$module")
grep -q __asan_report <<<"$hooks" || { echo "module lacks ASan instrumentation" >&2; exit 1; }
grep -q __ubsan_handle <<<"$hooks" || { echo "module lacks UBSan instrumentation" >&2; exit 1; }
canary="$build/canary"
rm -rf "$canary"
mkdir -p "$canary"
LD_PRELOAD="$libasan:$libubsan" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:log_path=$canary/asan" "$venv/bin/python" -c '
import ctypes
small, large = ctypes.create_string_buffer(64), ctypes.create_string_buffer(128)
ctypes.memmove(large, small, 65)' 2>/dev/null && true
if ! grep -qs heap-buffer-overflow "$canary"/asan.*; then
  echo "a deliberate overflow went unreported: the sanitizer setup is broken" >&2
  exit 1
fi

echo "--- pytest with the sanitizer runtimes preloaded"
pytest_status=0
# PYTHONMALLOC=malloc hands every Python allocation to ASan, so a read past
# the end of a bytes object is caught and not hidden inside a pymalloc arena.
# The quick mode trims repetition counts (leak loops, generated archives): every
# code path still runs, and the plain pytest stage keeps the full counts.
LD_PRELOAD="$libasan:$libubsan" PYTHONMALLOC=malloc QUILLMARK_SANITIZED=1 QUILLMARK_QUICK=1 \
  ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --durations=10 tests || pytest_status=$?

shopt -s nullglob
found=("$reports"/*)
if ((${#found[@]})); then
  echo "sanitizer reports:"
  for report in "${found[@]}"; do
    echo "=== $report"
    head -60 "$report"
  done
fi
echo "ctest: $ctest_status, tsan: $tsan_status, pytest: $pytest_status, reports: ${#found[@]}"
((ctest_status == 0 && tsan_status == 0 && pytest_status == 0 && ${#found[@]} == 0))
