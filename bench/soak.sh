#!/usr/bin/env bash
# Soak of a live sensor: replays the sequential benchmark capture (many copies of the
# recorded seed of real handshakes, each with its own addresses) with tcpreplay at a
# steady packet rate onto a veth pair between two network namespaces made here, for
# SOAK_MINUTES (default 20), while `varno -i -d 1` listens on the other end. Every minute
# it samples the monitor's resident memory and open file descriptors; at the end it stops
# the monitor with SIGINT and checks:
#   - the rows in the .csv files equal the complete handshakes replayed (the capture's
#     manifest) and libpcap dropped nothing;
#   - one file per minute: each file but the last was closed 60-65 s after it was opened;
#   - no .tmp file is left;
#   - resident memory at the last minute within 5 % of minute 2;
#   - open file descriptors flat from minute 2 on (at most one apart).
# Prints the samples, the figures and one PASS or FAIL line per check.
#
#   bench/soak.sh PATH/TO/varno
#
# Environment: SOAK_MINUTES (default 20, at least 3); SOAK_PPS sets the rate (default: the
# capture's packets spread over the minutes); SOAK_DIR the work directory (default
# build/bench/soak, emptied first). The capture is made by `bench/run.sh` (seed recorded
# if missing). Needs root (namespaces, live capture), tcpreplay, tcpdump, ethtool, iproute2.
# Exit status: 0 when every check passed.
set -euo pipefail

varno=$(realpath "${1:?usage: bench/soak.sh PATH/TO/varno}")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
minutes=${SOAK_MINUTES:-20}
work=${SOAK_DIR:-$root/build/bench/soak}
capture=$root/build/bench/captures/sequential.pcap
manifest=${capture%.pcap}.json

[ -x "$varno" ] || { echo "soak: $varno is not an executable (make build)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "soak: network namespaces and live capture need root" >&2; exit 1; }
[ "$minutes" -ge 3 ] || { echo "soak: SOAK_MINUTES must be at least 3" >&2; exit 1; }
for cmd in tcpreplay tcpdump ethtool ip ss python3; do
  command -v "$cmd" >/dev/null || { echo "soak: $cmd is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
done
VARNO_BENCH_CAPTURES_ONLY=1 "$here/run.sh" "$varno"

packets=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["packets"])' "$manifest")
# A little above the capture's packets over the minutes, so that the last sample falls
# inside the replay and the replay ends soon after it.
pps=${SOAK_PPS:-$(( packets / (minutes * 60 + 20) + 1 ))}

tag=vs$(( $$ % 100000 ))
replay_ns=$tag-r sensor_ns=$tag-s replay_if=${tag}r sensor_if=${tag}s
rm -rf "$work"
mkdir -p "$work/out" "$work/log"
cleanup() {
  [ -n "${replay_pid:-}" ] && kill "$replay_pid" 2>/dev/null || true
  [ -n "${pid:-}" ] && kill -INT "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  ip netns del "$replay_ns" 2>/dev/null || true
  ip netns del "$sensor_ns" 2>/dev/null || true
}
trap cleanup EXIT
ip netns add "$replay_ns"
ip netns add "$sensor_ns"
ip link add "$replay_if" netns "$replay_ns" type veth peer name "$sensor_if" netns "$sensor_ns"
ip -n "$replay_ns" link set "$replay_if" mtu 1500 up
ip -n "$sensor_ns" link set "$sensor_if" mtu 1500 up
# varno -i takes only a device with an address; one outside the capture's.
ip -n "$sensor_ns" addr add 198.19.255.1/30 dev "$sensor_if"

# "ip netns exec" execs the monitor, so $! is its pid.
ip netns exec "$sensor_ns" "$varno" -i "$sensor_if" -o "$work/out" -g "$work/log" -d 1 -s warning \
  2>"$work/varno.err" &
pid=$!
for _ in $(seq 200); do
  ip netns exec "$sensor_ns" ss -0 -p -n | grep -q "pid=$pid," && break
  kill -0 "$pid" 2>/dev/null || { echo "soak: varno did not start: $(cat "$work/varno.err")" >&2; exit 1; }
  sleep 0.1
done
sleep 1  # the filter goes on after the socket is made

echo "soak: $minutes minutes of live replay, $packets packets of $capture at $pps packets/s," \
  "varno -d 1 (load average $(cut -d' ' -f1 /proc/loadavg), $(nproc) CPUs)"
ip netns exec "$replay_ns" tcpreplay -i "$replay_if" --pps="$pps" "$capture" >"$work/tcpreplay.out" 2>&1 &
replay_pid=$!
start=$(date +%s)

# minute, resident KiB, open descriptors, .csv files, lines in .csv and .tmp files
: >"$work/samples"
for m in $(seq "$minutes"); do
  wait_s=$(( start + 60 * m - $(date +%s) ))
  [ "$wait_s" -gt 0 ] && sleep "$wait_s"
  kill -0 "$pid" 2>/dev/null || { echo "soak: varno died at minute $m: $(cat "$work/varno.err")" >&2; exit 1; }
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
  fds=$(ls "/proc/$pid/fd" | wc -l)
  files=$(find "$work/out" -maxdepth 1 -name '*.csv' | wc -l)
  lines=$({ cat "$work"/out/*.csv* 2>/dev/null || true; } | wc -l)  # a file may be renamed meanwhile
  echo "$m $rss $fds $files $lines" >>"$work/samples"
  printf 'minute %2d: resident %7d KiB, %2d open descriptors, %2d .csv files, %7d lines written\n' \
    "$m" "$rss" "$fds" "$files" "$lines"
done

wait "$replay_pid" && replay_status=0 || replay_status=$?
replay_pid=
sleep 12  # the last flows' 10 s, then their rows
kill -INT "$pid"
wait "$pid" && status=0 || status=$?
pid=
sed -n 's/^ *\(Actual\|Rated\): /tcpreplay: \1: /p' "$work/tcpreplay.out"

python3 - "$work" "$manifest" "$minutes" "$status" "$replay_status" <<'PY'
import csv, glob, json, os, re, sys
from datetime import datetime

work, manifest, minutes, status, replay_status = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
expected = json.load(open(manifest))["expected_rows"]
samples = {int(m): (int(rss), int(fds)) for m, rss, fds, _, _ in (l.split() for l in open(f"{work}/samples"))}
files = sorted(glob.glob(f"{work}/out/*.csv"))
rows = 0
for path in files:
    with open(path, newline="", encoding="latin-1") as f:
        rows += sum(1 for _ in csv.reader(f)) - 1
tmp = glob.glob(f"{work}/out/**/*.tmp", recursive=True)
log = "".join(open(p, encoding="latin-1").read() for p in sorted(glob.glob(f"{work}/log/*.log")))
stats = re.findall(r"Capture statistics on \S+.*?: (\d+) received, (\d+) dropped by the kernel, (\d+) dropped by the interface", log)
drops = int(stats[-1][1]) + int(stats[-1][2]) if stats else 0
opened = []
for path in files:
    stamp = re.search(r"_(\d{14})(?:_\d+)?\.csv$", path)
    opened.append(datetime.strptime(stamp.group(1), "%Y%m%d%H%M%S"))
gaps = [(b - a).total_seconds() for a, b in zip(opened, opened[1:])]
rss2, rss_n = samples[2][0], samples[minutes][0]
fds = [samples[m][1] for m in range(2, minutes + 1)]

print(f"rows: {rows:,} in {len(files)} .csv files; complete handshakes replayed: {expected:,}; "
      f"libpcap drops: {drops}; varno exit status {status}, tcpreplay {replay_status}")
print(f"files opened {min(gaps, default=0):.0f} to {max(gaps, default=0):.0f} s apart")
print(f"resident memory: minute 2 {rss2:,} KiB, minute {minutes} {rss_n:,} KiB ({(rss_n - rss2) / rss2:+.1%}), "
      f"highest {max(s[0] for s in samples.values()):,} KiB")
print(f"open descriptors from minute 2: {min(fds)} to {max(fds)}")
checks = [
    ("varno exited with 0 after SIGINT and the replay completed", status == 0 and replay_status == 0),
    (f"rows equal the replayed handshakes ({rows:,} of {expected:,}) with no drops", rows == expected and drops == 0),
    (f"one file per minute ({len(files)} files, each closed 60-65 s after it opened)",
     minutes <= len(files) <= minutes + 2 and all(60 <= g <= 65 for g in gaps)),
    (f"no .tmp file left ({len(tmp)})", not tmp),
    (f"resident memory at minute {minutes} within 5 % of minute 2", abs(rss_n - rss2) <= 0.05 * rss2),
    ("open descriptors flat (at most one apart)", max(fds) - min(fds) <= 1),
]
for text, ok in checks:
    print(("PASS  " if ok else "FAIL  ") + text)
sys.exit(0 if all(ok for _, ok in checks) else 1)
PY
