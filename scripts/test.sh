#!/usr/bin/env bash
# Every test: installs what is missing, builds, runs the C++ tests (plain and
# under ASan+UBSan) through ctest and the Python tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

PY=/usr/bin/python3
JOBS=$(nproc)

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$PY >/dev/null
ninja -C build -j"$JOBS"

echo "== C++ tests"
ctest --test-dir build --output-on-failure -j"$JOBS"

echo "== Python tests"
PYTHONPATH="$PWD/build/python" $PY -m pytest -q tests/python

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYR_SANITIZE=ON \
  -DVYR_PYTHON=OFF -DVYR_BENCH=OFF -DPython3_EXECUTABLE=$PY >/dev/null
ninja -C build-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$JOBS"
