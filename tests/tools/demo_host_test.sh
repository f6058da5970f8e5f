#!/usr/bin/env bash
# Runs the demo host against its built-in simulated printer with a scripted
# outage and checks, from its plain output, that the printer connected, went
# offline when the simulator stopped, and came back on the next keep-alive
# pass (every 10 s) after the simulator returned.
#
#   demo_host_test.sh [--wine WINE] DEMO
#
# With --wine, DEMO is the Windows program and runs under that Wine loader.
set -euo pipefail
run=()
if [[ "$1" == --wine ]]; then
    run=("$2")
    shift 2
fi
demo=$1
top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
# A log folder whose name is not ASCII, as under such a user profile.
export LC_ALL=C.UTF-8
work="$top/log dir ü"
mkdir "$work"
log_dir=$work
if ((${#run[@]})); then
    log_dir=$("${run[0]}" winepath -w "$work" 2>/dev/null | tr -d '\r')
fi

timeout --kill-after=10 90 "${run[@]}" "$demo" --plain --duration 16 --outage 3:2 --log-dir "$log_dir" --log-level 3 \
    >"$work/out.txt" 2>&1 || { echo "demo host failed:"; cat "$work/out.txt"; exit 1; }

expect_in_order() {
    local from=1 pattern line
    for pattern in "$@"; do
        line=$(tail -n +"$from" "$work/out.txt" | grep -n -m1 -- "$pattern" | cut -d: -f1 || true)
        if [[ -z "$line" ]]; then
            echo "missing, in this order: $pattern"; cat "$work/out.txt"; exit 1
        fi
        from=$((from + line))
    done
}
expect_in_order "link open (1), machine idle (4)" \
                "simulated printer switched off" \
                "link closed (3), machine offline (2)" \
                "simulated printer switched on again" \
                "link not opened (0), machine connecting (1)" \
                "link open (1)" \
                "zorim_demo_host: stopped cleanly"
test -s "$work/plugin-console.txt" || { echo "the plug-in's console lines were not kept"; exit 1; }
ls "$work/log" | grep -q '^debug_network_.*_\.log\.0$' || { echo "no diagnostic log"; exit 1; }
echo "demo host: connected, went offline, came back"
