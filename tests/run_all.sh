#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the engine's GoogleTest
# suite, the Python suite against a freshly installed module, the fuzz
# targets (FUZZ_SECONDS each: 45 under CI, 10 otherwise) and the Python suite
# again against an ASan + UBSan build of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
SECONDS=0

# GoogleTest comes from Debian's libgtest-dev.
if [ ! -e /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi

# Compressed inputs: zlib, libbz2, liblzma and libzstd headers (Debian's -dev packages).
if [ ! -e /usr/include/zstd.h ] || [ ! -e /usr/include/zlib.h ] || [ ! -e /usr/include/bzlib.h ] ||
   [ ! -e /usr/include/lzma.h ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq zlib1g-dev libbz2-dev liblzma-dev libzstd-dev zstd >/dev/null
fi

# The fuzz targets need clang with its libFuzzer runtime (Debian: clang, libclang-rt-N-dev).
fuzzer_runtime() {
  command -v clang++ >/dev/null &&
    [ -e "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a" ]
}
if ! fuzzer_runtime; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq clang >/dev/null
  # The runtime package carries clang's major version (14 on Debian 12).
  $SUDO apt-get install -y -qq "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev" >/dev/null
fi

# The HTML damage report is checked in a real headless browser (Debian: chromium).
if ! command -v chromium >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq chromium >/dev/null
fi

# The package's own dependencies (the command's click and tqdm), the test
# tools, the libraries users bring that the tests hand data to, and an S3
# server (moto's) with the file system that reaches it.
"$PYTHON" -m pip install --quiet --disable-pip-version-check \
  "pytest>=7" "hypothesis>=6" "mypy>=1.8" numpy "scikit-build-core>=0.10" cmake ninja \
  "click>=8.0" "tqdm>=4.60" pyarrow polars pandas duckdb "dask[dataframe,distributed]" \
  fsspec s3fs "moto[server]"

echo "== engine tests (GoogleTest) (at ${SECONDS}s)"
cmake -S . -B build/tests -DBRINEWICK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

echo "== Python tests (at ${SECONDS}s)"
"$PYTHON" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps .
# Run from the tests folder so the installed module is the one imported.
"$PYTHON" -m pytest -q tests/python

echo "== fuzz targets (ASan + UBSan) (at ${SECONDS}s)"
if [ "${CI:-}" = "true" ]; then default_seconds=45; else default_seconds=10; fi
bash fuzz/run_fuzz.sh "${FUZZ_SECONDS:-$default_seconds}"

echo "== Python tests against an ASan + UBSan build (at ${SECONDS}s)"
bash tests/run_sanitized_python.sh

echo "== all passed in ${SECONDS}s"
