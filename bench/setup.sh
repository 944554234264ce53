#!/bin/sh
# Installs, once, the Debian packages the benchmarks use besides the build's
# own: the peers they compare with (midish, python3-mido, midicsv), Google
# Benchmark for parse_bench, perf for the load profile, util-linux for
# taskset, chrt, prlimit and setpriv, pulseaudio with its utilities for
# the sound module's live path, and the fluidsynth program, whose own player
# plays beside it. Run it as root (or with sudo in front);
# bench/run.sh never installs anything and says what is missing.
set -eu

packages="cmake g++ midish python3-mido midicsv libbenchmark-dev linux-perf util-linux pulseaudio pulseaudio-utils fluidsynth"
if [ "$(id -u)" != 0 ]; then
  echo "setup.sh: run as root (or: sudo $0); it installs: $packages" >&2
  exit 1
fi
apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages
