#!/usr/bin/env bash
# The Debian package end to end: build it, install it with dpkg, run varno from the PATH,
# verify the systemd unit, capture a real handshake as an unprivileged user holding only
# the unit's capabilities, and remove the package again.
# Usage: deb_test.sh SOURCE_DIR. Exits 77 (skipped) where it cannot run.
set -euo pipefail
source_dir=$1

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg dpkg-deb dpkg-shlibdeps systemd-analyze setpriv openssl ss; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
done
if dpkg-query -W -f='${Status}' varno 2>/dev/null | grep -q 'ok installed'; then
  skip "a varno package is installed already; the test does not replace it"
fi
[ ! -e /usr/bin/varno ] || skip "/usr/bin/varno exists outside dpkg; the test does not replace it"

failures=0
check() {  # check MESSAGE COMMAND...
  local message=$1; shift
  if "$@"; then echo "ok      $message"; else echo "FAILED  $message"; failures=$((failures + 1)); fi
}

scratch=$(mktemp -d)
installed=no
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ "$installed" = no ] || dpkg --purge varno >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

deb=$(JOBS=${JOBS:-2} "$source_dir/packaging/deb/build-deb.sh" | tail -n 1)
deb=$source_dir/$deb
echo "built $deb"
dpkg -i "$deb" >/dev/null
installed=yes
dpkg -L varno

# From the PATH, as a user would call it.
help=$(cd / && varno -h)
check "varno -h from the PATH" test "$(command -v varno)" = /usr/bin/varno
check "help names the version" grep -q "^VARNO v[0-9]" <<<"$help"
check "man page installed" test -f /usr/share/man/man1/varno.1.gz

unit=/lib/systemd/system/varno@.service
check "unit installed" test -f "$unit"
# verify loads an instance, so the template is checked as varno@lo.service.
cp "$unit" "$scratch/varno@lo.service"
check "systemd-analyze verify varno@lo.service" systemd-analyze verify "$scratch/varno@lo.service"
# A device named with a dash is enabled under its escaped name (br\x2dlan): varno and the
# directories get the unescaped name (%I), the device unit the escaped one (%i).
escaped=$(systemd-escape br-lan)
cp "$unit" "$scratch/varno@$escaped.service"
check "systemd-analyze verify varno@$escaped.service" systemd-analyze verify "$scratch/varno@$escaped.service"
check "varno gets the unescaped device name" grep -q -- '^ExecStart=/usr/bin/varno -i %I -o /var/lib/varno/%I ' "$unit"
check "the device unit is named escaped" grep -qx 'BindsTo=sys-subsystem-net-devices-%i.device' "$unit"
check "README shipped" test -s /usr/share/doc/varno/README.md.gz

# The unit's capabilities, as setpriv names them: "CAP_NET_RAW CAP_NET_ADMIN" -> "+net_raw,+net_admin".
caps=$(sed -n 's/^AmbientCapabilities=//p' "$unit" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
check "unit grants exactly CAP_NET_RAW and CAP_NET_ADMIN" test "$caps" = "+net_raw,+net_admin"
check "bounding set matches" grep -qx 'CapabilityBoundingSet=CAP_NET_RAW CAP_NET_ADMIN' "$unit"

# Capture on loopback as nobody with only those capabilities, as the service would.
chmod 711 "$scratch"
install -d -o nobody -g nogroup "$scratch/state"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=sensor.test \
  -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs --inh-caps="-all,$caps" \
  --ambient-caps="-all,$caps" --bounding-set="-all,$caps" \
  varno -i lo -o "$scratch/state/lo" -s info 2>"$scratch/varno.err" &
varno_pid=$!
pids+=("$varno_pid")
openssl s_server -accept "127.0.0.1:$port" -cert "$scratch/cert.pem" -key "$scratch/key.pem" -www \
  >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -qs "Listening on" "$scratch/state/lo/varno.log" && ss -ltn | grep -q ":$port " && break
  sleep 0.1
done
timeout 20 openssl s_client -connect "127.0.0.1:$port" -servername sensor.test </dev/null >/dev/null 2>&1 || true
sleep 0.5
kill -TERM "$varno_pid"
status=0
wait "$varno_pid" || status=$?
check "unprivileged capture ends with 0 on SIGTERM (stderr: $(cat "$scratch/varno.err"))" test "$status" -eq 0
rows=$(cat "$scratch"/state/lo/*.csv 2>/dev/null | grep -c ",sensor.test," || true)
check "it wrote the handshake's row ($rows rows)" test "$rows" -eq 1

dpkg --purge varno >/dev/null
installed=no
check "dpkg --purge removes the binary" test ! -e /usr/bin/varno
check "and the unit" test ! -e "$unit"

[ "$failures" -eq 0 ]
