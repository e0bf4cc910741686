#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmark need
# (libssl-dev for varno-report's certificates; chromium and tidy check its HTML page;
# ngtcp2's client and server make the live QUIC handshakes; ethtool turns segmentation
# offload off where scripts record full-size frames).
# Quick when everything is present; runs apt-get update only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-program-options-dev libboost-log-dev libboost-thread-dev
  libboost-filesystem-dev libboost-date-time-dev
  libpcap-dev libssl-dev nlohmann-json3-dev libgtest-dev googletest
  tcpdump tshark tcpreplay openssl gnutls-bin curl iproute2 python3
  dpkg-dev systemd clickhouse-server clickhouse-client
  libssl-dev chromium tidy fonts-dejavu-core ngtcp2-client ngtcp2-server ethtool
)
# Test-only: python3-jsonschema checks varno-report's CycloneDX document against the
# schemas kept in data/cyclonedx (tests/report/cbom_test.py).
packages+=(python3-jsonschema)
# Extra tools that only `make fuzz`, `make bench` and `make deb` use.
case "${1:-}" in
  --package) packages+=(lintian) ;;
  --fuzz) packages+=(clang libclang-rt-dev) ;;
  --bench) packages+=(time hyperfine libndpi-bin) ;;
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
$SUDO apt-get update -qq
${SUDO:+$SUDO -E} apt-get install -y -qq --no-install-recommends "${missing[@]}"
