# Builds the libFuzzer targets into build/fuzz (or $QM_FUZZ_BUILD); sourced by
# tools/ci/fuzz.sh and tools/fuzz-long after tools/ci/env.sh.
QM_FUZZ_BUILD="${QM_FUZZ_BUILD:-$QM_ROOT/build/fuzz}"
QM_FUZZ_TARGETS=(parse_records find_manifest append_manifest build_record stream_framer file_scan
  datapackage_text)

fuzz_build() {
  CC=clang CXX=clang++ cmake -S "$QM_ROOT" -B "$QM_FUZZ_BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_BUILD_MODULE=OFF \
    -DQUILLMARK_BUILD_FUZZERS=ON -DQUILLMARK_SANITIZE=address,undefined >/dev/null
  cmake --build "$QM_FUZZ_BUILD"
}

# fuzz_run TARGET SECONDS [extra libFuzzer flags...]: fuzzes one target from
# its committed seeds plus a scratch corpus (fuzz/corpus-run/, not committed),
# writes any crashing input to build/fuzz/findings/ and fails on any finding.
# The dictionary is the WARC one, but for the JSON texts.
fuzz_run() {
  local target=$1 seconds=$2
  shift 2
  local work="$QM_ROOT/fuzz/corpus-run/$target" findings="$QM_FUZZ_BUILD/findings"
  local dict="$QM_ROOT/fuzz/warc.dict"
  if [[ $target == datapackage_text ]]; then dict="$QM_ROOT/fuzz/json.dict"; fi
  mkdir -p "$work" "$findings"
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}" \
    "$QM_FUZZ_BUILD/fuzz/${target}_fuzzer" "$work" "$QM_ROOT/fuzz/corpus/$target" \
    -dict="$dict" -max_len=16384 -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "$@"
}
