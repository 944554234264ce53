#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root and checks that the
# programs and manual pages are where a distribution puts them, that the
# package depends on the C library only, and that the unpacked player runs.
set -eu
cd "$(dirname "$0")/.."
build=build-package
scratch=$(mktemp -d /tmp/songrelay-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DSONGRELAY_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && rm -f songrelay_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/songrelay_*.deb)

fail() { echo "check-package: $1" >&2; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  libc6*) ;;
  *) fail "unexpected dependencies: $depends" ;;
esac
echo "$depends" | grep -q ',' && fail "depends on more than the C library: $depends"

dpkg -x "$deb" "$scratch/root"
for path in usr/bin/songrelay usr/bin/songrelay-monitor \
            usr/share/man/man1/songrelay.1 usr/share/man/man1/songrelay-monitor.1; do
  [ -e "$scratch/root/$path" ] || fail "missing $path in $deb"
done
"$scratch/root/usr/bin/songrelay" -h 2>"$scratch/usage" || fail "songrelay -h failed"
grep -q '^usage: songrelay' "$scratch/usage" || fail "songrelay -h printed no usage screen"

# The install target honours the prefix and DESTDIR.
DESTDIR="$scratch/destdir" cmake --install "$build" --prefix /opt/songrelay >/dev/null
[ -x "$scratch/destdir/opt/songrelay/bin/songrelay" ] || fail "cmake --install ignored DESTDIR or the prefix"
[ -e "$scratch/destdir/opt/songrelay/share/man/man1/songrelay.1" ] || fail "manual page not installed"

for page in man/*.1; do
  warnings=$(groff -mdoc -ww -z "$page" 2>&1) || true
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "check-package: $(basename "$deb") depends on '$depends'; files in place"
