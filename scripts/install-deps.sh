#!/usr/bin/env bash
# Installs the Debian packages a make target needs; quick when everything is present, and
# runs apt-get update only when something is missing.
#   (no option)  building and running: compiler, CMake, Boost (its headers, Beast among them for
#                the metrics, come with each libboost-*-dev), libpcap, OpenSSL, JSON
#   --test       and the test tools: GoogleTest, real peers (openssl, gnutls, curl, ngtcp2),
#                capture tools (tcpdump, tshark, tcpreplay), chromium and tidy for the
#                report's page, ClickHouse for the loader, dpkg-dev and systemd for the package,
#                python3-jsonschema for the CycloneDX document (its schemas come from npm:
#                scripts/fetch-cyclonedx-schemas.sh), prometheus to scrape the metrics
#   --bench      and the benchmark's tools;  --fuzz  clang;  --package  lintian
# No package may leave a service running: the ClickHouse and Prometheus tests start their own.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-program-options-dev libboost-log-dev libboost-thread-dev
  libboost-filesystem-dev libboost-date-time-dev
  libpcap-dev libssl-dev nlohmann-json3-dev
)
test_tools=(
  libgtest-dev googletest
  tcpdump tshark tcpreplay openssl gnutls-bin curl iproute2 python3 ethtool
  dpkg-dev systemd clickhouse-server clickhouse-client
  chromium tidy fonts-dejavu-core ngtcp2-client ngtcp2-server
  python3-jsonschema jq prometheus
)
case "${1:-}" in
  "") ;;
  --test) packages+=("${test_tools[@]}") ;;
  --package) packages+=(dpkg-dev lintian) ;;
  --fuzz) packages+=(clang libclang-rt-dev tcpdump openssl iproute2 ethtool ngtcp2-client ngtcp2-server) ;;
  --bench) packages+=("${test_tools[@]}" time hyperfine libndpi-bin) ;;
  *) echo "usage: install-deps.sh [--test|--bench|--fuzz|--package]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer it up front.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
# A package's maintainer scripts start its service (clickhouse-server does) unless the
# policy says no; the policy is in place only while installing, and only when none was.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# no service starts while install-deps.sh installs\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  own_policy=1
fi
trap '[ -n "$own_policy" ] && $SUDO rm -f "$policy"' EXIT
$SUDO apt-get update -qq
${SUDO:+$SUDO -E} apt-get install -y -qq --no-install-recommends "${missing[@]}"
