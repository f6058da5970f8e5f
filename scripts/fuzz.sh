#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz") and runs each for SECONDS (default
# 60), seeded with every frame of the recorded printer traffic. Findings are
# written to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

corpus=build/fuzz/corpus
rm -rf "$corpus" && mkdir -p "$corpus" build/fuzz/findings
n=0
for recording in tests/fixtures/moonraker/*.jsonl; do
    while IFS= read -r frame; do
        printf '%s' "$frame" >"$corpus/frame-$n.json"
        n=$((n + 1))
    done <"$recording"
done

for target in fuzz_dispatch fuzz_subscription fuzz_status_parsers fuzz_print_job; do
    echo "=== $target for ${seconds}s"
    work=build/fuzz/work-$target
    rm -rf "$work" && mkdir -p "$work" && cp "$corpus"/* "$work"/
    build/fuzz/fuzz/$target "$work" -max_total_time="$seconds" -max_len=65536 \
        -artifact_prefix=build/fuzz/findings/$target- -print_final_stats=1 2>&1 | tail -n 12
done
