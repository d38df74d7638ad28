#!/bin/sh
# Runs `tavex-cli.exe --simulate info` through Wine again and again and counts the runs that
# connected and read a valid header. Each run starts exchange threads and waits on their flags
# many times, so a thread that never starts or a lost wake-up shows as a failed run.
#
#   tests/windows/run-info-200.sh [TAVEX_CLI_EXE] [RUNS]
set -u
exe=${1:-build-win/cli/tavex-cli.exe}
runs=${2:-200}
[ -f "$exe" ] || { echo "no $exe (build the Windows tavex-cli first)" >&2; exit 2; }

# Through cmake/wine-run: Wine's background processes never get a pipe of ours to hold. A
# running wineserver saves each start its set-up.
run="$(dirname "$0")/../../cmake/wine-run"
wineserver -p </dev/null >/dev/null 2>&1 || true
"$run" "$exe" --help >/dev/null 2>&1 || true

ok=0
i=0
while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    out=$("$run" "$exe" --simulate info 2>/dev/null)
    status=$?
    if [ "$status" -eq 0 ] && printf '%s\n' "$out" | grep -q '^connected: yes' &&
        printf '%s\n' "$out" | grep -q '^header: valid'; then
        ok=$((ok + 1))
    else
        echo "run $i: exit $status" >&2
        printf '%s\n' "$out" >&2
    fi
done
echo "$ok of $runs runs succeeded"
[ "$ok" -eq "$runs" ]
