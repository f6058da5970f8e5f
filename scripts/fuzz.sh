#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz") and runs each for SECONDS (default
# 60): the printer-text targets seeded with every frame of the recorded
# printer traffic and guided by fuzz/klipper.dict, the launcher's version test
# with a few driver version texts. Findings are written to
# build/fuzz/findings/; the script fails when any target found one.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_dispatch fuzz_subscription fuzz_status_parsers fuzz_print_job fuzz_printer_identity fuzz_gl_version)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

corpus=build/fuzz/corpus
rm -rf "$corpus" && mkdir -p "$corpus" build/fuzz/findings
n=0
for recording in tests/fixtures/moonraker/*.jsonl; do
    while IFS= read -r frame; do
        printf '%s' "$frame" >"$corpus/frame-$n.json"
        n=$((n + 1))
    done <"$recording"
done

# Numbers written behind 100,000 leading zeros, about 10^900000 (beyond a
# double's range: the full parse refuses it) and 10^5, where the status
# notifications' quick reader reads them, skips them, finds them in the
# configuration and in process statistics. About 100 KB each: the
# printer-text targets take inputs up to 128 KB so that they reach them.
zeros="0.$(printf '%099999d' 0)1"
for exponent in 1000000 100005; do
    number="${zeros}e$exponent"
    status='{"jsonrpc":"2.0","method":"notify_status_update","params":[%s,1.5]}'
    printf "$status" "{\"extruder\":{\"temperature\":$number}}" >"$corpus/long-number-read-$exponent.json"
    printf "$status" "{\"mcu\":{\"x\":$number},\"fan\":{\"speed\":1}}" >"$corpus/long-number-skipped-$exponent.json"
    printf "$status" "{\"configfile\":{\"settings\":{\"fan\":{\"max_power\":$number}}}}" \
        >"$corpus/long-number-settings-$exponent.json"
    printf '{"jsonrpc":"2.0","method":"notify_proc_stat_update","params":[{"cpu_temp":%s}]}' "$number" \
        >"$corpus/long-number-statistics-$exponent.json"
done

# The version target reads four 32-bit numbers (two required versions) and
# then the GL_VERSION text.
gl_corpus=build/fuzz/corpus-gl
rm -rf "$gl_corpus" && mkdir -p "$gl_corpus"
n=0
for text in "4.6.0 NVIDIA 535.54" "3.1 Mesa 23.2.1" "3.2.0 Build 31.0.101.2111" "2.1" "4.5 (Core Profile) Mesa 24.0" ""; do
    printf '\x03\0\0\0\x02\0\0\0\x04\0\0\0\x06\0\0\0%s' "$text" >"$gl_corpus/version-$n"
    n=$((n + 1))
done

failed=()
for target in "${targets[@]}"; do
    echo "=== $target for ${seconds}s"
    work=build/fuzz/work-$target
    rm -rf "$work" && mkdir -p "$work"
    options=(-max_total_time="$seconds" -artifact_prefix=build/fuzz/findings/$target- -print_final_stats=1)
    if [ "$target" = fuzz_gl_version ]; then
        cp "$gl_corpus"/* "$work"/
        options+=(-max_len=4096)
    else
        cp "$corpus"/* "$work"/
        options+=(-max_len=131072 -dict=fuzz/klipper.dict)
    fi
    # pipefail hands the target's status through tail: a crash, a failed
    # property (a trap) or a leak ends it with a non-zero status.
    if ! build/fuzz/fuzz/$target "$work" "${options[@]}" 2>&1 | tail -n 12; then
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "=== fuzz findings in: ${failed[*]} (see build/fuzz/findings/)"
    exit 1
fi
echo "=== fuzz: no findings"
