#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan + coverage) into
# build-fuzz/ and runs each for a short time from the seed corpus.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
# A crash fails the run and leaves crash-* files in build-fuzz/findings/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
# libFuzzer comes with clang's runtime libraries.
"$root/scripts/install-deps.sh" clang libclang-rt-14-dev
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_FUZZ=ON \
    -DVELMO_BUILD_TESTS=OFF -DVELMO_BUILD_BENCH=OFF >/dev/null
targets=$(cd "$root/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets

seeds="$build/seeds"
rm -rf "$seeds" && "$root/fuzz/make-seeds.sh" "$seeds"
mkdir -p "$build/findings"
failed=0
passed=0
for t in $targets; do
    name="${t#fuzz_}"
    dict=()
    case "$name" in
        markdown) dict=(-dict="$root/fuzz/markdown.dict") ;;
        controlstatus|controlendpoint|eventstream|signaling|restrecords|ctrlmessage|devicelist)
            dict=(-dict="$root/fuzz/json.dict") ;;
    esac
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    seed_dirs=()
    [ -d "$seeds/$name" ] && seed_dirs=("$seeds/$name")
    start=$(date +%s)
    if (cd "$build/findings" && "$build/fuzz/$t" "$corpus" "${seed_dirs[@]}" "${dict[@]}" \
            -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 >"$build/findings/$t.log" 2>&1); then
        passed=$((passed + 1))
        echo "fuzz $t: ok in $(( $(date +%s) - start )) s, $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$build/findings/$t.log" | grep -o '[0-9]*$') runs"
    else
        failed=$((failed + 1))
        echo "fuzz $t: FAILED (log: $build/findings/$t.log)"
        tail -40 "$build/findings/$t.log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
