#!/usr/bin/env bash
# Builds the Debian package with dpkg-deb: a hardened release build in build/deb (kept, so a
# second run only relinks what changed), installed under /usr into a staging root.
# Prints the path of the .deb on its last line.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD
build=build/deb
root=$build/root
jobs=${JOBS:-$(nproc)}

version=$(sed -n 's/^project(varno VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog_version=$(dpkg-parsechangelog -l packaging/deb/changelog -S Version)
if [ "$version" != "$changelog_version" ]; then
  echo "packaging/deb/changelog is at $changelog_version, the project at $version: add an entry" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)

# Debian's hardening flags (fortify, stack protector, full RELRO, PIE) on top of the
# release build type.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DVARNO_SYSTEMD_UNIT_DIR=/lib/systemd/system \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags -pie" >/dev/null
cmake --build "$build" -j "$jobs" >&2

rm -rf "$root"
DESTDIR="$root" cmake --install "$build" --strip >/dev/null
# What dh_strip would also drop: the compiler's notes carry nothing a user needs.
strip --remove-section=.comment --remove-section=.note "$root"/usr/bin/*
doc=$root/usr/share/doc/varno
install -d "$doc"
install -m 644 packaging/deb/copyright "$doc/copyright"
gzip -9n -c packaging/deb/changelog >"$doc/changelog.gz"
gzip -9n -c README.md >"$doc/README.md.gz"
find "$root/usr/share/man" -type f -name '*.[1-9]' -exec gzip -9n {} +
# ClickHouse table and loader, for the central store (README: "Running many sensors").
install -d "$root/usr/share/varno/clickhouse"
install -m 644 scripts/clickhouse/schema.sql "$root/usr/share/varno/clickhouse/"
install -m 644 scripts/clickhouse/queries.sql "$root/usr/share/varno/clickhouse/"
install -m 755 scripts/clickhouse/varno_clickhouse_load.py "$root/usr/share/varno/clickhouse/"

# Library dependencies from the binaries; dpkg-shlibdeps wants a debian/control beside it.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/debian"
printf 'Source: varno\n\nPackage: varno\nArchitecture: any\n' >"$scratch/debian/control"
binaries=()
for f in "$root"/usr/bin/*; do binaries+=("-e$source_dir/$f"); done
depends=$(cd "$scratch" && dpkg-shlibdeps -O "${binaries[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

install -d -m 755 "$root/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  packaging/deb/control.in >"$root/DEBIAN/control"
install -m 755 packaging/deb/postinst packaging/deb/postrm "$root/DEBIAN/"
(cd "$root" && find usr lib -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/md5sums"

deb=build/varno_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
