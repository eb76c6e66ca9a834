#!/usr/bin/env bash
# System packages, a virtual environment and the Python test dependencies.
set -euo pipefail
source "$(dirname "$0")/env.sh"

apt_packages=(clang clang-format libclang-rt-dev libgtest-dev cmake g++ binutils)
# Java for Spark in local mode (the Spark job's test).
apt_packages+=(openjdk-17-jre-headless)
# File systems that share blocks between files, made on loop images by the
# tests of appended outputs (tests/test_output_on_disk.py).
apt_packages+=(xfsprogs btrfs-progs)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if [[ $(id -u) == 0 ]]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The gzip libraries the pass over .warc.gz files is built with, as the
# README's install command gets them.
bash "$QM_ROOT/tools/gzip-libraries"

[[ -x $QM_PY ]] || "$QM_PYTHON_BASE" -m venv "$QM_VENV"
"$QM_PY" -m pip install -q --upgrade pip
"$QM_PY" -m pip install -q -r "$QM_ROOT/requirements-test.txt"
"$QM_PY" -m pip install -q -r "$QM_ROOT/requirements-test-build.txt"
"$QM_PY" -m pip install -q -r "$QM_ROOT/requirements-test-main.txt"
