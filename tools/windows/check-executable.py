#!/usr/bin/python3
"""Reads the Windows executable's version information, icon and manifest back and compares
them with what the product promises: a build carrying sample firmware marks itself a special
build, a release build does not.
Usage: check-executable.py EXE --sample|--release [--version-information-only]"""

import os
import re
import subprocess
import sys
import tempfile

import pefile

if len(sys.argv) < 3 or sys.argv[2] not in ("--sample", "--release"):
    sys.exit(__doc__)

exe = sys.argv[1]
sample = sys.argv[2] == "--sample"
versionOnly = "--version-information-only" in sys.argv[3:]
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
version = open(os.path.join(root, "VERSION")).read().strip()
name = "Corvale QZ Firmware Updater"
specialBuildFlag = 0x20  # VS_FF_SPECIALBUILD

faults = []


def expect(what, found, wanted):
    status = "ok" if found == wanted else "WRONG"
    print(f"  {what}: {found!r} ({status})")
    if found != wanted:
        faults.append(f"{what} is {found!r}, expected {wanted!r}")


pe = pefile.PE(exe)

strings = {}
for info in getattr(pe, "FileInfo", []):
    for entry in info:
        for table in getattr(entry, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})

expect("FileDescription", strings.get("FileDescription"), name)
expect("ProductName", strings.get("ProductName"), name)
expect("FileVersion", strings.get("FileVersion"), version)
expect("ProductVersion", strings.get("ProductVersion"), version)

numeric = None
flags = None
if hasattr(pe, "VS_FIXEDFILEINFO"):
    fixed = pe.VS_FIXEDFILEINFO[0]
    numeric = ".".join(str(n) for n in (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                                         fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF))
    flags = fixed.FileFlags & fixed.FileFlagsMask
expect("numeric file version", numeric, version + ".0")

# Windows shows a special build's text beside its version: sample firmware says so there too.
expect("SpecialBuild", strings.get("SpecialBuild"), "Sample firmware, not for a real unit" if sample else None)
expect("special build flag", bool(flags is not None and flags & specialBuildFlag), sample)

if versionOnly:
    if faults:
        sys.exit("The version information is not what it should be:\n  " + "\n  ".join(faults))
    sys.exit(0)

manifests = []
resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
for kind in resources:
    if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                data = language.data.struct
                manifests.append(pe.get_data(data.OffsetToData, data.Size).decode("utf-8"))

expect("manifests", len(manifests), 1)
levels = re.findall(r'requestedExecutionLevel\s+level="([^"]+)"', manifests[0]) if manifests else []
expect("requested execution level", levels, ["asInvoker"])

# JUCE's resource script names the same icon twice (IDI_ICON1, IDI_ICON2): each must hold all sizes.
with tempfile.TemporaryDirectory() as folder:
    subprocess.run(["wrestool", "--extract", "--type=group_icon", "--output", folder, exe],
                   check=True, stderr=subprocess.DEVNULL)
    icons = sorted(os.listdir(folder))
    expect("icon groups present", len(icons) > 0, True)
    for icon in icons:
        listing = subprocess.run(["icotool", "--list", os.path.join(folder, icon)],
                                 check=True, capture_output=True, text=True).stdout
        sizes = sorted({int(w) for w, h in re.findall(r"--width=(\d+) --height=(\d+)", listing) if w == h})
        expect(f"icon sizes of {icon}", sizes, [16, 32, 48, 256])

if faults:
    print("The executable does not carry what it should:\n  " + "\n  ".join(faults), file=sys.stderr)
    sys.exit(1)
