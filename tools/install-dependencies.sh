#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and any named on the command
# line, skipping those already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    juce-modules-source libasound2-dev
    libgtest-dev
    xvfb xauth fonts-dejavu-core
    openbox libxtst-dev
    stress-ng   # the benchmark's competing load
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

[ ${#missing[@]} -eq 0 ] && exit 0

asRoot=()
[ "$(id -u)" -ne 0 ] && asRoot=(sudo)

echo "Installing: ${missing[*]}"
"${asRoot[@]}" apt-get update -qq
"${asRoot[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
