#!/usr/bin/env bash
# Proves the Debian package in a fresh Debian system where nothing else is installed: makes
# one with debootstrap from the Debian archive that apt already uses here, installs the
# package with apt-get (which must pull every dependency itself), starts the program from its
# menu entry on a virtual X server of this machine, compares its window with the window
# tests' picture of it, closes it, purges the package and looks for anything of ours left.
# Installs what is missing; needs root (through sudo otherwise) for debootstrap and chroot.
# Usage: tools/linux/check-package.sh [BUILD_DIR]   (build/ by default, after tools/package-linux.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."
buildDir=$(realpath -m "${1:-build}")
work=$buildDir/package-check
system=$work/system
user=dj

asRoot=()
[ "$(id -u)" -ne 0 ] && asRoot=(sudo)

source tools/steps.sh

fail()
{
    echo "FAILED: $*" >&2
    exit 1
}

inSystem()
{
    "${asRoot[@]}" chroot "$system" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}

# Every path of the system but what the kernel provides.
listFiles()
{
    "${asRoot[@]}" find "$system" -xdev \( -path "$system/proc" -o -path "$system/sys" \) -prune -o -printf '%P\n' \
        | LC_ALL=C sort > "$1"
}

program=
xServer=
windowManager=
cleanUp()
{
    [ -n "$program" ] && "${asRoot[@]}" kill "$program" 2>/dev/null
    [ -n "$windowManager" ] && kill "$windowManager" 2>/dev/null
    [ -n "$xServer" ] && kill "$xServer" 2>/dev/null
    if mountpoint -q "$system/proc" 2>/dev/null; then
        "${asRoot[@]}" umount "$system/proc"
    fi
    return 0
}
trap cleanUp EXIT

step "Debian packages"
tools/install-dependencies.sh debootstrap debian-archive-keyring xvfb xauth openbox x11-utils xdotool wmctrl imagemagick

debs=("$buildDir"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single .deb in $buildDir/package: run tools/package-linux.sh first"
deb=${debs[0]}
packageName=$(dpkg-deb -f "$deb" Package)
# The window tests' picture of the window as it opens with no controller, as it must open here.
expected=$buildDir/screenshots/1-just-opened.png
[ -f "$expected" ] || fail "no $expected: run the window tests (tools/test.sh) first"
echo "  $deb"

step "A fresh Debian system"
# The Debian archive apt uses here, as apt itself reads its sources: the release's suites only.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
archive()
{
    apt-get indextargets --format '$(ORIGIN) $(REPO_URI) $(RELEASE)' 'Created-By: Packages' \
        | awk -v codename="$codename" '$1 == "Debian" && ($3 == codename || index($3, codename "-") == 1) { print $2, $3 }' \
        | sort -u
}
suites=$(archive)
if [ -z "$suites" ]; then
    "${asRoot[@]}" apt-get update -qq
    suites=$(archive)
fi
mirror=$(awk -v codename="$codename" '$2 == codename { print $1; exit }' <<< "$suites")
[ -n "$mirror" ] || fail "apt's sources here name no Debian archive for $codename"
echo "  $codename from $mirror"

# The packages debootstrap fetches are kept for a week; each run installs them afresh.
mkdir -p "$work"
base=$work/debootstrap-$codename.tgz
if [ ! -f "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
    "${asRoot[@]}" rm -rf "$work/download"
    "${asRoot[@]}" debootstrap --variant=minbase --components=main --make-tarball="$base.new" \
        "$codename" "$work/download" "$mirror" > "$work/debootstrap.log"
    "${asRoot[@]}" mv "$base.new" "$base"
fi
[ ! -d "$system/proc" ] || ! mountpoint -q "$system/proc" || "${asRoot[@]}" umount "$system/proc"
"${asRoot[@]}" rm -rf --one-file-system "$system"
"${asRoot[@]}" debootstrap --variant=minbase --components=main --unpack-tarball="$base" \
    "$codename" "$system" "$mirror" >> "$work/debootstrap.log"
awk '{ print "deb", $1, $2, "main" }' <<< "$suites" | "${asRoot[@]}" tee "$system/etc/apt/sources.list" > /dev/null
"${asRoot[@]}" mount -t proc proc "$system/proc"
inSystem apt-get update -qq
inSystem useradd --create-home "$user"
listFiles "$work/before.txt"
echo "  $(wc -l < "$work/before.txt") paths"

step "apt-get install ./$(basename "$deb")"
"${asRoot[@]}" cp "$deb" "$system/tmp/"
inSystem sh -c "cd /tmp && apt-get install -y --no-install-recommends ./$(basename "$deb")" > "$work/install.log" 2>&1 \
    || fail "apt-get install: $(tail -20 "$work/install.log")"
"${asRoot[@]}" rm "$system/tmp/$(basename "$deb")"
sed -n '/^The following NEW packages will be installed:/,/^[0-9]* upgraded/p' "$work/install.log"
inSystem dpkg -L "$packageName" | LC_ALL=C sort > "$work/ours.txt"

step "The program from its menu entry"
entry=$(inSystem sh -c 'ls /usr/share/applications/*.desktop')
[ "$(wc -l <<< "$entry")" -eq 1 ] || fail "the package installs $(wc -l <<< "$entry") menu entries"
field()
{
    sed -n "s/^$1=//p" "$system$entry"
}
# Without the field codes a launcher fills in.
command=$(field Exec | sed 's/ *%[fFuUdDnNickvm]//g')
title=$(field Name)
windowClass=$(field StartupWMClass)
echo "  $entry: \"$title\", runs $command"

# The X server runs here, not in that system: only the package and what it pulled in are
# there, so nothing else can stand in for a dependency it lacks.
rm -f "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
xServer=$!
for _ in $(seq 1 60); do
    [ -s "$work/display" ] && break
    sleep 0.5
done
[ -s "$work/display" ] || fail "the virtual X server did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
openbox --sm-disable > /dev/null 2>&1 &
windowManager=$!
# As on a desktop, the window manager is up before the program starts. JUCE looks up the
# atoms it names its window's protocols by only if they exist, and before any window manager
# has run they do not: the window would then not ask to be told of a close, and a close would
# disconnect the program from the X server.
for _ in $(seq 1 60); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
    sleep 0.5
done
xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id" || fail "the window manager did not start"

"${asRoot[@]}" chroot --userspec="$user:$user" "$system" \
    env -i HOME="/home/$user" PATH=/usr/bin:/bin DISPLAY="$DISPLAY" $command 2> "$work/program.log" &
program=$!

window=
for _ in $(seq 1 120); do
    window=$(xdotool search --name "^$title\$" 2>/dev/null | head -1) && [ -n "$window" ] && break
    kill -0 "$program" 2>/dev/null || fail "the program ended before its window opened: $(tail -5 "$work/program.log")"
    sleep 0.5
done
[ -n "$window" ] || fail "no window titled \"$title\" appeared"

step "Its window beside the window tests' picture"
read -r width height < <(identify -format '%w %h\n' "$expected")
name=$(xprop -id "$window" WM_NAME | sed -n 's/^WM_NAME([A-Z0-9_]*) = "\(.*\)"$/\1/p')
class=$(xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\(.*\)"$/\1/p')
echo "  title \"$name\", class \"$class\""
[ "$name" = "$title" ] || fail "the window is titled \"$name\", the menu entry \"$title\""
[ "$class" = "$windowClass" ] || fail "the window's class is \"$class\", the menu entry's StartupWMClass \"$windowClass\""

# Compared until they match or 20 s have passed: the window paints once it is shown.
shot=$work/main-window.png
for _ in $(seq 1 40); do
    read -r x y w h < <(xwininfo -id "$window" | awk '/Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
                                                     /Width:/ { w = $NF } /Height:/ { h = $NF } END { print x, y, w, h }')
    import -window root "$work/screen.png"
    convert "$work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$shot"
    differing=$(compare -metric AE -fuzz 2% "$shot" "$expected" null: 2>&1 || true)
    [ "$w" -eq "$width" ] && [ "$h" -eq "$height" ] && [ "${differing%%.*}" -eq 0 ] && break
    sleep 0.5
done
rm -f "$work/screen.png"
echo "  $w x $h, the window tests' picture $width x $height"
[ "$w" -eq "$width" ] && [ "$h" -eq "$height" ] || fail "the window is $w x $h, not $width x $height"

# The lamp, 12 x 12 at (10, 417): red without a controller.
lamp()
{
    convert "$1" -crop 6x6+13+420 +repage -scale 1x1\! -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]\n' info:
}
read -r red green blue < <(lamp "$shot")
read -r expectedRed expectedGreen expectedBlue < <(lamp "$expected")
echo "  lamp $red $green $blue, in the window tests' picture $expectedRed $expectedGreen $expectedBlue"
[ "$red" -gt 180 ] && [ "$green" -lt 150 ] && [ "$blue" -lt 150 ] || fail "the lamp is not red"
echo "  $differing pixels differ from the window tests' picture by more than 2 %"
[ "${differing%%.*}" -eq 0 ] || fail "the window differs from the window tests' picture: see $shot"

step "Closing the window"
wmctrl -i -c "$window"
for _ in $(seq 1 60); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.5
done
kill -0 "$program" 2>/dev/null && fail "the program did not end when its window was closed"
status=0
wait "$program" || status=$?
program=
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "  the program ended"

step "apt-get purge"
inSystem apt-get purge -y "$packageName" > "$work/purge.log" 2>&1 || fail "apt-get purge: $(tail -20 "$work/purge.log")"
inSystem apt-get autoremove --purge -y >> "$work/purge.log" 2>&1 || fail "apt-get autoremove: $(tail -20 "$work/purge.log")"
"${asRoot[@]}" umount "$system/proc"
listFiles "$work/after.txt"

# Left of ours: any path the package installed that was not there before.
LC_ALL=C comm -12 <(sed 's|^/||' "$work/ours.txt") <(LC_ALL=C comm -13 "$work/before.txt" "$work/after.txt") > "$work/left-of-ours.txt"
# Anything else new, apart from the package manager's own records, caches and logs.
LC_ALL=C comm -13 "$work/before.txt" "$work/after.txt" \
    | grep -Ev '^(var/lib/dpkg|var/lib/apt|var/cache/apt|var/cache/debconf|var/log)(/|$)' > "$work/left-new.txt" || true
LC_ALL=C comm -23 "$work/before.txt" "$work/after.txt" \
    | grep -Ev '^(var/lib/dpkg|var/lib/apt|var/cache/apt|var/cache/debconf|var/log)(/|$)' > "$work/gone.txt" || true
echo "  $(wc -l < "$work/before.txt") paths before, $(wc -l < "$work/after.txt") after"
[ -s "$work/left-of-ours.txt" ] && fail "left behind of the package: $(head -20 "$work/left-of-ours.txt")"
[ -s "$work/left-new.txt" ] && fail "new after purging: $(head -20 "$work/left-new.txt")"
[ -s "$work/gone.txt" ] && fail "gone after purging: $(head -20 "$work/gone.txt")"
echo "  nothing left but the package manager's records, caches and logs"

"${asRoot[@]}" rm -rf --one-file-system "$system"
printTimings
echo "  the window as it opened there: $shot"
