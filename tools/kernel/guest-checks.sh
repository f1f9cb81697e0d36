#!/bin/bash
# The checks inside the virtual machine that tools/kernel-check.sh boots, run as its first
# process once the host's root filesystem is the root. Each check is timed and prints the
# kernel's own listings; one line per check goes to the results folder the host shares
# ("PASSED name", "FAILED name: why", "NOTE name: ..."), then the machine powers off.
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
sequencerCheck=$build/tools/qz_sequencer_check
work=/tmp/qz
mkdir -p "$work"

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

# The device stands for a unit of its own, outside the desktop's load: it runs before anything else.
startDevice()
{
    deviceLog=$work/device-$1.log
    shift
    chrt --fifo 20 "$device" --payloads "$payloads" --report "$work/report" "$@" > "$deviceLog" 2>&1 &
    devicePid=$!
}

# Stops the device and prints what it received. Left behind: deviceWrong, the bytes that were
# wrong or stray, and deviceFaults, those and the messages cut short or of the wrong length.
stopDevice()
{
    kill -TERM "$devicePid" 2>/dev/null
    wait "$devicePid"
    echo "--- what the device received"
    cat "$deviceLog"
    deviceWrong=$(totalOf 'wrong bytes' 'stray bytes')
    deviceFaults=$((deviceWrong + $(totalOf 'cut short')))
}

# The sum over the device's ports of the counts before these words in its lines of totals.
totalOf()
{
    local words
    for words in "$@"; do
        grep -o "[0-9,]* $words" "$work/report" | tr -d ,
    done | awk '{ s += $1 } END { print s + 0 }'
}

# The line in which the device described the plain writer's pattern, once it has ended.
patternLine()
{
    for _ in $(seq 600); do
        grep -q "the pattern" "$deviceLog" && { grep "the pattern" "$deviceLog" | tail -1; return 0; }
        sleep 0.1
    done
    return 1
}

checkVirtualMidi()
{
    local start
    start=$(now)
    echo "=== The catalogue through snd-virmidi and back, by qz_sequencer_check"
    modprobe snd-virmidi
    waitForPort "VirMIDI 0-0" || waitForPort "VirMIDI 1-0"
    listings

    # The bytes come back through the sequencer to the check's own input, whose queue in the
    # kernel holds 200 events, some 4.6 KB of SysEx: a reader that a busy host's slow virtual
    # CPUs leave waiting longer than that loses events, which the kernel drops without a word
    # (seq_virmidi.c stops sending until the next write, and our drain then fails). A unit
    # never sends this much back; the check's reader runs first so that the loop tells of the
    # output, not of TCG.
    if chrt --fifo 10 "$sequencerCheck"; then
        record "PASSED snd-virmidi: the catalogue came back byte for byte ($(seconds "$start") s)"
    else
        record "FAILED snd-virmidi: the catalogue did not come back whole ($(seconds "$start") s)"
    fi

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
    mount -t gadgetfs gadgetfs /dev/gadget
    modprobe snd-seq-midi
    modprobe snd-usb-audio
    startDevice "${1:-a}" --gadgetfs /dev/gadget "${@:2}"

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

checkLayoutAListing()
{
    startLayoutA listing || return
    listings
    record "PASSED layout A listing: card \"QZ\", ports $(grep -o '"QZ QZ [A-Za-z]*"' /proc/asound/seq/clients | tr '\n' ' ')"
    stopLayoutA
}

checkStaleBytes()
{
    local start line
    startLayoutA race || return
    listings
    echo "=== The kernel's race: a plain writer's 2,000,002-byte SysEx to /dev/snd/midiC${cardA}D0 beside two CPU-bound processes"
    start=$(now)
    startLoad
    "$writer" "/dev/snd/midiC${cardA}D0"
    stopLoad
    line=$(patternLine) || line="the device never saw the pattern end"
    record "NOTE plain writer under load ($(seconds "$start") s): $line"

    echo "=== The same, draining the device before every write"
    start=$(now)
    startLoad
    "$writer" "/dev/snd/midiC${cardA}D0" --drain
    stopLoad
    sleep 1
    line=$(grep "the pattern" "$deviceLog" | tail -1)
    record "NOTE plain writer draining first, under load ($(seconds "$start") s): $line"
    stopLayoutA
}

# Sends an update with qz_sequencer_check's arguments, runs the command that stops what ran
# beside it and the device, and records whether every byte reached the device as sent.
checkUpdate()
{
    local name=$1 stop=$2 start took sent
    shift 2
    start=$(now)
    "$sequencerCheck" "$@"
    sent=$?
    took=$(seconds "$start")
    sleep 1
    eval "$stop"

    if [ "$sent" -eq 0 ] && [ "$deviceFaults" -eq 0 ]; then
        record "PASSED $name: every byte as sent ($took s)"
    else
        record "FAILED $name: $deviceFaults faults at the device, sender exit $sent ($took s)"
    fi
}

checkProductUnderLoad()
{
    startLayoutA update || return
    echo "=== The whole catalogue through snd-usb-audio by the product's port manager, Linux platform and raw output, beside two CPU-bound processes"
    startLoad
    checkUpdate "full update under load through snd-usb-audio" "stopLoad; stopLayoutA" \
        --device "QZ QZ Audio" "QZ QZ Graphics" "QZ QZ Control"
}

checkSlowDevice()
{
    startLayoutA slow --rate 48000 || return
    echo "=== The alternative update to a device that takes 48,000 bytes a second per port, leaving its bulk OUT endpoint unread meanwhile"
    checkUpdate "alternative update to a device taking 48,000 bytes a second per port" stopLayoutA \
        --device "QZ QZ Audio" "QZ QZ Graphics" "QZ QZ Control" --alternative
}

# The unit unplugged mid-update, as a cable pulled: its controller leaves the bus. Then a
# unit with new versions is plugged in, and updated again from the start.
checkUnplug()
{
    local udc start took sent
    startLayoutA unplug || return
    udc=/sys/class/udc/$(ls /sys/class/udc | head -1)/soft_connect
    echo "=== The unit unplugged in the alternative update, once its control firmware has arrived ($udc)"
    "$sequencerCheck" --device "QZ QZ Audio" "QZ QZ Graphics" "QZ QZ Control" --alternative &
    local sender=$!

    for _ in $(seq 600); do
        grep -q "QZ Control: VR24_apptr" "$deviceLog" && break
        sleep 0.1
    done

    echo disconnect > "$udc"
    start=$(now)
    wait "$sender"
    sent=$?
    took=$(seconds "$start")
    listings
    stopDevice

    if [ "$sent" -ne 0 ] && [ "$deviceWrong" -eq 0 ]; then
        record "PASSED unplugged mid-update: the transfers ended in Error, no byte at the device wrong (the check exited $took s after the unplug)"
    else
        record "FAILED unplugged mid-update: sender exit $sent, $deviceWrong wrong or stray bytes at the device (exited $took s after the unplug)"
    fi

    echo "=== A unit with new versions plugged in: the alternative update again"
    startDevice replug --gadgetfs /dev/gadget --versions 0.0.3.6,0.0.2.6,0.0.2.6

    if ! waitForPort "QZ QZ Control"; then
        record "FAILED plugged in again: no ports came back"
        stopLayoutA
        return
    fi

    checkUpdate "alternative update to the unit plugged in again" stopLayoutA \
        --device "QZ QZ Audio" "QZ QZ Graphics" "QZ QZ Control" --alternative
}

# Layout B: three USB devices, one per processor, each a configfs gadget with usb_f_midi.
checkLayoutB()
{
    local start
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

    echo "=== The alternative update through snd-usb-audio to the three devices"
    checkUpdate "layout B alternative update" stopDevice \
        --device "QZ Audio MIDI 1" "QZ Graphics MIDI 1" "QZ Control MIDI 1" --alternative
}

modprobe snd-seq
modprobe snd-rawmidi

wanted virmidi && checkVirtualMidi
wanted listing && checkLayoutAListing
wanted race && checkStaleBytes
wanted update && checkProductUnderLoad
wanted slow && checkSlowDevice
wanted unplug && checkUnplug
wanted layoutb && checkLayoutB

echo "=== Finished after $(cut -d' ' -f1 /proc/uptime) s of the virtual machine's time"
echo "finished" >> "$results/outcomes"
