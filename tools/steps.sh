# Sourced by the longer scripts: names each step as it starts, and at the end lists the time
# each one took.
timings=()
stepName=

step()
{
    finishStep
    stepName=$1
    stepStart=$SECONDS
    echo "== $stepName"
}

finishStep()
{
    if [ -n "$stepName" ]; then
        timings+=("$(printf '%5d s  %s' $((SECONDS - stepStart)) "$stepName")")
    fi
    stepName=
}

printTimings()
{
    finishStep
    echo "== Time taken"
    printf '%s\n' "${timings[@]}"
}
