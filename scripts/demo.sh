#!/usr/bin/env bash
# Runs the monitor over examples/demo.pcap, shows what it wrote, then runs varno-report (the
# binary beside BINARY) on it: the text summary here, the HTML page and JSON in demo-out/.
# Usage: scripts/demo.sh BINARY   (run from anywhere; output goes to demo-out/ in the source tree)
set -euo pipefail

binary=${1:?usage: demo.sh BINARY}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ -f "$binary" ] && [ -x "$binary" ] || { echo "demo: $binary is not an executable (build it first: make build)" >&2; exit 1; }
binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")

cd "$root"
rm -rf demo-out
echo "\$ ${binary#"$root"/} -p examples/demo.pcap -o demo-out -c -k -m"
status=0
"$binary" -p examples/demo.pcap -o demo-out -c -k -m || status=$?
if [ "$status" -ne 0 ]; then
  echo "demo: the monitor ended with status $status" >&2
  exit "$status"
fi

shopt -s nullglob
csvs=(demo-out/*.csv)
if [ ${#csvs[@]} -eq 0 ]; then
  echo "demo: no CSV file in demo-out/" >&2
  exit 1
fi

# A table of the short columns, then the long ones row by row. The first 19 cells carry no
# commas here (addresses, names, code points, digests, Base64); the 20th is the quoted JSON.
for csv in "${csvs[@]}"; do
  echo
  echo "== $csv: $(($(wc -l <"$csv") - 1)) row(s)"
  table=$(cut -d, -f1-13,15,17,18 "$csv")
  if command -v column >/dev/null; then
    column -s, -t <<<"$table"
  else
    cat <<<"$table"
  fi
  awk -F, 'NR > 1 {
      messages = $0
      for (i = 1; i < 20; i++) sub(/^[^,]*,/, "", messages)
      names = ""
      while (match(messages, /""[A-Za-z]+"":""/)) {
        names = names (names == "" ? "" : " ") substr(messages, RSTART + 2, RLENGTH - 7)
        messages = substr(messages, RSTART + RLENGTH)
      }
      printf "\nrow %d (client port %s):\n", NR - 1, $4
      printf "  ServerCertificateChain  %s\n", ($14 == "" ? "-" : $14)
      printf "  ClientCertificateChain  %s\n", ($16 == "" ? "-" : $16)
      printf "  KeyShareExtension       %s\n", ($19 == "" ? "-" : $19)
      printf "  HandshakeMessages       %s\n", (names == "" ? "-" : names)
    }' "$csv"
done

echo
echo "== stored certificates"
find demo-out -name '*.pem' | sort | while read -r pem; do
  subject=$(openssl x509 -in "$pem" -noout -subject 2>/dev/null || true)
  echo "$pem${subject:+  ($subject)}"
done
echo
echo "Full rows: cat ${csvs[*]}"

report=$(dirname "$binary")/varno-report
if [ ! -x "$report" ]; then
  echo "demo: $report is missing (make build builds it)" >&2
  exit 1
fi
echo
echo "\$ ${report#"$root"/} demo-out"
"$report" demo-out
"$report" -o demo-out/report.html --json demo-out/summary.json demo-out
echo
echo "HTML report: $root/demo-out/report.html   (JSON summary: demo-out/summary.json)"
