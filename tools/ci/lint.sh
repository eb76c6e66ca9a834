#!/usr/bin/env bash
# Style: ruff for the Python code, clang-format for the C++ code.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$QM_ROOT"
# Pinned so that a new release cannot fail an unchanged tree.
"$QM_PY" -m pip install -q "ruff==0.17.6"
"$QM_VENV/bin/ruff" check .
"$QM_VENV/bin/ruff" format --check .
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
# The Python layer for files is typed; the module's stubs come from the tree.
MYPYPATH="$QM_ROOT/src/python" "$QM_PY" -m mypy --strict --no-incremental python/quillmark_files
