#!/usr/bin/env bash
# The main job on the bundled example data: installs what is missing, builds
# the module, builds a graph from examples/pages and runs example queries.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
ninja -C build vyr_python >/dev/null
PYTHONPATH="$PWD/build/python" /usr/bin/python3 examples/run_example.py "$@"
