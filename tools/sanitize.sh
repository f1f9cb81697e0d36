#!/usr/bin/env bash
# Builds everything, JUCE included, once under ThreadSanitizer and once under AddressSanitizer
# with UndefinedBehaviorSanitizer, a build folder each, and runs every test but the long
# real-pace one (the window tests under a virtual X server with openbox). Any report fails
# the run.
# With an argument (tsan or asan) only that one is built and run.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-dependencies.sh

runOne ()
{
    local name=$1 flags=$2
    local folder=build-$name
    local start=$SECONDS

    cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" -DQZ_SIMULATION_SEEDS=$simulationSeeds \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO= -DCMAKE_CXX_FLAGS_RELWITHDEBINFO= \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" > /dev/null
    cmake --build "$folder" --parallel "$(nproc)"
    local built=$SECONDS

    (cd "$folder" && xvfb-run -a ../tools/with-window-manager.sh ctest --output-on-failure --no-tests=error -LE long)
    grep -h "^simulation:" "$folder/Testing/Temporary/LastTest.log" || true
    echo "$name: build $((built - start)) s, tests $((SECONDS - built)) s"
}

# Under ThreadSanitizer the simulation runs some fifty times slower: 50 seeds, each a scenario
# of its own, take it through the sanitizers' checks in about two minutes.
simulationSeeds=50

# Line tables are all a report needs to name functions and lines, and they take far less
# time to build than full debug information; the build type's own -O2 -g would override both.
common="-g1 -O1 -fno-omit-frame-pointer"

# JUCE takes long to build under a sanitizer: a compiler cache, where there is one, keeps
# the second run short.
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="halt_on_error=1 detect_stack_use_after_return=1 strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"

what=${1:-all}

if [ "$what" = all ] || [ "$what" = tsan ]; then
    runOne tsan "$common -fsanitize=thread"
fi

if [ "$what" = all ] || [ "$what" = asan ]; then
    runOne asan "$common -fsanitize=address,undefined -fno-sanitize-recover=undefined"
fi
