#!/usr/bin/env bash
# Installs what is missing, builds the updater and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --parallel "$(nproc)" --target CorvaleQzFirmwareUpdater

exec "build/CorvaleQzFirmwareUpdater_artefacts/Release/Corvale QZ Firmware Updater"
