#!/usr/bin/env bash
# Configures the project twice, without a firmware release's folder and with one, and reads
# the Debian package's metadata each configuration writes: a sample build's package must say
# it carries sample firmware in its name, its description, its menu entry, its AppStream
# metadata and its manual page; a release build's must say it nowhere. Configuring is enough,
# as nothing is built: the release folder holds five empty files under the payloads' names.
# Usage: PackageMetadataFollowsTheFirmware.sh SOURCE_DIR WORK_DIR
set -u
source=$1
work=$2
failures=0

fail()
{
    echo "FAILED: $*"
    failures=$((failures + 1))
}

configure()
{
    rm -rf "$work/$1"
    cmake -S "$source" -B "$work/$1" "${@:2}" > "$work/$1.log" 2>&1 || { echo "configuring $1 failed:"; cat "$work/$1.log"; exit 1; }
}

mkdir -p "$work/release-folder"
for payload in VR24_appap.syx VR24_appga.syx VR24_assetsga.syx VR24_assetsap.syx VR24_apptr.syx; do
    : > "$work/release-folder/$payload"
done

configure sample &
sample=$!
configure release -DQZ_PAYLOAD_DIR="$work/release-folder" &
release=$!
wait "$sample" && wait "$release" || exit 1

# What a user reads of each: the package's name and description, the menu entry's comment,
# the software centre's summary and description, the manual page.
userText()
{
    local metadata=$work/$1/linux-package
    sed -n '/^Package:/,$p' "$metadata/debian/control" | grep -Ev '^(Conflicts|Replaces):'
    grep -h '^Comment=' "$metadata"/*.desktop
    sed -n '/<summary>/p; /<description>/,/<\/description>/p' "$metadata"/*.metainfo.xml
    cat "$metadata"/*.1
}

sampleText=$(userText sample)
releaseText=$(userText release)
[ -n "$sampleText" ] && [ -n "$releaseText" ] || { echo "FAILED: no package metadata was written"; exit 1; }

sampleName=$(. "$work/sample/linux-package/package.env" && echo "$packageName")
releaseName=$(. "$work/release/linux-package/package.env" && echo "$packageName")
echo "sample build: $sampleName; release build: $releaseName"
[[ $sampleName == *-sample ]] || fail "the sample build's package is named $sampleName"
[[ $releaseName != *sample* ]] || fail "the release build's package is named $releaseName"
[[ $sampleName == "$releaseName-sample" ]] || fail "the two packages are named $sampleName and $releaseName"

# Each place where a sample build must say so.
check()
{
    local what=$1 pattern=$2
    grep -Eq "$pattern" <<< "$sampleText" || fail "the sample build's $what does not say it carries sample firmware"
}
check "description" '^Description: .*sample firmware'
check "long description" '^ This build carries made-up sample firmware'
check "menu entry" '^Comment=.*sample firmware'
check "AppStream summary" '<summary>.*sample firmware'
check "AppStream description" '<p>This build carries made-up sample firmware'
check "manual page" '^\.SH SAMPLE FIRMWARE'

if grep -qi sample <<< "$releaseText"; then
    fail "the release build's metadata speaks of samples:"
    grep -i sample <<< "$releaseText"
fi

# Each package gives way to the other: installing one removes the other.
grep -q "^Conflicts: $releaseName\$" "$work/sample/linux-package/debian/control" || fail "the sample package does not conflict with the release package"
grep -q "^Conflicts: $sampleName\$" "$work/release/linux-package/debian/control" || fail "the release package does not conflict with the sample package"

[ "$failures" -eq 0 ] && echo "the package metadata follows the firmware"
[ "$failures" -eq 0 ]
