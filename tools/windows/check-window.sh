#!/usr/bin/env bash
# Opens the Windows executable under Wine on a virtual display and checks its window as
# Windows reports it: the title, 500 x 452 of content, the red lamp with its status text
# drawn beside it (Wine has no MIDI device), a second start that ends by itself, and a close
# that ends the program without a question. Keeps a screenshot.
# Usage (under xvfb-run): check-window.sh EXE PROBE_EXE SCREENSHOT_DIR
set -euo pipefail
exe=$1
probe=$2
shots=$3
pictures="$(dirname "$0")/../../resources/pictures"
title="Corvale QZ Firmware Updater"
mkdir -p "$shots"

fail()
{
    echo "FAILED: $*" >&2
    exit 1
}

# Wine's first process on a display brings up its desktop; a program that starts meanwhile
# can find no display outputs yet (JUCE's vertical-blank thread then reads a null one).
wineboot --init >/dev/null 2>&1
wineserver -w
wine "$probe" find "$title" 0 >/dev/null || true

wine "$exe" 2>"$shots/wine-product.log" &
product=$!
trap 'kill "$product" 2>/dev/null || true' EXIT

read -r _ count _ x y width height < <(wine "$probe" find "$title" 90 | tr -d '\r') || true
[ "${count:-0}" -ge 1 ] || fail "no window titled \"$title\" appeared"
[ "$count" -eq 1 ] || fail "$count windows titled \"$title\""
echo "  window \"$title\": content ${width} x ${height} at $x, $y"
[ "$width" -eq 500 ] && [ "$height" -eq 452 ] || fail "content is ${width} x ${height}, not 500 x 452"

# The lamp: 12 x 12 at (10, 417) of the content; red is the picture for no hardware (its
# middle 230 101 95, the green one's 105 202 103). The
# window is placed after it first shows, so its place is asked for again each time.
lampColour()
{
    read -r _ _ _ x y _ < <(wine "$probe" find "$title" 5 | tr -d '\r')
    import -window root "$shots/wine-main-window-full.png"
    convert "$shots/wine-main-window-full.png" -crop "${width}x${height}+${x}+${y}" +repage "$shots/wine-main-window.png"
    convert "$shots/wine-main-window.png" -crop 6x6+13+420 +repage -scale 1x1\! -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]\n' info:
}

for _ in $(seq 1 40); do
    read -r red green blue < <(lampColour)
    [ "$red" -gt 180 ] && [ "$green" -lt 150 ] && [ "$blue" -lt 150 ] && break
    sleep 0.5
done
echo "  lamp: mean colour $red $green $blue"
[ "$red" -gt 180 ] && [ "$green" -lt 150 ] && [ "$blue" -lt 150 ] || fail "the lamp is not red"

# Its text (the component tests, also run under Wine, check the words): the label's place
# must differ from the bare background there.
convert "$shots/wine-main-window.png" -crop 190x14+24+417 +repage "$shots/label.png"
convert "$pictures/QZ_DriverUpdateUtility_Background.png" -crop 190x14+24+417 +repage "$shots/label-background.png"
changed=$(compare -metric AE -fuzz 15% "$shots/label.png" "$shots/label-background.png" null: 2>&1 || true)
rm -f "$shots/label.png" "$shots/label-background.png" "$shots/wine-main-window-full.png"
echo "  status text: $changed pixels drawn over the background"
[ "${changed%%.*}" -gt 40 ] || fail "no status text beside the lamp"

start=$SECONDS
timeout 60 wine "$exe" 2>>"$shots/wine-product.log" || fail "a second start did not end by itself within 60 s"
echo "  a second start ended by itself after $((SECONDS - start)) s"
read -r _ count _ < <(wine "$probe" find "$title" 1 | tr -d '\r') || true
[ "${count:-0}" -eq 1 ] || fail "after a second start there are ${count:-0} windows"

wine "$probe" close "$title" || fail "the window could not be asked to close"
for _ in $(seq 1 60); do
    kill -0 "$product" 2>/dev/null || break
    sleep 0.5
done
kill -0 "$product" 2>/dev/null && fail "the program did not end when its window was closed"
wait "$product" || fail "the program ended with an error"
trap - EXIT
echo "  closing the window ended the program, no question asked"
echo "  screenshot: $shots/wine-main-window.png"
