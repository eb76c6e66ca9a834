#!/usr/bin/env bash
# One abi3 wheel, audited, then the whole pytest suite under every CPython
# from 3.9 to 3.13 found on the machine, but the main venv's own (3.11 here),
# whose run is the pytest stage's. A missing interpreter is reported;
# a failing run, a wrong wheel tag or an audit finding fails the stage.
set -uo pipefail
source "$(dirname "$0")/env.sh"
cd "$QM_ROOT"

# pip's notes about unused local package indexes only clutter the log.
quiet_pip() { "$@" 2> >(grep -v "^WARNING: Location" >&2); }

versions=(3.9 3.10 3.11 3.12 3.13)
main_version=$("$QM_PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || exit 1
pyenv_root="${QM_PYENV_VERSIONS:-/root/.pyenv/versions}"
work="$QM_ROOT/build/interpreters"
wheel_dir="$work/wheel"
rm -rf "$wheel_dir"
mkdir -p "$wheel_dir"

echo "--- building one abi3 wheel"
quiet_pip "$QM_PY" -m pip wheel -q . -w "$wheel_dir" --no-deps || exit 1
wheels=("$wheel_dir"/quillmark-*.whl)
if ((${#wheels[@]} != 1)) || [[ ! -f ${wheels[0]} ]]; then
  echo "expected exactly one quillmark wheel, found: ${wheels[*]}"
  exit 1
fi
wheel="${wheels[0]}"
echo "wheel: $(basename "$wheel")"
if [[ $(basename "$wheel") != *-cp39-abi3-*.whl ]]; then
  echo "FAIL: the wheel is not tagged cp39-abi3"
  exit 1
fi

echo "--- abi3audit"
quiet_pip "$QM_PY" -m pip install -q abi3audit || exit 1
"$QM_VENV/bin/abi3audit" --strict --summary "$wheel" || {
  echo "FAIL: abi3audit found violations"
  exit 1
}

# The suite runs once per interpreter here; the full-size runs of the
# long property and leak tests belong to the pytest stage.
export QUILLMARK_QUICK=1

# All test requirements at once; when that fails (a package without a build
# for this interpreter), one by one, naming those that could not be installed.
# Tests that need a missing package skip with their own reason.
install_requirements() {
  local python=$1 line unavailable=()
  quiet_pip "$python" -m pip install -q -r requirements-test.txt 2>/dev/null && return 0
  while IFS= read -r line; do
    line="${line%%#*}"
    line="${line//[[:space:]]/}"
    [[ -z $line ]] && continue
    quiet_pip "$python" -m pip install -q "$line" >/dev/null 2>&1 || unavailable+=("$line")
  done <requirements-test.txt
  echo "not installable for CPython $version: ${unavailable[*]:-none}"
}

# One interpreter: its own venv, the requirements, the wheel, the suite.
run_suite() {
  local version=$1 python=$2 venv="$work/venv-$1" started=$SECONDS
  echo "--- CPython $version: $python"
  [[ -x $venv/bin/python ]] || "$python" -m venv "$venv" || return 1
  install_requirements "$venv/bin/python"
  if ! quiet_pip "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"; then
    echo "FAIL: could not install the wheel for CPython $version"
    return 1
  fi
  # Run from outside the source tree so that only the installed wheel is found;
  # each run has its own temporary directory, since runs go on side by side.
  local status=0
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    --basetemp="$work/tmp-$version" "$QM_ROOT/tests") || status=$?
  echo "--- CPython $version took $((SECONDS - started)) s"
  return $status
}

# Suites run side by side, QM_INTERPRETER_JOBS at a time; each writes its
# own log, shown whole once it is done.
jobs_limit="${QM_INTERPRETER_JOBS:-2}"
found=()
missing=()
for version in "${versions[@]}"; do
  if [[ $version == "$main_version" ]]; then
    echo "--- CPython $version: the pytest stage's run"
    continue
  fi
  python=""
  for candidate in "$pyenv_root/$version".*/bin/python"$version"; do
    [[ -x $candidate ]] && python="$candidate"
  done
  if [[ -z $python ]]; then
    missing+=("$version")
    echo "--- CPython $version: MISSING (no $pyenv_root/$version.*)"
    continue
  fi
  found+=("$version")
  rm -f "$work/status-$version"
  (
    run_suite "$version" "$python" >"$work/log-$version.txt" 2>&1
    echo $? >"$work/status-$version"
  ) &
  while (($(jobs -rp | wc -l) >= jobs_limit)); do wait -n || true; done
done
wait

passed=()
failed=()
for version in "${found[@]}"; do
  cat "$work/log-$version.txt"
  if [[ $(cat "$work/status-$version" 2>/dev/null) == 0 ]]; then
    passed+=("$version")
  else
    failed+=("$version")
  fi
done

echo "--- interpreters passed: ${passed[*]:-none}"
echo "--- interpreters failed: ${failed[*]:-none}"
echo "--- interpreters missing: ${missing[*]:-none}"
if ((${#failed[@]})); then exit 1; fi
if ((${#passed[@]} == 0)); then
  echo "FAIL: no interpreter ran the suite"
  exit 1
fi
