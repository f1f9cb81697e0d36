#!/bin/bash
# The checks inside the virtual machine that tools/kernel-check.sh boots, run as its first
# process once the host's root filesystem is the root. Each check is timed and prints the
# kernel's own listings; one line per check goes to the results folder the host shares
# ("PASSED name", "FAILED name: why", "NOTE name: ...", "SKIPPED name: why"), then the
# machine powers off.
#
# The host passes, through the kernel's command line: qzbuild (the build folder), qzpayloads
# (the payload folder the build embedded) and qzchecks (which checks, or "all").

set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LANG=C.UTF-8

mount -t proc proc /proc
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm

results=/run/qz-results
mkdir -p "$results"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results "$results"

powerOff()
{
    sync
    echo o > /proc/sysrq-trigger
    sleep 60
}
trap powerOff EXIT

echo "=== The virtual machine is up after $(cut -d' ' -f1 /proc/uptime) s: kernel $(uname -r), $(nproc) CPUs"

build=$qzbuild
payloads=$qzpayloads
checks=" ${qzchecks//,/ } "
device=$build/tools/kernel/qz_kernel_device
writer=$build/tools/kernel/qz_plain_writer
driver=$build/tools/kernel/qz_window_driver
rawDeviceCheck=$build/tools/kernel/qz_raw_device_check
sequencerCheck=$build/tools/qz_sequencer_check
product="$build/CorvaleQzFirmwareUpdater_artefacts/Release/Corvale QZ Firmware Updater"
screens=$results/screens
work=/tmp/qz
mkdir -p "$work" "$screens"

wanted() { [[ $checks == *" all "* || $checks == *" $1 "* ]]; }
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
record() { echo "$1" >> "$results/outcomes"; echo "### $1"; }

listings()
{
    echo "--- /proc/asound/cards"
    cat /proc/asound/cards
    echo "--- /proc/asound/seq/clients"
    cat /proc/asound/seq/clients
    for midi in /proc/asound/card*/midi0; do
        [ -e "$midi" ] || continue
        echo "--- $midi"
        cat "$midi"
    done
}

# Two CPU-bound processes beside whatever runs, as on a busy desktop.
startLoad() { load=(); for _ in 1 2; do (while :; do :; done) & load+=($!); done; }
stopLoad() { kill "${load[@]}" 2>/dev/null; wait "${load[@]}" 2>/dev/null; load=(); }
load=()

# The card whose name in /proc/asound/cards is exactly this, waited for up to 30 s.
cardNamed()
{
    local name=$1
    for _ in $(seq 300); do
        local card
        card=$(awk -v n="$name" -F' - ' '/^ *[0-9]+ \[/ { split($1, a, " "); if ($2 == n) print a[1] }' /proc/asound/cards)
        if [ -n "$card" ]; then
            echo "$card"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# A sequencer port of this name, waited for up to 30 s (the bridge comes with snd-seq-midi).
waitForPort()
{
    for _ in $(seq 300); do
        grep -q "Port .*: \"$1\"" /proc/asound/seq/clients && return 0
        sleep 0.1
    done
    return 1
}

# The raw MIDI output substreams this process holds, as the kernel tells it: "hw:C,D,S ...".
heldBy()
{
    local midi card
    for midi in /proc/asound/card*/midi*; do
        [ -e "$midi" ] || continue
        card=${midi#/proc/asound/card}
        card=${card%%/*}
        awk -v pid="$1" -v name="hw:$card,${midi##*/midi}," \
            '/^Output / { out = $2 } /^Input / { out = "" } /Owner PID/ && out != "" && $NF == pid { print name out }' "$midi"
    done | sort | tr '\n' ' ' | sed 's/ $//'
}

# The device stands for a unit of its own, outside the desktop's load: it runs before anything else.
startDevice()
{
    deviceLog=$work/device-$1.log
    shift
    chrt --fifo 20 "$device" --payloads "$payloads" --report "$work/report" "$@" > "$deviceLog" 2>&1 &
    devicePid=$!
}

# Stops the device and prints what it received. Left behind: deviceWrong, the bytes that were
# wrong or stray; deviceFaults, those and the messages cut short or of the wrong length; and
# deviceWhole, the messages that arrived whole.
stopDevice()
{
    kill -TERM "$devicePid" 2>/dev/null
    wait "$devicePid"
    echo "--- what the device received"
    cat "$deviceLog"
    deviceWrong=$(totalOf 'wrong bytes' 'stray bytes')
    deviceFaults=$((deviceWrong + $(totalOf 'cut short')))
    deviceWhole=$(totalOf 'messages whole')
}

# The sum over the device's ports of the counts before these words in its lines of totals.
totalOf()
{
    local words
    for words in "$@"; do
        grep -o "[0-9,]* $words" "$work/report" | tr -d ,
    done | awk '{ s += $1 } END { print s + 0 }'
}

# The line in which the device described the plain writer's Nth pattern, once it has ended.
patternLine()
{
    for _ in $(seq 600); do
        if [ "$(grep -c "the pattern" "$deviceLog")" -ge "$1" ]; then
            grep "the pattern" "$deviceLog" | sed -n "$1p"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

checkVirtualMidi()
{
    local start
    start=$(now)
    echo "=== The application images through snd-virmidi and back, by qz_sequencer_check"
    modprobe snd-virmidi
    waitForPort "VirMIDI 0-0" || waitForPort "VirMIDI 1-0"
    listings

    # The bytes come back through the sequencer to the check's own input, whose queue in the
    # kernel holds 200 events, some 4.6 KB of SysEx: a reader that a busy host's slow virtual
    # CPUs leave waiting longer than that loses events, which the kernel drops without a word
    # (seq_virmidi.c stops sending until the next write, and our drain then fails). A unit
    # never sends this much back; the check's reader runs first so that the loop tells of the
    # output, not of TCG.
    if chrt --fifo 10 "$sequencerCheck" --alternative; then
        record "PASSED snd-virmidi: the application images came back byte for byte ($(seconds "$start") s)"
    else
        record "FAILED snd-virmidi: the application images did not come back whole ($(seconds "$start") s)"
    fi

    echo "=== The raw device the product opens behind each port, snd-virmidi's among them"
    start=$(now)

    if "$rawDeviceCheck"; then
        record "PASSED raw devices: \"VirMIDI C-1\" opened as hw:C,1,0, no raw device for Midi Through or a program's ports, each request through the substream held ($(seconds "$start") s)"
    else
        record "FAILED raw devices: the product opened a raw device that is not the one behind its port ($(seconds "$start") s)"
    fi

    record "SKIPPED raw devices of a synthesizer: Debian's kernel builds no ISA sound drivers (snd-adlib, snd-sb16), and no PCI card QEMU emulates carries an FM or wavetable synthesizer"
    modprobe -r snd-virmidi
}

# Layout A: one USB device "QZ", three cables with named jacks, on gadgetfs.
startLayoutA()
{
    local start
    start=$(now)
    echo "=== Layout A: one USB-MIDI device \"QZ\" with three cables, on gadgetfs over dummy_hcd"
    modprobe dummy_hcd
    modprobe gadgetfs
    mkdir -p /dev/gadget
    mountpoint -q /dev/gadget || mount -t gadgetfs gadgetfs /dev/gadget
    modprobe snd-seq-midi
    modprobe snd-usb-audio
    startDevice "$@" --gadgetfs /dev/gadget

    if ! cardA=$(cardNamed "QZ") || ! waitForPort "QZ QZ Control"; then
        record "FAILED layout A: snd-usb-audio made no card \"QZ\" with its three ports"
        listings
        stopDevice
        return 1
    fi

    echo "snd-usb-audio made card $cardA in $(seconds "$start") s"
}

stopLayoutA()
{
    stopDevice
    umount /dev/gadget
    modprobe -r gadgetfs dummy_hcd
}

checkStaleBytes()
{
    local start line
    startLayoutA race || return
    listings
    # Whether the race is lost depends on when the host lets the virtual CPUs run: up to three
    # tries, until the device has seen it once.
    local try
    for try in 1 2 3; do
        echo "=== The kernel's race, try $try: a plain writer's 2,000,002-byte SysEx to /dev/snd/midiC${cardA}D0 beside two CPU-bound processes"
        start=$(now)
        startLoad
        "$writer" "/dev/snd/midiC${cardA}D0"
        stopLoad
        line=$(patternLine "$try") || line="the device never saw the pattern end"
        record "NOTE plain writer under load, try $try ($(seconds "$start") s): $line"
        [[ $line == *"4096 earlier"* ]] && break
        sleep 1
    done

    echo "=== The same, draining the device before every write"
    start=$(now)
    startLoad
    "$writer" "/dev/snd/midiC${cardA}D0" --drain
    stopLoad
    line=$(patternLine $((try + 1))) || line="the device never saw the pattern end"
    record "NOTE plain writer draining first, under load ($(seconds "$start") s): $line"
    stopLayoutA
}

# A virtual X display with openbox, as on a user's desktop, for the product's window. Xvfb
# writes its compiled keymaps beside the read-only root's own.
startDisplay()
{
    [ -n "${DISPLAY:-}" ] && return 0
    mountpoint -q /var/lib/xkb || mount -t tmpfs xkb /var/lib/xkb
    Xvfb :5 -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
    for _ in $(seq 100); do [ -e /tmp/.X11-unix/X5 ] && break; sleep 0.1; done
    export DISPLAY=:5
    openbox --sm-disable > "$work/openbox.log" 2>&1 &
    "$driver" wait-wm
}

# The real product, started as a user starts it.
startProduct()
{
    productLog=$work/product-$1.log
    "$product" > "$productLog" 2>&1 &
    productPid=$!
}

# Closed as the title bar's close button closes it, which quits at once while no update runs.
stopProduct()
{
    "$driver" close
    for _ in $(seq 100); do kill -0 "$productPid" 2>/dev/null || break; sleep 0.1; done
    kill "$productPid" 2>/dev/null
    wait "$productPid" 2>/dev/null
}

# One step of the window's. What the screen showed is kept beside the outcomes: the main
# window once it showed what was expected, and on failure that and what was expected.
step()
{
    local name=$1
    shift
    echo "--- window: $*"

    if "$driver" "$@" --save "$screens/$name"; then
        [ "$1" = main ] && "$driver" screenshot "$screens/$name.png"
        return 0
    fi

    failedStep=$name
    return 1
}

# What a person does for an update: a click into the window, for the alternative mode the
# key m, a click on "Update Firmware", then OK in the instruction box.
startUpdateThroughTheWindow()
{
    local kind=$1
    "$driver" click 250 120
    [ "$kind" = alternative ] && "$driver" key m
    "$driver" click-update
    step "instructions-$kind" dialog "$kind" --press OK
}

# Records whether the product holds exactly these raw MIDI output substreams, as the kernel tells it.
recordHeld()
{
    local what=$1 expected=$2 held
    held=$(heldBy "$productPid")
    echo "the product holds $held"

    if [ "$held" = "$expected" ]; then
        record "PASSED $what, the product holding exactly $held"
    else
        record "FAILED $what: the product holds \"$held\", not \"$expected\""
    fi
}

# Records, once the device has stopped, whether these many images reached it whole and not
# a byte wrong, and the window showed what it should after them (a step's status, 0 if so).
recordUpdate()
{
    local what=$1 images=$2 window=${3:-0}

    if [ "$window" -eq 0 ] && [ "$deviceFaults" -eq 0 ] && [ "$deviceWhole" -eq "$images" ]; then
        record "PASSED $what, every byte checked by the device"
    else
        record "FAILED $what: $deviceWhole of $images images whole, $deviceFaults faults at the device, the window ${window/0/as expected}"
    fi
}

versionsA="0.0.3.1,0.0.2.1,0.0.2.1"
stillA=("still 0.0.3.1, reset it or update again" "still 0.0.2.1, reset it or update again" "still 0.0.2.1, reset it or update again")

# Layout A through the real product's window: found under the kernel's names with exactly
# the raw devices behind its ports opened, a held port named in its row, the alternative
# update to a device taking 48,000 bytes a second per cable, the unit unplugged mid-update,
# and plugged in again with new versions.
checkWindowLayoutA()
{
    local start took holder
    failedStep=
    startDisplay || { record "FAILED window, layout A: no X display with a window manager came up"; return; }
    startLayoutA window-a --rate 48000 || return
    listings
    "$rawDeviceCheck" --list

    echo "=== The product's window, another program holding the raw MIDI output behind \"QZ QZ Audio\""
    sleep 3600 3> "/dev/snd/midiC${cardA}D0" &
    holder=$!
    echo "the other program holds $(heldBy "$holder")"
    start=$(now)
    startProduct layout-a

    if step held main --lamp on --current "0.0.3.1,-,0.0.2.1" --row 0 - --row 1 "in use, close programs using it and retry" --row 2 - --timeout 60; then
        record "PASSED window, layout A: green lamp, Control and Graphics versions, and \"QZ Audio: in use, close programs using it and retry\" while another program holds its raw device ($(seconds "$start") s after start)"
    else
        record "FAILED window, layout A: a held port is not named in its row as expected (screens/held-*.png)"
    fi

    kill "$holder"
    wait "$holder" 2>/dev/null

    if step found main --lamp on --current "$versionsA" --row 0 - --row 1 "" --row 2 -; then
        recordHeld "window, layout A: the three versions under the kernel's names \"QZ QZ Audio\", \"QZ QZ Graphics\", \"QZ QZ Control\"" \
            "hw:$cardA,0,0 hw:$cardA,0,1 hw:$cardA,0,2"
    else
        record "FAILED window, layout A: the lamp and the three versions did not show (screens/found-*.png)"
    fi

    echo "=== The alternative update through the window, to a device taking 48,000 bytes a second per cable"
    start=$(now)
    if startUpdateThroughTheWindow alternative && step completion-a dialog completion --press OK --timeout 600; then
        took=$(seconds "$start")
        step after-a main --lamp on --current "$versionsA" --row 0 "${stillA[0]}" --row 1 "${stillA[1]}" --row 2 "${stillA[2]}"
        local after=$?
        stopDevice
        recordUpdate "window, layout A: the alternative update at 48,000 bytes a second per cable in $took s to the completion box (device-bound 14.8 s)" 3 "$after"
    else
        stopDevice
        record "FAILED window, layout A: the alternative update did not reach its completion box (step $failedStep, screens/$failedStep-*.png)"
    fi

    echo "=== The unit plugged in again and unplugged in the alternative update, once its control firmware has arrived"
    startDevice window-unplug --gadgetfs /dev/gadget
    local udc=/sys/class/udc/$(ls /sys/class/udc | head -1)/soft_connect
    if step replugged main --lamp on --current "$versionsA" && startUpdateThroughTheWindow alternative; then
        for _ in $(seq 600); do
            grep -q "QZ Control: VR24_apptr" "$deviceLog" && break
            sleep 0.1
        done
        echo disconnect > "$udc"
        start=$(now)
        if step aborted dialog abort --press OK --timeout 60; then
            took=$(seconds "$start")
            step unplugged main --lamp off --row 0 "Control Firmware Completed" --row 1 "Audio Firmware Aborted" --row 2 "Graphics Firmware Aborted"
            local after=$?
            stopDevice
            if [ "$after" -eq 0 ] && [ "$deviceWrong" -eq 0 ]; then
                record "PASSED window, layout A: unplugged mid-update, the abort message $took s later, red lamp, and no byte at the device wrong"
            else
                record "FAILED window, layout A: after the unplug the window was ${after/0/as expected}, $deviceWrong wrong bytes at the device"
            fi
        else
            stopDevice
            record "FAILED window, layout A: the unplug mid-update brought no abort message (screens/aborted-*.png)"
        fi
    else
        stopDevice
        record "FAILED window, layout A: the update to unplug did not start (step $failedStep)"
    fi

    echo "=== A unit with new versions plugged in"
    startDevice window-new --gadgetfs /dev/gadget --versions 0.0.3.6,0.0.2.6,0.0.2.6
    if step new-versions main --lamp on --current "0.0.3.6,0.0.2.6,0.0.2.6"; then
        record "PASSED window, layout A: a unit plugged in again with new versions shows 0.0.3.6, 0.0.2.6, 0.0.2.6"
    else
        record "FAILED window, layout A: the new versions did not show (screens/new-versions-*.png)"
    fi

    stopProduct
    stopLayoutA
}

# The full update through the window under competing load, layout A at the device's own
# speed: the product's proof against the kernel's race.
checkFullUpdate()
{
    local start took
    failedStep=
    startDisplay || { record "FAILED full update: no X display with a window manager came up"; return; }
    startLayoutA update || return
    startProduct update
    if ! step update-found main --lamp on --current "$versionsA" --timeout 60; then
        record "FAILED full update: the unit was not found (screens/update-found-*.png)"
        stopProduct
        stopLayoutA
        return
    fi

    echo "=== The full update through the window and snd-usb-audio, beside two CPU-bound processes"
    start=$(now)
    startLoad
    if startUpdateThroughTheWindow normal && step completion-full dialog completion --press OK --timeout 1500; then
        took=$(seconds "$start")
        stopLoad
        stopProduct
        stopDevice
        recordUpdate "full update under load through the window in $took s to the completion box (paced for 70.1 s)" 5
    else
        stopLoad
        stopProduct
        stopDevice
        record "FAILED full update under load: no completion box (step $failedStep, screens/$failedStep-*.png)"
    fi

    umount /dev/gadget
    modprobe -r gadgetfs dummy_hcd
}

# Layout B: three USB devices, one per processor, each a configfs gadget with usb_f_midi.
checkWindowLayoutB()
{
    local start took
    failedStep=
    startDisplay || { record "FAILED window, layout B: no X display with a window manager came up"; return; }
    start=$(now)
    echo "=== Layout B: three USB-MIDI devices \"QZ Audio\", \"QZ Graphics\", \"QZ Control\", configfs gadgets with usb_f_midi on dummy_hcd"
    modprobe dummy_hcd num=3
    modprobe libcomposite
    modprobe usb_f_midi
    modprobe snd-seq-midi
    modprobe snd-usb-audio
    mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config

    local i=0 names=()
    for processor in Audio Graphics Control; do
        local g=/sys/kernel/config/usb_gadget/qz$processor
        mkdir -p "$g/strings/0x409" "$g/configs/c.1" "$g/functions/midi.qz"
        echo 0x1d6b > "$g/idVendor"
        echo 0x0104 > "$g/idProduct"
        echo Corvale > "$g/strings/0x409/manufacturer"
        echo "QZ $processor" > "$g/strings/0x409/product"
        echo "CQZ24-0000000000000$i" > "$g/strings/0x409/serialnumber"
        echo 1 > "$g/functions/midi.qz/in_ports"
        echo 1 > "$g/functions/midi.qz/out_ports"
        echo "Gadget$processor" > "$g/functions/midi.qz/id"
        ln -s "$g/functions/midi.qz" "$g/configs/c.1/"
        echo "dummy_udc.$i" > "$g/UDC"
        names+=("hw:CARD=Gadget$processor,DEV=0")
        i=$((i + 1))
    done

    startDevice b --gadget-midi "${names[@]}"

    if ! cardNamed "QZ Control" > /dev/null || ! waitForPort "QZ Control MIDI 1"; then
        record "FAILED layout B: snd-usb-audio made no cards \"QZ Audio\" ... with their ports"
        listings
        stopDevice
        return 1
    fi

    echo "the three cards came in $(seconds "$start") s"
    listings
    "$rawDeviceCheck" --list

    start=$(now)
    startProduct layout-b
    if step found-b main --lamp on --current "$versionsA" --timeout 60; then
        recordHeld "window, layout B: the three versions under the kernel's names \"QZ Audio MIDI 1\", \"QZ Graphics MIDI 1\", \"QZ Control MIDI 1\" $(seconds "$start") s after start" \
            "$(for p in Audio Graphics Control; do echo "hw:$(cardNamed "QZ $p"),0,0"; done | sort | tr '\n' ' ' | sed 's/ $//')"
    else
        record "FAILED window, layout B: the lamp and the three versions did not show (screens/found-b-*.png)"
    fi

    echo "=== The alternative update through the window to the three devices"
    start=$(now)
    if startUpdateThroughTheWindow alternative && step completion-b dialog completion --press OK --timeout 600; then
        took=$(seconds "$start")
        stopProduct
        stopDevice
        recordUpdate "window, layout B: the alternative update in $took s to the completion box" 3
    else
        stopProduct
        stopDevice
        record "FAILED window, layout B: the alternative update did not reach its completion box (step $failedStep, screens/$failedStep-*.png)"
    fi
}

modprobe snd-seq
modprobe snd-rawmidi

timed()
{
    local start
    start=$(now)
    "$@"
    echo "=== $1 took $(seconds "$start") s"
}

wanted virmidi && timed checkVirtualMidi
wanted race && timed checkStaleBytes
wanted window && timed checkWindowLayoutA
wanted update && timed checkFullUpdate
wanted layoutb && timed checkWindowLayoutB

echo "=== Finished after $(cut -d' ' -f1 /proc/uptime) s of the virtual machine's time"
echo "finished" >> "$results/outcomes"
