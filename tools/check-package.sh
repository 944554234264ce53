#!/bin/sh
# Runs the README's Install commands as written (a Release build with the
# tests, as a packager gets it, then cpack), unpacks the package into a
# scratch root and checks that the programs and manual pages are where a
# distribution puts them, that the package depends on the C library only,
# that apt accepts it, and that the unpacked player runs. The tests are built
# as the README builds them: cpack's preinstall step builds everything, so a
# test that does not compile stops the package too. .ci/run has built and run
# them in the same directory just before, so nothing is compiled twice there.
set -eu
cd "$(dirname "$0")/.."
build=build-package
scratch=$(mktemp -d /tmp/songrelay-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

rm -f "$build"/songrelay_*.deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/songrelay_*.deb)

fail() { echo "check-package: $1" >&2; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  libc6*) ;;
  *) fail "unexpected dependencies: $depends" ;;
esac
echo "$depends" | grep -q ',' && fail "depends on more than the C library: $depends"

# What the README's last step does, simulated: apt takes the file and finds
# its dependencies.
if command -v apt-get >/dev/null; then
  apt-get install -s "./$deb" >"$scratch/apt" 2>&1 || fail "apt-get cannot install $deb: $(tail -n 3 "$scratch/apt")"
fi

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
