#!/bin/sh
# Runs the README's Install commands as written (a Release build with the
# tests and Debian's hardening flags, as a packager gets it, then cpack), and
# checks the two packages it makes: lintian --pedantic finds no error and no
# warning in either; songrelay depends on the C library only and
# songrelay-monitor on the C library at least, and recommends a General MIDI
# SoundFont when it synthesizes; their programs, compressed
# manual pages (whose footer names this version), copyright file and
# changelog are where Debian puts them; apt accepts them; the unpacked player
# runs; the install target honours DESTDIR and the prefix and installs
# exactly the files of the FreeBSD port's packing list. The tests are built as the README builds them: cpack's preinstall
# step builds everything, so a test that does not compile stops the package
# too. .ci/run has built and run them in the same directory just before, so
# nothing is compiled twice there.
set -eu
cd "$(dirname "$0")/.."
build=build-package
scratch=$(mktemp -d /tmp/songrelay-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "check-package: $1" >&2; exit 1; }

command -v lintian >/dev/null || fail "lintian is not installed (apt-get install lintian)"
rm -f "$build"/songrelay*.deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DSONGRELAY_DPKG_BUILDFLAGS=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && cpack -G DEB) >"$scratch/cpack" 2>&1 || fail "cpack failed: $(cat "$scratch/cpack")"
player_deb=$(ls "$build"/songrelay_*.deb)
monitor_deb=$(ls "$build"/songrelay-monitor_*.deb)
version=$(dpkg-deb -f "$player_deb" Version)

# The player needs nothing but the C library; the monitor may need more
# (a synthesizer), but the C library it needs in any case.
depends=$(dpkg-deb -f "$player_deb" Depends)
case "$depends" in
  libc6*) ;;
  *) fail "songrelay has unexpected dependencies: $depends" ;;
esac
echo "$depends" | grep -q ',' && fail "songrelay depends on more than the C library: $depends"
monitor_depends=$(dpkg-deb -f "$monitor_deb" Depends)
echo "$monitor_depends" | grep -q 'libc6' || fail "songrelay-monitor does not depend on the C library: $monitor_depends"
# A monitor that synthesizes recommends a General MIDI SoundFont, so that
# an installed monitor is heard.
monitor_recommends=$(dpkg-deb -f "$monitor_deb" Recommends)
if echo "$monitor_depends" | grep -q 'libfluidsynth'; then
  [ "$monitor_recommends" = "timgm6mb-soundfont | sf2-soundfont-gm" ] ||
    fail "songrelay-monitor recommends '$monitor_recommends', not a General MIDI SoundFont"
fi

for deb in "$player_deb" "$monitor_deb"; do
  package=$(dpkg-deb -f "$deb" Package)
  lintian --pedantic --fail-on error,warning --tag-display-limit 0 "$deb" >"$scratch/lintian" 2>&1 ||
    fail "lintian on $deb: $(grep -v 'root privileges' "$scratch/lintian")"
  dpkg -x "$deb" "$scratch/root"
  for path in usr/bin/$package usr/share/man/man1/$package.1.gz \
              usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz; do
    [ -e "$scratch/root/$path" ] || fail "missing $path in $deb"
  done
  gzip -dc "$scratch/root/usr/share/man/man1/$package.1.gz" | grep -qx ".Os songrelay $version" ||
    fail "the manual page of $package does not name songrelay $version in its footer"
done

# What the README's last step does, simulated: apt takes the files and finds
# their dependencies.
if command -v apt-get >/dev/null; then
  apt-get install -s "./$player_deb" "./$monitor_deb" >"$scratch/apt" 2>&1 ||
    fail "apt-get cannot install the packages: $(tail -n 3 "$scratch/apt")"
fi

"$scratch/root/usr/bin/songrelay" -h 2>"$scratch/usage" || fail "songrelay -h failed"
grep -q '^usage: songrelay' "$scratch/usage" || fail "songrelay -h printed no usage screen"

# The install target honours the prefix and DESTDIR.
DESTDIR="$scratch/destdir" cmake --install "$build" --prefix /opt/songrelay >/dev/null
[ -x "$scratch/destdir/opt/songrelay/bin/songrelay" ] || fail "cmake --install ignored DESTDIR or the prefix"
[ -e "$scratch/destdir/opt/songrelay/share/man/man1/songrelay.1.gz" ] || fail "manual page not installed"

# The FreeBSD port's packing list names exactly what the install target
# installs (with its DOCS option on), so that a file added to the install
# cannot be forgotten there.
(cd "$scratch/destdir/opt/songrelay" && find . -type f | sed 's|^\./||' | sort) >"$scratch/installed"
sed -e 's|%%PORTDOCS%%||' -e 's|%%DOCSDIR%%|share/doc/songrelay|' packaging/freebsd/pkg-plist | sort >"$scratch/plist"
cmp -s "$scratch/installed" "$scratch/plist" ||
  fail "packaging/freebsd/pkg-plist differs from what cmake --install installs: $(diff "$scratch/plist" "$scratch/installed" | grep '^[<>]' | tr '\n' ' ')"

for page in man/*.1; do
  warnings=$(groff -mdoc -ww -z "$page" 2>&1) || true
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "check-package: $(basename "$player_deb") depends on '$depends'," \
  "$(basename "$monitor_deb") on '$monitor_depends'; lintian clean; files in place"
