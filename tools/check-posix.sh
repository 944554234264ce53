#!/bin/sh
# Compiles every source file of the programs (src/ and tools/) with clang and
# libc++ in a strict POSIX mode: no GNU extensions in the C library's
# headers, as close to FreeBSD's headers as a Linux machine gets, so that a
# Linux-only call cannot slip in without its guard. Compiling is enough;
# nothing is linked. The tests stay out: libc++'s own <mutex> needs GNU
# extensions on glibc.
#
# Usage: tools/check-posix.sh [CLANG++]   (default clang++)
set -eu
cd "$(dirname "$0")/.."
compiler=${1:-clang++}
command -v "$compiler" >/dev/null || { echo "check-posix: $compiler not found" >&2; exit 1; }

# The same defines as the build, the strict mode, and warnings as errors.
set -- -std=c++17 -stdlib=libc++ -D_POSIX_C_SOURCE=200809L -D_XOPEN_SOURCE=700 -U_GNU_SOURCE \
  -DLIBICONV_PLUG -Wall -Wextra -Werror -fsyntax-only -Isrc -Itools/monitor
failed=0
for source in $(find src tools -name '*.cpp' | sort); do
  "$compiler" "$@" "$source" || { echo "check-posix: $source does not compile in strict POSIX mode" >&2; failed=1; }
done
[ "$failed" = 0 ] || exit 1
echo "check-posix: $(find src tools -name '*.cpp' | wc -l | tr -d ' ') sources compile with $compiler, libc++ and strict POSIX"
