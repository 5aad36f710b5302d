#!/usr/bin/env bash
# Runs the fuzz targets with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) for a given time each, growing the corpora
# in fuzz/corpus/<target>. Findings (crash-*, leak-*, timeout-*) are left in
# build/fuzz/findings/<target>.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      default: 600 s, every target
#   FUZZ_JOBS=2 scripts/fuzz.sh 600            two targets at a time
#   scripts/fuzz.sh --merge [TARGET...]        shrink each corpus to the inputs
#                                              that add coverage
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ALL=(answer firmware scaleconfig dictionary paramfile mapfile layout viewer)

merge=0
if [ "${1:-}" = "--merge" ]; then merge=1; shift; seconds=0
else seconds="${1:-600}"; [ $# -gt 0 ] && shift; fi
targets=("$@"); [ ${#targets[@]} -eq 0 ] && targets=("${ALL[@]}")

GASCAL_EXTRA_PACKAGES="clang libclang-rt-14-dev" CXX=clang++ \
  GASCAL_NINJA_TARGETS="$(printf "fuzz-%s " "${ALL[@]}")" \
  "$top/scripts/setup.sh" build/fuzz -DGASCAL_FUZZ=ON -DGASCAL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++
build="$top/build/fuzz"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_one() {
    local t="$1" corpus="$top/fuzz/corpus/$1" out="$build/findings/$1"
    mkdir -p "$corpus" "$out"
    if [ "$merge" = 1 ]; then
        local tmp; tmp="$(mktemp -d)"
        "$build/fuzz/fuzz-$t" -merge=1 "$tmp" "$corpus" >"$out/merge.log" 2>&1
        rm -f "$corpus"/*; cp "$tmp"/* "$corpus"/; rm -rf "$tmp"
        echo "$t: $(ls "$corpus" | wc -l) inputs after merging"
        return
    fi
    # Grows the corpus in place; -max_len keeps a whole dictionary or a
    # log of a few hundred lines within reach.
    "$build/fuzz/fuzz-$t" "$corpus" -max_total_time="$seconds" -max_len=65536 -timeout=25 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$out/" >"$out/run.log" 2>&1 || true
    local runs; runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/run.log" | grep -o '[0-9]*$' || echo 0)"
    local finds; finds="$(ls "$out" | grep -c -E '^(crash|leak|timeout|oom)-' || true)"
    echo "$t: ${seconds} s, ${runs} inputs run, corpus $(ls "$corpus" | wc -l), findings ${finds}"
}

jobs="${FUZZ_JOBS:-1}"
for t in "${targets[@]}"; do
    run_one "$t" &
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
done
wait
