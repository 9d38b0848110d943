#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the engine's GoogleTest
# suite and the Python suite against a freshly installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

# GoogleTest comes from Debian's libgtest-dev.
if [ ! -e /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi

"$PYTHON" -m pip install --quiet --disable-pip-version-check \
  "pytest>=7" "hypothesis>=6" "mypy>=1.8" numpy "scikit-build-core>=0.10" cmake ninja

echo "== engine tests (GoogleTest)"
cmake -S . -B build/tests -DBRINEWICK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

echo "== Python tests"
"$PYTHON" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps .
# Run from the tests folder so the installed module is the one imported.
"$PYTHON" -m pytest -q tests/python
