#!/usr/bin/env bash
# Benchmarks the monitor on captures made from real traffic: records a seed of TLS
# handshakes and plaintext HTTP between two network namespaces (once; kept in
# build/bench/seed.pcap) and one of QUIC handshakes (build/bench/quic-seed.pcap, from
# scripts/record-quic.sh), scales them to about 1.5 million packets in a sequential, a
# dense, a VXLAN-wrapped sequential and a QUIC layout (again whenever a seed or
# bench/scale.py changes), then times the
# monitor against the libpcap floor, tshark and ndpiReader, checks its rows against the
# number of complete handshakes and prints the table with the targets met or missed;
# then replays the seed onto a veth pair and compares live capture with tcpdump's
# (live.py; BENCH_LIVE=0 skips it).
#
#   bench/run.sh PATH/TO/varno
#
# Environment: VARNO_BENCH_RECORD=1 records new seeds; VARNO_BENCH_QUIC_CONNECTIONS the
# connections of the QUIC seed (default 200); VARNO_BENCH_PACKETS sets the
# packet target of the full captures (default 1500000); BENCH_RUNS and
# BENCH_TSHARK_RUNS set the rounds (see bench/measure.py); VARNO_BENCH_CAPTURES_ONLY=1
# stops once the captures exist. Recording needs root.
# Exit status: 0 when every check passed, non-zero when one failed or the run broke off.
set -euo pipefail

varno=${1:?usage: bench/run.sh PATH/TO/varno}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
dir=$root/build/bench
seed=$dir/seed.pcap
captures=$dir/captures

[ -x "$varno" ] || { echo "bench: $varno is not an executable (make build)" >&2; exit 1; }
need() {
  for cmd in "$@"; do
    command -v "$cmd" >/dev/null || { echo "bench: $cmd is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
  done
}
need python3 sha1sum
mkdir -p "$dir"

# The seed's complete handshakes, counted by scale.py's own reading and by tshark's, must agree.
seed_ok() {
  python3 "$here/scale.py" count "$1" >"$1.json" || return 1
  python3 - "$1.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
print(f"bench: seed: {s['seed_packets']} packets, {s['seed_connections']} connections, "
      f"{s['seed_complete']} complete handshakes (tshark: {s['tshark_complete']})", file=sys.stderr)
ok = s["seed_complete"] > 0 and s["tshark_complete"] in (None, s["seed_complete"])
sys.exit(0 if ok else 1)
PY
}

# record SEED CHECK RECORDER [ARG...]: records SEED (when missing or VARNO_BENCH_RECORD=1)
# with `RECORDER SEED.tmp ARG...`, up to three times, until CHECK accepts it.
record() {
  local out=$1 check=$2 attempt
  shift 2
  [ -s "$out" ] && [ "${VARNO_BENCH_RECORD:-0}" != 1 ] && return 0
  for attempt in 1 2 3; do
    if "$1" "$out.tmp" "${@:2}" && "$check" "$out.tmp"; then
      mv "$out.tmp.json" "$out.json"
      mv "$out.tmp" "$out"
      return 0
    fi
    echo "bench: recording $(basename "$out"), attempt $attempt failed" >&2
    rm -f "$out.tmp" "$out.tmp.json"
  done
  echo "bench: could not record $(basename "$out")" >&2
  exit 1
}
record "$seed" seed_ok "$here/record-seed.sh"

# Every connection of the QUIC seed must be a handshake, by scale.py's reading and tshark's.
quic_seed_ok() {
  python3 "$here/scale.py" count-quic "$1" >"$1.json" || return 1
  python3 - "$1.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
print(f"bench: QUIC seed: {s['seed_packets']} packets, {s['seed_connections']} connections, "
      f"{s['seed_quic_handshakes']} handshakes (tshark: {s['tshark_quic_handshakes']})", file=sys.stderr)
n = s["seed_quic_handshakes"]
sys.exit(0 if n > 0 and n == s["seed_connections"] and s["tshark_quic_handshakes"] in (None, n) else 1)
PY
}
quic_seed=$dir/quic-seed.pcap
record "$quic_seed" quic_seed_ok "$root/scripts/record-quic.sh" "${VARNO_BENCH_QUIC_CONNECTIONS:-200}"

packets=${VARNO_BENCH_PACKETS:-1500000}
stamp="$(sha1sum "$seed" "$quic_seed" "$here/scale.py" | cut -d' ' -f1 | tr '\n' ' ')$packets"
if [ "$(cat "$captures/stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "bench: making the captures from the seeds" >&2
  rm -rf "$captures"
  python3 "$here/scale.py" make "$seed" "$captures" "$packets"
  python3 "$here/scale.py" make-quic "$quic_seed" "$captures" "$packets"
  echo "$stamp" >"$captures/stamp"
fi

# bench/report.sh and bench/soak.sh only need the captures.
[ "${VARNO_BENCH_CAPTURES_ONLY:-0}" = 1 ] && exit 0
need tcpdump tshark ndpiReader
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }

status=0
python3 "$here/measure.py" "$varno" "$captures" "$dir/work" | tee "$dir/results.txt" || status=1
# Wake-ups of a live capture on an idle link (target: at most 5 context switches a second).
"$here/idle.sh" "$varno" "${BENCH_IDLE_SECONDS:-30}" | tee -a "$dir/results.txt" || status=1
# Hostile load: hello floods, forged QUIC Initials, the seed inside a flood (bench/flood.py).
if [ "${BENCH_FLOOD:-1}" != 0 ]; then
  if [ ! -f "$dir/flood/seed-in-flood.pcap" ] || [ "$seed" -nt "$dir/flood/seed-in-flood.pcap" ] ||
     [ "$here/flood.py" -nt "$dir/flood/seed-in-flood.pcap" ]; then
    python3 "$here/flood.py" make "$dir/flood" "$seed" || status=1
  fi
  echo | tee -a "$dir/results.txt"
  python3 "$here/flood.py" run "$varno" "$dir/flood" "$seed" | tee -a "$dir/results.txt" || status=1
fi
if [ "${BENCH_LIVE:-1}" != 0 ]; then
  echo >>"$dir/results.txt"
  python3 "$here/live.py" "$varno" "$seed" "$dir/live" | tee -a "$dir/results.txt" || status=1
fi
exit $status
