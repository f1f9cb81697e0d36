#!/usr/bin/env bash
# Makes the Debian package from a Release build and checks it with Debian's own tools:
# lintian, desktop-file-validate and appstreamcli. Installs what is missing.
# Usage: tools/package-linux.sh [BUILD_DIR]
# BUILD_DIR is build/ by default, the Release build of tools/test.sh; a firmware release's
# package comes from a build configured with -DQZ_PAYLOAD_DIR and -DQZ_SCREENSHOT_URL.
# The .deb and the screenshot its AppStream metadata names go to BUILD_DIR/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
buildDir=$(realpath -m "${1:-build}")

fail()
{
    echo "FAILED: $*" >&2
    exit 1
}

source tools/steps.sh

step "Debian packages"
tools/install-dependencies.sh dpkg-dev binutils lintian desktop-file-utils appstream appstream-compose imagemagick

step "The Release build"
if [ ! -f "$buildDir/CMakeCache.txt" ]; then
    cmake -S . -B "$buildDir" -DCMAKE_BUILD_TYPE=Release
else
    cmake "$buildDir" > /dev/null
fi
buildType=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$buildDir/CMakeCache.txt")
[ "$buildType" = Release ] || fail "$buildDir is a $buildType build; the package is made from a Release build"

# packageName, appId, executableName, version, sampleFirmware, screenshotUrl, executable,
# metadataDir: what the build configured (resources/linux/CMakeLists.txt).
source "$buildDir/linux-package/package.env"

changelog=resources/linux/changelog
[ "$(dpkg-parsechangelog -l "$changelog" -SVersion)" = "$version" ] \
    || fail "$changelog: its first entry is not for version $version (VERSION); add one"
if [ "$sampleFirmware" != ON ] && [[ "$screenshotUrl" == https://corvale.internal/* ]]; then
    fail "a release's metadata must name where its screenshot is published: configure with -DQZ_SCREENSHOT_URL=https://..."
fi
cmake --build "$buildDir" --parallel "$(nproc)" --target CorvaleQzFirmwareUpdater

step "The window tests' screenshot"
# The one the metadata names: the main window with the controller connected.
screenshot=$buildDir/screenshots/2-device-present.png
if [ ! "$screenshot" -nt "$executable" ]; then
    cmake --build "$buildDir" --parallel "$(nproc)" --target qz_gui_tests
    xvfb-run -a "$buildDir/tests/qz_gui_tests" --gtest_filter='WholeApplicationTest.*'
    [ -f "$screenshot" ] || fail "the window tests wrote no $screenshot"
fi

step "Staging $packageName $version"
umask 022
work=$buildDir/package
stage=$work/debian/$packageName
rm -rf "$work"
mkdir -p "$stage/DEBIAN" "$work/debian/opened/DEBIAN"

install -D -m 755 "$executable" "$stage/usr/bin/$executableName"
# As Debian's own packages are: no symbol table, no compiler notes.
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/$executableName"

install -D -m 644 "$metadataDir/$appId.desktop" "$stage/usr/share/applications/$appId.desktop"
install -D -m 644 "$metadataDir/$appId.metainfo.xml" "$stage/usr/share/metainfo/$appId.metainfo.xml"

# The same artwork the Windows icon is made from, at the sizes desktops look for.
for size in 16 22 24 32 48 64 128 256 512; do
    icon=$stage/usr/share/icons/hicolor/${size}x${size}/apps/$appId.png
    mkdir -p "$(dirname "$icon")"
    convert resources/pictures/QZ_DriverUpdater_Icon.png -resize "${size}x${size}" -strip \
        -define png:exclude-chunks=date,time "PNG32:$icon"
    chmod 644 "$icon"
done

mkdir -p "$stage/usr/share/man/man1" "$stage/usr/share/doc/$packageName"
gzip -9n < "$metadataDir/$executableName.1" > "$stage/usr/share/man/man1/$executableName.1.gz"
install -m 644 resources/linux/copyright "$stage/usr/share/doc/$packageName/copyright"
gzip -9n < "$changelog" > "$stage/usr/share/doc/$packageName/changelog.gz"
install -m 755 resources/linux/postrm "$stage/DEBIAN/postrm"
install -D -m 644 resources/linux/lintian-overrides "$stage/usr/share/lintian/overrides/$packageName"

step "Dependencies"
# JUCE opens the X libraries itself (dlopen), so they are not among the executable's
# NEEDED entries; their names are in its text. A stub that links them lets dpkg-shlibdeps
# compute their packages as it does the linked ones'.
exe=$stage/usr/bin/$executableName
mapfile -t needed < <(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u)
mapfile -t opened < <(strings -a "$executable" | grep -E '^lib[A-Za-z0-9_+-]+\.so\.[0-9]+$' | sort -u \
                      | comm -23 - <(printf '%s\n' "${needed[@]}"))
echo "  linked: ${needed[*]}"
echo "  opened at run time: ${opened[*]}"

# Debian names a library's package after its soname (libXext.so.6: libxext6, libX11.so.6:
# libx11-6); dpkg-shlibdeps needs each of them installed here.
libraryPackages=()
for soname in "${opened[@]}"; do
    name=${soname%%.so.*}
    number=${soname##*.so.}
    name=${name,,}
    [[ $name =~ [0-9]$ ]] && libraryPackages+=("$name-$number") || libraryPackages+=("$name$number")
done
tools/install-dependencies.sh "${libraryPackages[@]}"
cc -x c /dev/null -shared -o "$work/debian/opened/opened.so" -Wl,--no-as-needed "${opened[@]/#/-l:}"

cp "$metadataDir/debian/control" "$work/debian/control"
cp "$changelog" "$work/debian/changelog"
# The stub uses no symbol of what it links, by design: only the warning of a symbol found in
# no library is kept for it. Its DEBIAN folder tells dpkg-shlibdeps where its root is.
(cd "$work" && dpkg-shlibdeps -Tdebian/substvars "debian/$packageName/usr/bin/$executableName" &&
               dpkg-shlibdeps -Tdebian/substvars -pdlopen --warnings=1 debian/opened/opened.so)
sed -n 's/^\(shlibs\|dlopen\):Depends=/  \1: /p' "$work/debian/substvars"

step "The package"
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$changelog" -STimestamp)
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$stage" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum > DEBIAN/md5sums)
chmod 644 "$stage/DEBIAN/md5sums"
(cd "$work" && dpkg-gencontrol -p"$packageName" -P"debian/$packageName" -Tdebian/substvars -fdebian/files)

architecture=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=$work/${packageName}_${version}_${architecture}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
cp "$screenshot" "$work/main-window.png"

step "Its marking"
fields=$(dpkg-deb -f "$deb" Package Description)
if [ "$sampleFirmware" = ON ]; then
    [[ $(dpkg-deb -f "$deb" Package) == *-sample ]] || fail "a sample build's package is not named as one"
    grep -q "sample firmware" <<< "$fields" || fail "a sample build's package does not say it carries sample firmware"
    echo "  sample firmware, said in its name and its description"
else
    ! grep -qi "sample" <<< "$fields" || fail "a release build's package speaks of sample firmware"
    echo "  a firmware release: no word of samples"
fi

step "lintian"
# Warnings fail it too: the one that stays is overridden in the package, with its reason.
lintian --pedantic --display-info --fail-on error,warning "$deb" || fail "lintian reports an error or a warning"

step "desktop-file-validate"
report=$(desktop-file-validate "$stage/usr/share/applications/$appId.desktop" 2>&1) || true
[ -z "$report" ] || fail "desktop-file-validate: $report"
echo "  no errors, no warnings"

step "appstreamcli validate-tree"
appstreamcli validate-tree --no-net --explain "$stage"

step "appstreamcli compose"
# As a distribution makes its software catalogue: the component, with the menu entry's icon.
catalogue=$work/catalogue
appstreamcli compose --no-net --origin=check --prefix=/usr --result-root="$catalogue" "$stage" > "$work/compose.log" \
    || fail "appstreamcli compose: $(cat "$work/compose.log")"
icon=$(sed -n 's/^Icon=//p' "$stage/usr/share/applications/$appId.desktop")
for size in 48 64 128; do
    [ -f "$catalogue/usr/share/swcatalog/icons/check/${size}x$size/$icon.png" ] \
        || fail "the catalogue has no ${size}x$size icon \"$icon\" for the menu entry"
done
zcat "$catalogue/usr/share/swcatalog/xml/check.xml.gz" | grep -q "<id>$appId</id>" || fail "the catalogue has no $appId"
echo "  $appId with its icons at 48, 64 and 128 pixels"
rm -rf "$catalogue"

printTimings
echo "== Made"
echo "  $deb ($(du -h "$deb" | cut -f1))"
echo "  $work/main-window.png: to be published at $screenshotUrl"
