#!/usr/bin/env bash
# Puts back, one at a time, faults the updater once had (tools/simulation-faults/*.patch, the
# first line of each says which), each into a scratch copy of the committed tree, and runs
# the simulation's CI seeds against it: each must be found. The working tree is not touched.
# The tree as committed must pass every seed first: a fault is only found against a clean
# run. Prints, per fault, the first seed that broke an invariant, and the invariant.
set -euo pipefail
cd "$(dirname "$0")/.."

seeds=${1:-2000}
scratch=build-faults
copy=$scratch/source
here=$PWD

launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

rm -rf "$copy"
mkdir -p "$copy"
git archive HEAD | tar -x -C "$copy"
cmake -S "$copy" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" > /dev/null

cmake --build "$scratch/build" --target qz_simulation --parallel "$(nproc)" > /dev/null

if ! "$scratch/build/tests/qz_simulation" --seeds "$seeds" > "$scratch/baseline.log"; then
    grep -A1 "^FAILED" "$scratch/baseline.log" || true
    echo "unchanged: $(tail -1 "$scratch/baseline.log")"
    echo "the unchanged tree fails: mend it before asking whether faults are found"
    exit 1
fi

echo "unchanged: $(tail -1 "$scratch/baseline.log")"

missed=0

for patch in tools/simulation-faults/*.patch; do
    name=$(basename "$patch" .patch)
    (cd "$copy" && patch --quiet -p1 < "$here/$patch")
    cmake --build "$scratch/build" --target qz_simulation --parallel "$(nproc)" > /dev/null

    log=$scratch/$name.log

    "$scratch/build/tests/qz_simulation" --seeds "$seeds" > "$log" || true
    found=$(grep "^FAILED seed" "$log" | sort -t' ' -k3 -n | head -1 || true)

    echo "$name: $(head -1 "$patch")"

    if [ -z "$found" ]; then
        echo "    NOT FOUND in $seeds seeds"
        missed=1
    else
        echo "    ${found#FAILED }"
        grep -A1 -xF "$found" "$log" | tail -1
        echo "    $(tail -1 "$log")"
    fi

    (cd "$copy" && patch --quiet -p1 -R < "$here/$patch")
done

exit $missed
