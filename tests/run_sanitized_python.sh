#!/usr/bin/env bash
# The Python suite against an AddressSanitizer + UBSan build of the extension.
#
# Builds _brinewick_backend and the package's brinewick._native with
# BRINEWICK_SANITIZE (g++), installs them, the backend's stubs and the
# package's Python files into build/sanitize-python/site (ahead of any
# installed copy on PYTHONPATH) and runs pytest with the matching libasan preloaded: the
# interpreter itself is not instrumented, so the runtime must come first.
# Leak reports are off (CPython keeps much of its memory until exit); any
# ASan or UBSan report ends the run with a failure. Tests that cannot work
# under ASan skip themselves when BRINEWICK_UNDER_ASAN is set.
#
#   PYTHON=path/to/python bash tests/run_sanitized_python.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
CXX=${CXX:-g++}
build=build/sanitize-python

cmake -S . -B "$build" -DBRINEWICK_BUILD_MODULE=ON -DBRINEWICK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$build" -j2
rm -rf "$build/site"
cmake --install "$build" --prefix "$build/site" >/dev/null
# The package's pure-Python part next to its sanitized native module.
cp -R python/brinewick/. "$build/site/brinewick/"

libasan=$("$CXX" -print-file-name=libasan.so)
if [ ! -e "$libasan" ]; then
  echo "no libasan.so for $CXX" >&2
  exit 1
fi
export BRINEWICK_UNDER_ASAN=1
export PYTHONPATH="$PWD/$build/site${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The modules imported must be the sanitized ones.
LD_PRELOAD="$libasan" "$PYTHON" -c "
import sys, _brinewick_backend, brinewick._native
for m in (_brinewick_backend, brinewick._native):
    if not m.__file__.startswith('$PWD/$build/site'):
        sys.exit('imported ' + m.__file__)
"
LD_PRELOAD="$libasan" "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@"
