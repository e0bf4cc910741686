#!/usr/bin/env bash
# Times varno-report on the rows of the sequential benchmark capture and prints rows per
# second and peak memory. The monitor first writes the capture's rows twice: with default
# options, and with -c -k -m 1 (certificate store, key shares, raw ClientHellos: the report's
# heaviest path). Each row set is then read as it is and repeated REPEAT times (the same CSV
# under other file names, the same certificate store), so the rows grow while the servers,
# certificates and fingerprints stay the same: peak memory must not grow with them. The
# repeated sets are read once more with --cbom: the CBOM may add at most 20% to the time
# and nothing to the peak memory.
#
#   bench/report.sh PATH/TO/varno-report PATH/TO/varno
#
# Environment: VARNO_REPORT_BENCH_REPEAT (default 20). Target: at least 1,000,000 rows/s on
# the repeated default rows; exit status 1 when it or the memory check fails.
set -euo pipefail

report=${1:?usage: bench/report.sh VARNO_REPORT VARNO}
varno=${2:?usage: bench/report.sh VARNO_REPORT VARNO}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
capture=$root/build/bench/captures/sequential.pcap
work=$root/build/bench/report
repeat=${VARNO_REPORT_BENCH_REPEAT:-20}
target=1000000

for tool in "$report" "$varno"; do
  [ -x "$tool" ] || { echo "bench-report: $tool is not an executable (make build)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench-report: /usr/bin/time is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
if [ ! -s "$capture" ]; then
  echo "bench-report: making the benchmark captures first" >&2
  VARNO_BENCH_CAPTURES_ONLY=1 "$here/run.sh" "$varno"
fi

rm -rf "$work"
mkdir -p "$work"
status=0
printf '%-22s %12s %10s %14s %14s\n' "rows" "count" "seconds" "rows/s" "peak MiB"

# rows_dir NAME VARNO_OPTIONS...: the monitor's output of the capture.
make_rows() {
  local name=$1
  shift
  mkdir -p "$work/$name-x1"
  "$varno" -p "$capture" -o "$work/$name-x1" "$@" >/dev/null
  # The repeated set: the same store, the CSV files again and again under new names.
  mkdir -p "$work/$name-x$repeat"
  cp -r "$work/$name-x1"/. "$work/$name-x$repeat"/
  local i f
  for ((i = 1; i < repeat; i++)); do
    for f in "$work/$name-x1"/*.csv; do
      ln "$f" "$work/$name-x$repeat/copy${i}_$(basename "$f")"
    done
  done
}

# measure SET [OPTION...]: prints a line; sets rate, best and peak.
measure() {
  local name=$1 dir=$work/$1 rows t m run
  shift
  best=0
  rows=$(cat "$dir"/*.csv | grep -vc '^ConnectionTimestamp,' || true)
  for run in 1 2 3; do
    /usr/bin/time -f '%e %M' -o "$work/time" "$report" --now 2030-01-01 --json "$work/summary.json" "$@" "$dir" >/dev/null
    read -r t m <"$work/time"
    # Best of three: the machine is shared.
    if [ "$best" = 0 ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; peak=$m; fi
  done
  rate=$(awk -v r="$rows" -v t="$best" 'BEGIN { printf "%d", (t > 0 ? r / t : r * 100) }')
  printf '%-22s %12d %10s %14d %14.1f\n' "$name${1:+ ${1#--}}" "$rows" "$best" "$rate" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
}

make_rows default
make_rows full -c -k -m 1
for set in default-x1 "default-x$repeat" full-x1 "full-x$repeat"; do
  measure "$set"
  case $set in
    default-x1) small_peak=$peak ;;
    "default-x$repeat")
      big_rate=$rate
      # Memory follows distinct servers and certificates, not rows: 10% slack for the allocator.
      if [ $((peak * 10)) -gt $((small_peak * 11)) ]; then
        echo "bench-report: peak memory grew with the rows: $small_peak KiB -> $peak KiB" >&2
        status=1
      fi ;;
  esac
  # The CBOM beside the JSON: at most 20% more time, and memory as flat.
  case $set in
    *-x"$repeat")
      plain=$best plain_peak=$peak
      measure "$set" --cbom "$work/cbom.json"
      if awk -v a="$best" -v b="$plain" 'BEGIN { exit !(a > b * 1.2) }'; then
        echo "bench-report: --cbom takes more than 20% longer on $set: $plain s -> $best s" >&2
        status=1
      fi
      if [ $((peak * 10)) -gt $((plain_peak * 11)) ]; then
        echo "bench-report: --cbom raised peak memory on $set: $plain_peak KiB -> $peak KiB" >&2
        status=1
      fi ;;
  esac
done
if [ "$big_rate" -lt "$target" ]; then
  echo "bench-report: $big_rate rows/s is below the target of $target" >&2
  status=1
else
  echo "bench-report: target met: $big_rate rows/s (>= $target) on default rows; memory flat in rows"
fi
exit $status
