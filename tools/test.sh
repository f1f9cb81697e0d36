#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, the ones that need a
# display under a virtual X server with a window manager.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --parallel "$(nproc)"

cd build
xvfb-run -a ../tools/with-window-manager.sh ctest --output-on-failure --no-tests=error

# CTest names a skipped test but not why: the reason each one gave. And the simulation's
# summary, failed or not.
grep -h "^SKIPPED:" Testing/Temporary/LastTest.log || true
grep -h "^simulation:" Testing/Temporary/LastTest.log || true
