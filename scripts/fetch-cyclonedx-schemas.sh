#!/usr/bin/env bash
# Puts the CycloneDX JSON schemas that varno-report's document is validated against (1.7 and
# the schemas it refers to) into DEST, from the package the CycloneDX project publishes them
# in: res/schema/ of the npm package @cyclonedx/cyclonedx-library (Apache License 2.0).
# Quick when DEST has them already. Usage: fetch-cyclonedx-schemas.sh DEST
set -euo pipefail
dest=${1:?usage: fetch-cyclonedx-schemas.sh DEST}
version=10.3.0
[ -f "$dest/bom-1.7.SNAPSHOT.schema.json" ] && exit 0
command -v npm >/dev/null || { echo "fetch-cyclonedx-schemas: npm is missing" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && npm pack --silent "@cyclonedx/cyclonedx-library@$version" >/dev/null)
tar -xzf "$scratch"/cyclonedx-cyclonedx-library-*.tgz -C "$scratch" --wildcards 'package/res/schema/*.schema.json'
mkdir -p "$dest"
cp "$scratch"/package/res/schema/*.schema.json "$dest/"
