#!/usr/bin/env bash
# Builds the benchmark in Release and runs it: the real update to the emulated device at the
# pace and to a slow device, quiet and under a competing load, against the ideal and a bare
# JUCE timer; device listings; CPU; idle cost; memory. Figures go to build/bench-results.json
# and .txt. Extra arguments go to the benchmark: --quick for a short run, --help.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --parallel "$(nproc)" --target qz_bench

exec build/bench/qz_bench --out build "$@"
