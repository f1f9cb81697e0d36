#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU and runs, inside, the updater's checks through that
# kernel's sound and USB stacks (tools/kernel/guest-checks.sh): snd-virmidi and the raw
# devices behind its ports, and a USB-MIDI QZ of our own on the kernel's USB device side
# (dummy_hcd), enumerated by the real snd-usb-audio, in both of a unit's possible layouts,
# updated by the real product through its window on a virtual display.
#
#   tools/kernel-check.sh [CHECK ...]     CHECK: virmidi race window update layoutb (default: all)
#
# Installs what it needs, builds what runs inside, and prints the kernel's own words as it
# goes. Reports SKIPPED, with the reason, only where QEMU cannot run at all.
set -euo pipefail
cd "$(dirname "$0")/.."

checks=${*:-all}
checks=${checks// /,}

tools/install-dependencies.sh qemu-system-x86 linux-image-amd64 busybox-static kmod cpio

export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-$(command -v ccache || true)}
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build --parallel "$(nproc)" --target \
    CorvaleQzFirmwareUpdater qz_sequencer_check qz_kernel_device qz_plain_writer qz_raw_device_check qz_window_driver

build=$(pwd)/build
payloads=$(sed -n 's/^QZ_PAYLOAD_DIR:PATH=//p' build/CMakeCache.txt)
if [ -z "$payloads" ]; then
    payloads=$build/resources/generated
fi
payloads=$(realpath "$payloads")

# The newest installed kernel whose modules are there too: the VM loads them from this root.
kernel=
for image in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
    version=${image#/boot/vmlinuz-}
    [ -f "/lib/modules/$version/modules.dep" ] && kernel=$version
done

if [ -z "$kernel" ]; then
    echo "FAILED: linux-image-amd64 is installed, but no /boot/vmlinuz-* has its modules in /lib/modules"
    exit 1
fi

work=$build/kernel-check
rm -rf "$work"
mkdir -p "$work/initramfs/bin" "$work/initramfs/modules" "$work/initramfs/newroot" \
         "$work/initramfs/proc" "$work/initramfs/dev" "$work/results"

# The checks as they are now: bash reads a script as it goes, and this one may be edited meanwhile.
cp tools/kernel/guest-checks.sh "$work/guest-checks.sh"

# The initramfs: busybox, the virtio and 9p modules in the order they load, and our init.
cp /bin/busybox "$work/initramfs/bin/"
cp tools/kernel/initramfs-init "$work/initramfs/init"
for module in virtio_pci 9pnet_virtio 9p; do
    modprobe -S "$kernel" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r file; do
    cp "$file" "$work/initramfs/modules/"
    basename "$file" >> "$work/initramfs/modules/order"
done
(cd "$work/initramfs" && find . | cpio -o -H newc --quiet | gzip -1 > "$work/initramfs.gz")

accel=tcg
if [ -w /dev/kvm ] && [ -r /dev/kvm ]; then
    accel=kvm
fi

qemu=(qemu-system-x86_64 -machine "q35,accel=$accel" -cpu max -smp 2 -m 2048 -nographic -no-reboot
      -kernel "/boot/vmlinuz-$kernel" -initrd "$work/initramfs.gz"
      -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
      -virtfs "local,path=$work/results,mount_tag=results,security_model=none"
      -nic none)

# A machine with nothing in it, told to quit at once by its monitor.
if ! probe=$(echo quit | timeout 60 qemu-system-x86_64 -machine "none,accel=$accel" -nodefaults -display none \
                 -monitor stdio 2>&1); then
    echo "SKIPPED: QEMU cannot run here: $probe"
    exit 0
fi

echo "Booting Debian's kernel $kernel under QEMU ($accel, 2 CPUs); checks: $checks"
start=$(date +%s)
timeout 2400 "${qemu[@]}" \
    -append "console=ttyS0 quiet panic=-1 qzguest=$work/guest-checks.sh qzkeep=$PWD qzbuild=$build qzpayloads=$payloads qzchecks=$checks" \
    < /dev/null 2>&1 | tee "$work/console.log" || true
echo "The virtual machine ran for $(( $(date +%s) - start )) s"

outcomes=$work/results/outcomes
echo "=== Outcomes"
[ -f "$outcomes" ] && grep -v '^finished$' "$outcomes"

if [ ! -f "$outcomes" ] || ! grep -q '^finished$' "$outcomes"; then
    echo "FAILED: the checks inside the virtual machine did not finish (see $work/console.log)"
    exit 1
fi

if grep -q '^FAILED' "$outcomes"; then
    exit 1
fi
