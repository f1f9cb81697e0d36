#!/usr/bin/env bash
# Builds the benchmark in Release and runs it: the real update, full and alternative, to the
# emulated device, against the ideal pace and a bare JUCE timer; idle cost; first frame of the
# main window under a virtual X server. Figures go to build/bench-results.json and .txt, the
# interval plot to build/bench-intervals.png. Extra arguments go to the benchmark (--help).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --parallel "$(nproc)" --target qz_bench

exec xvfb-run -a build/bench/qz_bench --out build "$@"
