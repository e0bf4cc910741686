#!/usr/bin/env bash
# Wake-ups of a live capture on an idle link: runs the monitor on one end of a veth pair
# in a network namespace of its own, where nothing else sends, and counts the context
# switches of all its threads over a window.
#
#   bench/idle.sh PATH/TO/varno [SECONDS]
#
# Prints one line: seconds, voluntary and involuntary switches, switches per second.
# Needs root (namespaces). Exit status 0 when the count was taken.
set -euo pipefail
varno=${1:?usage: bench/idle.sh PATH/TO/varno [SECONDS]}
window=${2:-30}
ns=varno-idle-$$
out=$(mktemp -d)
cleanup() {
  [ -n "${pid:-}" ] && kill -INT "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link add idle0 type veth peer name idle1
ip -n "$ns" link set idle0 up
ip -n "$ns" link set idle1 up
ip -n "$ns" link set lo up

ip netns exec "$ns" "$varno" -i idle0 -o "$out/rows" &
pid=$!
sleep 3  # start-up is not part of the idle figure

switches() {
  local v=0 n=0 a b
  for status in /proc/"$pid"/task/*/status; do
    a=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$status" 2>/dev/null || echo 0)
    b=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$status" 2>/dev/null || echo 0)
    v=$((v + ${a:-0})); n=$((n + ${b:-0}))
  done
  echo "$v $n"
}
read -r v0 n0 < <(switches)
sleep "$window"
read -r v1 n1 < <(switches)
dv=$((v1 - v0)); dn=$((n1 - n0))
awk -v s="$window" -v v="$dv" -v n="$dn" 'BEGIN { printf "idle live capture: %d s, %d voluntary + %d involuntary context switches, %.1f per second\n", s, v, n, (v + n) / s }'
