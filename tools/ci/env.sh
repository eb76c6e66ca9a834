# Shared settings for the test stages; sourced, not run.
QM_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
QM_VENV="${QM_VENV:-$QM_ROOT/.venv}"
QM_PYTHON_BASE="${QM_PYTHON_BASE:-python3}"
QM_PY="$QM_VENV/bin/python"
export PIP_DISABLE_PIP_VERSION_CHECK=1
# cmake and ninja come from requirements-test-build.txt, installed in the venv.
export PATH="$QM_VENV/bin:$PATH"
