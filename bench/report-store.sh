#!/usr/bin/env bash
# Times varno-report over the ClickHouse store against varno-report over the same CSV files.
# The monitor writes the rows of the sequential benchmark capture with -c (certificate store);
# they are copied, each copy moved in time after the one before (so the store's hourly
# groups hold what one capture's worth of traffic holds), up to ROWS rows, into one output
# directory. A private clickhouse-server (loopback, free ports, its own data folder under
# the work directory) gets them through scripts/clickhouse/varno_clickhouse_load.py; it is
# then restarted, so that its peak memory is that of the report's queries. Both reports
# write their JSON summaries, which must agree but for their input section.
#
#   bench/report-store.sh PATH/TO/varno-report PATH/TO/varno [ROWS]
#
# ROWS defaults to 10,000,000; VARNO_STORE_BENCH_OPTIONS (default -c) are the monitor's
# options (with -m every row is distinct, the store's worst case). Prints seconds and peak memory of both reports, of the load,
# and the server's peak during the report from the store. Exit status 1 when the summaries
# differ.
set -euo pipefail

report=${1:?usage: bench/report-store.sh VARNO_REPORT VARNO [ROWS]}
varno=${2:?usage: bench/report-store.sh VARNO_REPORT VARNO [ROWS]}
rows=${3:-10000000}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
capture=$root/build/bench/captures/sequential.pcap
work=$root/build/bench/report-store

for tool in "$report" "$varno"; do
  [ -x "$tool" ] || { echo "bench-report-store: $tool is not an executable (make build)" >&2; exit 1; }
done
for tool in /usr/bin/time clickhouse-server clickhouse-client; do
  command -v "$tool" >/dev/null || { echo "bench-report-store: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if [ ! -s "$capture" ]; then
  echo "bench-report-store: making the benchmark captures first" >&2
  VARNO_BENCH_CAPTURES_ONLY=1 "$here/run.sh" "$varno"
fi

server_pid=
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=
}
trap stop_server EXIT

rm -rf "$work"
mkdir -p "$work/seed" "$work/rows" "$work/server"
# shellcheck disable=SC2086 # the options are words
"$varno" -p "$capture" -o "$work/seed" ${VARNO_STORE_BENCH_OPTIONS:--c} >/dev/null

# The copies: the seed's rows, each copy after the one before with a minute between.
python3 - "$work/seed" "$work/rows" "$rows" <<'EOF'
import csv, io, os, sys
from pathlib import Path
seed, out, wanted = Path(sys.argv[1]), Path(sys.argv[2]), int(sys.argv[3])
records = []
for path in sorted(seed.glob("*.csv")):
    with open(path, newline="", encoding="latin-1") as f:
        reader = csv.reader(f)
        header = next(reader)
        for cells in reader:
            text = io.StringIO()
            csv.writer(text, lineterminator="\n").writerow(cells[1:])
            records.append((int(cells[0]), text.getvalue()))
for entry in seed.iterdir():  # the certificate store, shared by every copy
    if entry.is_dir():
        os.symlink(entry.resolve(), out / entry.name)
first = min(t for t, _ in records)
shift = max(t for t, _ in records) - first + 60_000
written, copy = 0, 0
while written < wanted:
    take = records[:wanted - written]
    with open(out / f"output_{copy:05d}.csv", "w", newline="", encoding="latin-1") as f:
        f.write(",".join(header) + "\n")
        f.writelines(f"{t + copy * shift},{rest}" for t, rest in take)
    written += len(take)
    copy += 1
print(f"{written} rows in {copy} files, {len(records)} rows each, {copy * shift / 3.6e6:.1f} hours of traffic")
EOF

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
tcp_port=$(free_port)
http_port=$(free_port)
dir=$work/server
cat >"$dir/users.xml" <<EOF
<yandex><profiles><default/></profiles><quotas><default/></quotas><users><default><password></password>
<networks><ip>127.0.0.1</ip></networks><profile>default</profile><quota>default</quota></default></users></yandex>
EOF
cat >"$dir/config.xml" <<EOF
<yandex>
  <logger><level>warning</level><log>$dir/server.log</log><errorlog>$dir/server.err.log</errorlog></logger>
  <listen_host>127.0.0.1</listen_host>
  <tcp_port>$tcp_port</tcp_port>
  <http_port>$http_port</http_port>
  <path>$dir/data/</path>
  <tmp_path>$dir/data/tmp/</tmp_path>
  <user_files_path>$dir/data/user_files/</user_files_path>
  <format_schema_path>$dir/data/format_schemas/</format_schema_path>
  <mark_cache_size>268435456</mark_cache_size>
  <users_config>$dir/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
</yandex>
EOF
start_server() {
  (cd "$dir" && exec clickhouse-server --config-file="$dir/config.xml" >/dev/null 2>"$dir/stderr") &
  server_pid=$!
  for _ in $(seq 300); do
    clickhouse-client --host 127.0.0.1 --port "$tcp_port" -q 'SELECT 1' >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  echo "bench-report-store: clickhouse-server did not start: $(tail -c 2000 "$dir/stderr")" >&2
  exit 1
}
peak_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

start_server
/usr/bin/time -f '%e %M' -o "$work/time" python3 "$root/scripts/clickhouse/varno_clickhouse_load.py" \
  --host 127.0.0.1 --port "$tcp_port" --create --sensor bench "$work/rows" >"$work/load.log"
read -r load_s load_kib <"$work/time"
stored=$(clickhouse-client --host 127.0.0.1 --port "$tcp_port" -q 'SELECT count() FROM varno.handshakes')
load_peak=$(peak_kib "$server_pid")
stop_server
start_server  # a fresh peak for the report's queries
idle_peak=$(peak_kib "$server_pid")

printf '%-28s %12s %10s %12s\n' "run" "rows" "seconds" "peak MiB"
printf '%-28s %12d %10s %12s   (server peak %s MiB)\n' "load (varno_clickhouse_load)" "$stored" "$load_s" \
  "$(mib "$load_kib")" "$(mib "$load_peak")"
# measure NAME ARGS...: best of two runs (the machine is shared).
measure() {
  local name=$1 best=0 peak=0 t m run
  shift
  for run in 1 2; do
    /usr/bin/time -f '%e %M' -o "$work/time" "$report" --now 2030-01-01 --json "$work/$name.json" "$@" \
      >"$work/$name.txt"
    read -r t m <"$work/time"
    if [ "$best" = 0 ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t peak=$m; fi
  done
  printf '%-28s %12d %10s %12s' "$name" "$stored" "$best" "$(mib "$peak")"
}
measure "report from CSV files" "$work/rows"
echo
measure "report from the store" --clickhouse="127.0.0.1:$http_port"
echo "   (server peak $(mib "$(peak_kib "$server_pid")") MiB, $(mib "$idle_peak") MiB idle)"
groups=$(clickhouse-client --host 127.0.0.1 --port "$tcp_port" -q "SELECT count() FROM (SELECT 1 FROM varno.handshakes
  GROUP BY Sensor, intDiv(toUInt32(ConnectionTime), 3600), ProtocolType, ServerIPAddress, ServerPortNumber,
  TLSVersion, SNI, CipherSuiteCodePoint, TLSKEXParameter, TLS13KEXNamedGroupCodePoint, ServerCertificateChain,
  IsClientAuthRequested, ClientCertificateChain, IsRenegotiated, IsCompressed, HandshakeMessages)")
echo "the store sent $groups groups for $stored rows"

python3 - "$work/report from CSV files.json" "$work/report from the store.json" <<'EOF'
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
del a["input"], b["input"]
if a != b:
    sys.exit("bench-report-store: the summaries differ")
print("the two JSON summaries agree (but for their input section)")
EOF
