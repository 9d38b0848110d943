#!/usr/bin/env bash
# The Python suite against an AddressSanitizer + UBSan build of the extension.
#
# Builds _brinewick_backend with BRINEWICK_SANITIZE (g++), installs it with its
# stubs into build/sanitize-python/site (ahead of any installed copy on
# PYTHONPATH) and runs pytest with the matching libasan preloaded: the
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
cmake --build "$build" -j2 --target _brinewick_backend
rm -rf "$build/site"
cmake --install "$build" --prefix "$build/site" >/dev/null

libasan=$("$CXX" -print-file-name=libasan.so)
if [ ! -e "$libasan" ]; then
  echo "no libasan.so for $CXX" >&2
  exit 1
fi
export BRINEWICK_UNDER_ASAN=1
export PYTHONPATH="$PWD/$build/site${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The module imported must be the sanitized one.
LD_PRELOAD="$libasan" "$PYTHON" -c "import _brinewick_backend as m, sys; sys.exit(0 if m.__file__.startswith('$PWD/$build/site') else 'imported ' + m.__file__)"
LD_PRELOAD="$libasan" "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@"
