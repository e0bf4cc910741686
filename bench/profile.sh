#!/usr/bin/env bash
# Profiles the monitor on the sequential benchmark capture (bench/run.sh makes it).
#
#   bench/profile.sh PATH/TO/varno [OPTIONS...]     e.g. bench/profile.sh build/release/varno -c -k -m
#
# Writes to build/bench/profile/OPTIONS/ ("default" without options, "_c__k__m" for -c -k -m):
#   perf.txt       where the time goes (perf sampling on the full capture, all threads), when
#                  perf works here; a virtual machine without hardware counters still has
#                  the cpu-clock timer, which is what this samples
#   callgrind.txt  instruction counts by function, exclusive and inclusive (callgrind on
#                  the first PROFILE_PACKETS packets, default 220000, about two copies of
#                  the seed: callgrind runs about 50 times slower)
# Use a RelWithDebInfo build (make build), so that symbols and inlined frames resolve.
set -euo pipefail

varno=${1:?usage: bench/profile.sh PATH/TO/varno [OPTIONS...]}
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
capture=$root/build/bench/captures/sequential.pcap
name=$(printf '%s' "${*:-default}" | tr -c 'A-Za-z0-9' '_')
out=$root/build/bench/profile/$name
packets=${PROFILE_PACKETS:-220000}

[ -s "$capture" ] || { echo "profile: $capture is missing (run bench/run.sh first)" >&2; exit 1; }
mkdir -p "$out"
varno_copy=$out/varno
cp "$varno" "$varno_copy"

# Reports below cut their listings with head; the early close of a pipe is no error here.
set +o pipefail
squeeze() { sed -E 's/ {3,}/   /g; s/ +$//'; }

if command -v perf >/dev/null && perf record -e cpu-clock -o /dev/null true >/dev/null 2>&1; then
  rm -rf "$out/perf-out"
  perf record -e cpu-clock -F 999 --call-graph dwarf,16384 -o "$out/perf.data" -- \
    "$varno_copy" -p "$capture" -o "$out/perf-out" "$@" 2>"$out/perf-record.log" >/dev/null
  report() { perf report -i "$out/perf.data" --stdio -g none "$@" 2>/dev/null | grep -E '^ +[0-9]' | squeeze; }
  {
    echo "# perf, cpu-clock sampling: $(basename "$varno") $* on sequential.pcap"
    echo "# share of the samples by thread (capture, TLS worker, exporter, log sink)"
    report --no-children --sort pid -n | head -8
    echo
    echo "# self time by function"
    report --no-children --sort dso,symbol --percent-limit 0.7 | head -45
    echo
    echo "# inclusive time by function (children)"
    report --children --sort symbol --percent-limit 3 | head -60
  } >"$out/perf.txt"
  rm -rf "$out/perf-out"
  echo "profile: wrote $out/perf.txt" >&2
else
  echo "profile: perf cannot sample here; callgrind only" >&2
fi

if command -v valgrind >/dev/null; then
  small=$out/sequential-$packets.pcap
  tcpdump -r "$capture" -c "$packets" -w "$small" 2>/dev/null
  rm -rf "$out/callgrind-out"
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    "$varno_copy" -p "$small" -o "$out/callgrind-out" "$@" 2>"$out/callgrind.log"
  annotate() { callgrind_annotate --threshold=99 "$@" "$out/callgrind.out" 2>/dev/null | grep -E '^ *[0-9,]+ ' | squeeze; }
  {
    echo "# callgrind, instructions (Ir) by function: $(basename "$varno") $* on the first $packets packets of sequential.pcap"
    echo "# exclusive"
    annotate | head -45
    echo
    echo "# inclusive"
    annotate --inclusive=yes | head -70
  } >"$out/callgrind.txt"
  rm -rf "$out/callgrind-out" "$small"
  echo "profile: wrote $out/callgrind.txt" >&2
else
  echo "profile: valgrind is missing" >&2
fi
