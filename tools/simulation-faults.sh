#!/usr/bin/env bash
# Puts back, one at a time, faults the updater once had (tools/simulation-faults/*.patch, the
# first line of each says which), each into a scratch copy of the committed tree, and runs
# the simulation's CI seeds against it: each must be found. The working tree is not touched.
# Prints, per fault, the first seed that broke an invariant the unchanged tree keeps, and the
# invariant it broke.
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

# What the tree as committed breaks, if anything, is not a fault's finding.
cmake --build "$scratch/build" --target qz_simulation --parallel "$(nproc)" > /dev/null
"$scratch/build/tests/qz_simulation" --seeds "$seeds" > "$scratch/baseline.log" || true
grep "^FAILED seed" "$scratch/baseline.log" > "$scratch/baseline.failures" || true
echo "unchanged: $(tail -1 "$scratch/baseline.log")"

missed=0

for patch in tools/simulation-faults/*.patch; do
    name=$(basename "$patch" .patch)
    (cd "$copy" && patch --quiet -p1 < "$here/$patch")
    cmake --build "$scratch/build" --target qz_simulation --parallel "$(nproc)" > /dev/null

    log=$scratch/$name.log

    "$scratch/build/tests/qz_simulation" --seeds "$seeds" > "$log" || true
    found=$(grep "^FAILED seed" "$log" | grep -vxF -f "$scratch/baseline.failures" | sort -t' ' -k3 -n | head -1 || true)

    echo "$name: $(head -1 "$patch")"

    if [ -z "$found" ]; then
        echo "    NOT FOUND in $seeds seeds"
        missed=1
    else
        echo "    ${found#FAILED }"
        grep -A1 -xF "$found" "$log" | tail -1
        echo "    $(grep "^FAILED seed" "$log" | grep -cvxF -f "$scratch/baseline.failures") seeds found it; $(tail -1 "$log")"
    fi

    (cd "$copy" && patch --quiet -p1 -R < "$here/$patch")
done

exit $missed
