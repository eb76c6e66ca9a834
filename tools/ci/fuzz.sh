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
for target in "${QM_FUZZ_TARGETS[@]}"; do
  (
    fuzz_run "$target" "$seconds" >"$QM_FUZZ_BUILD/$target.log" 2>&1
    echo $? >"$QM_FUZZ_BUILD/$target.status"
  ) &
  while (($(jobs -rp | wc -l) >= ${QM_FUZZ_JOBS:-2})); do wait -n || true; done
done
wait
status=0
for target in "${QM_FUZZ_TARGETS[@]}"; do
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
