#!/usr/bin/env bash
# Builds the fuzz targets with ASan and UBSan and runs each for a bounded time
# (QM_FUZZ_SECONDS, default 30), two at a time (one per core); any crash,
# sanitizer report or broken invariant fails the stage.
set -euo pipefail
source "$(dirname "$0")/env.sh"
source "$QM_ROOT/tools/fuzz-build.sh"
cd "$QM_ROOT"
fuzz_build
seconds="${QM_FUZZ_SECONDS:-30}"
rm -f "$QM_FUZZ_BUILD"/*.status
mkdir -p "$QM_FUZZ_BUILD/findings"

# The package reader, through the installed module (atheris, in Python).
fuzz_package_reader() {
  local work="$QM_ROOT/fuzz/corpus-run/package"
  if ! "$QM_PY" -c "import atheris, quillmark_files" 2>/dev/null; then
    echo "atheris or quillmark_files is missing for $QM_PY (see requirements-test-build.txt)"
    return 1
  fi
  mkdir -p "$work"
  "$QM_PY" "$QM_ROOT/fuzz/package_reader_fuzzer.py" "$work" "$QM_ROOT/fuzz/corpus/package" \
    -max_len=16384 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$QM_FUZZ_BUILD/findings/package_reader-"
}

targets=("${QM_FUZZ_TARGETS[@]}" package_reader)
for target in "${targets[@]}"; do
  (
    if [[ $target == package_reader ]]; then
      fuzz_package_reader >"$QM_FUZZ_BUILD/$target.log" 2>&1
    else
      fuzz_run "$target" "$seconds" >"$QM_FUZZ_BUILD/$target.log" 2>&1
    fi
    echo $? >"$QM_FUZZ_BUILD/$target.status"
  ) &
  while (($(jobs -rp | wc -l) >= ${QM_FUZZ_JOBS:-2})); do wait -n || true; done
done
wait
status=0
for target in "${targets[@]}"; do
  log="$QM_FUZZ_BUILD/$target.log"
  echo "--- fuzzed $target for $seconds s"
  if [[ $(cat "$QM_FUZZ_BUILD/$target.status" 2>/dev/null) == 0 ]]; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  else
    echo "FINDING in $target (input saved under build/fuzz/findings/):"
    tail -40 "$log"
    status=1
  fi
done
exit $status
