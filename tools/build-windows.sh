#!/usr/bin/env bash
# Cross-builds the Windows executable with MinGW-w64 and proves it under Wine: reads its
# version information, icon and manifest back, opens its window, reads the window's changes
# back from the screen, and runs the test suite built for Windows. Installs what is missing;
# everything it makes stays in build-windows/.
# The .exe: build-windows/product/CorvaleQzFirmwareUpdater_artefacts/Release/Corvale QZ Firmware Updater.exe
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-windows
prefix=$out/deps/prefix
toolchain=$root/cmake/MingwToolchain.cmake
jobs=$(nproc)

export WINEPREFIX=$out/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

source tools/steps.sh

# apt-get source needs a source entry; it is made from the machine's own Debian entry with
# its type changed, so it names the archive the machine already uses.
addSourceEntry()
{
    local entry
    for entry in /etc/apt/sources.list.d/*.sources; do
        [ -f "$entry" ] && [ "$(basename "$entry")" != qz-deb-src.sources ] || continue
        { sed -n '/^Types:.*\bdeb\b/,/^$/p' "$entry" | sed 's/^Types:.*/Types: deb-src/'; echo; } \
            | "${asRoot[@]}" tee -a /etc/apt/sources.list.d/qz-deb-src.sources >/dev/null
    done
    if [ -f /etc/apt/sources.list ]; then
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
            | "${asRoot[@]}" tee /etc/apt/sources.list.d/qz-deb-src.list >/dev/null || true
    fi
}

# The newest source version that the archive can hand out: a security update's source can
# be listed before it can be fetched.
fetchSource()
{
    local version
    for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -rV | uniq); do
        (cd "$sources" && apt-get source -qq "$1=$version" >/dev/null 2>&1) && return 0
        echo "$1 $version: the source could not be fetched, trying an older one"
    done
    echo "No source of $1 could be fetched" >&2
    return 1
}

asRoot=()
[ "$(id -u)" -ne 0 ] && asRoot=(sudo)

step "Debian packages"
packages=(
    cmake dpkg-dev
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    juce-modules-source libgtest-dev
    wine wine64 xvfb xauth x11-apps xdotool imagemagick
    python3 python3-pefile icoutils)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${asRoot[@]}" apt-get update -qq
    "${asRoot[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

step "Debian sources of libpng and libjpeg-turbo"
sources=$out/deps/src
mkdir -p "$sources"
if ! ls -d "$sources"/libpng1.6-*/ "$sources"/libjpeg-turbo-*/ >/dev/null 2>&1; then
    if ! apt-get source --print-uris libpng1.6 >/dev/null 2>&1; then
        # The machine's own Debian entry, as a source entry: the same archive, nothing new.
        addSourceEntry
        "${asRoot[@]}" apt-get update -qq
    fi
    fetchSource libpng1.6
    fetchSource libjpeg-turbo
fi
pngSource=$(ls -d "$sources"/libpng1.6-*/ | head -1)
jpegSource=$(ls -d "$sources"/libjpeg-turbo-*/ | head -1)

crossConfigure=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQZ_WINDOWS_PREFIX="$prefix"
                -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix")
if command -v ccache >/dev/null; then
    crossConfigure+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
mingwLib=/usr/x86_64-w64-mingw32/lib
staticZlib=(-DZLIB_LIBRARY="$mingwLib/libz.a" -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include)

step "libpng, libjpeg-turbo and GoogleTest for Windows"
if [ ! -f "$prefix/.complete" ]; then
    cmake -S "$pngSource" -B "$out/deps/png" "${crossConfigure[@]}" "${staticZlib[@]}" \
        -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DSKIP_INSTALL_PROGRAMS=ON > "$out/deps/png.log"
    cmake --build "$out/deps/png" --parallel "$jobs" --target install > "$out/deps/png-build.log"

    cmake -S "$jpegSource" -B "$out/deps/jpeg" "${crossConfigure[@]}" \
        -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF > "$out/deps/jpeg.log"
    cmake --build "$out/deps/jpeg" --parallel "$jobs" --target install > "$out/deps/jpeg-build.log"
    # JUCE's loader reaches into the decoder's internals.
    cp "$jpegSource/jpegint.h" "$prefix/include/"

    cmake -S /usr/src/googletest -B "$out/deps/gtest" "${crossConfigure[@]}" -DBUILD_GMOCK=OFF > "$out/deps/gtest.log"
    cmake --build "$out/deps/gtest" --parallel "$jobs" --target install > "$out/deps/gtest-build.log"
    touch "$prefix/.complete"
fi

step "The updater and its tests for Windows"
juceDir=$(dirname "$(dpkg -L juce-modules-source | grep -m1 '/JUCEConfig.cmake$')")
cmake -S . -B "$out/product" "${crossConfigure[@]}" "${staticZlib[@]}" -DJUCE_DIR="$juceDir" > "$out/product.log"
cmake --build "$out/product" --parallel "$jobs" --target CorvaleQzFirmwareUpdater qz_tests qz_long_tests qz_payload_tests qz_screen_tests qz_window_probe \
    qz_release_version_probe
exe="$out/product/CorvaleQzFirmwareUpdater_artefacts/Release/Corvale QZ Firmware Updater.exe"

step "Version information, icon and manifest"
# Debian's own Python, which python3-pefile serves.
/usr/bin/python3 tools/windows/check-executable.py "$exe" --sample
# What a build given a firmware release carries instead, read from a program of its own.
/usr/bin/python3 tools/windows/check-executable.py "$out/product/tools/windows/qz_release_version_probe.exe" --release --version-information-only

step "The window under Wine"
xvfb-run -a -s "-screen 0 1024x768x24" tools/windows/check-window.sh "$exe" \
    "$out/product/tools/windows/qz_window_probe.exe" "$out/screenshots"

step "The window's changes on the screen under Wine"
# A display of its own with nothing else on it: a window opened over the main one would have
# it painted again when it closed. Wine's desktop comes up before the first test opens a window.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c 'wineboot --init >/dev/null 2>&1 && wineserver -w &&
    cd "$1" && ctest -L screen --output-on-failure --no-tests=error' _ "$out/product"
grep -h "^plugged in\|^unplugged\|^update\|^instruction box\|^SKIPPED:" "$out/product/Testing/Temporary/LastTest.log" | sed 's/^/  /' || true

step "The test suite under Wine"
# The suite's check of the product's own Wine detection expects Wine only when told so. One
# Wine server stays up for the whole suite: tests started in parallel would otherwise meet a
# server that is on its way out, and such a test fails before it has run a line.
(cd "$out/product" && QZ_EXPECT_WINE=1 xvfb-run -a bash -c 'wineserver -p && wineboot --init >/dev/null 2>&1 &&
    ctest -LE "gui|long|screen" --output-on-failure --no-tests=error --parallel "$1"; status=$?; wineserver -k; exit $status' _ "$jobs")

printTimings
