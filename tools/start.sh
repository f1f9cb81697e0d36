#!/usr/bin/env bash
# Installs what is missing, builds the demo and opens it: the updater against the emulated
# QZ on the virtual MIDI system, with the device simulator window beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --parallel "$(nproc)" --target qz_demo

exec "build/qz_demo_artefacts/Release/Corvale QZ Firmware Updater Demo"
