#!/usr/bin/env bash
# Builds and installs the module into the test environment, then runs pytest.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$QM_ROOT"
"$QM_PY" -m pip install -q --force-reinstall --no-deps .
"$QM_PY" -m pytest -q tests
