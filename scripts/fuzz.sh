#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz, seeds their corpora from the test
# captures and runs each target for SECONDS (default 60). Exits non-zero when a target
# reports a crash, a leak, a timeout or a sanitizer finding; the input that caused it is
# left in build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS]
#   FUZZ_TARGETS="flow" FUZZ_JOBS=2 scripts/fuzz.sh 600
set -euo pipefail

cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets=(${FUZZ_TARGETS:-packet encapsulation flow engine quic dtls})
jobs="${FUZZ_JOBS:-1}"
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNO_BUILD_TESTS=OFF -DVARNO_BUILD_FUZZ=ON -DVARNO_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
cmake --build "$build" -j "${FUZZ_BUILD_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

# fuzz/quic_ngtcp2.pcap: the long-header datagrams of four real ngtcp2 connections, one
# with a Retry (QUIC_LONG_HEADERS_ONLY=1 scripts/record-quic.sh fuzz/quic_ngtcp2.pcap 4).
captures=(tests/data/*.pcap tests/data/*.pcapng examples/demo.pcap fuzz/quic_ngtcp2.pcap)
mkdir -p "$build/corpus/packet" "$build/corpus/encapsulation" "$build/corpus/flow" "$build/corpus/engine" \
    "$build/corpus/quic" "$build/corpus/dtls" "$build/artifacts" "$build/logs"
python3 fuzz/make_seeds.py "$build/corpus/packet" "$build/corpus/flow" --quic "$build/corpus/quic" \
    --dtls "$build/corpus/dtls" "${captures[@]}"
# Recipes of encapsulations: every kind once, and nestings of eight and nine.
for recipe in 00 01 02 12 03 e3 04 05 25 06 07 17 08 68 09 1a 3a "12 08 03 07 06 01 09 05" \
    "12 08 03 07 06 01 09 05 02" "00 00 00 00 00 00 00 00 00"; do
    printf '\xff\xff\x00\x00\x00'"$(printf '\\x%s' $recipe)"'\xff\x16\x03\x01' \
        >"$build/corpus/encapsulation/seed-${recipe// /-}"
done
cp "${captures[@]}" "$build/corpus/engine/"

# The engine target writes its capture and output under TMPDIR; keep that inside the build.
export TMPDIR="$PWD/$build/tmp"
mkdir -p "$TMPDIR"

# Large enough for a 65,535-byte record (in a frame, in segments, in a capture file).
max_len() { case "$1" in packet | quic) echo 65600 ;; *) echo 140000 ;; esac; }

run() {
    local target="$1"
    local log="$build/logs/$target.log"
    echo "fuzz_$target: ${seconds}s"
    if "$build/fuzz/fuzz_$target" "$build/corpus/$target" -max_total_time="$seconds" -timeout=10 \
        -max_len="$(max_len "$target")" -print_final_stats=1 \
        -artifact_prefix="$PWD/$build/artifacts/$target-" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed "s/^/fuzz_$target: /" || true
        return 0
    fi
    echo "fuzz_$target: FINDING (see $log and $build/artifacts/)" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    return 1
}

status=0
pids=()
for target in "${targets[@]}"; do
    run "$target" &
    pids+=($!)
    if [ "${#pids[@]}" -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
rm -rf "$TMPDIR"
exit "$status"
