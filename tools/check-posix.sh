#!/bin/sh
# Compiles every source file of the programs (src/ and tools/) with clang and
# libc++ in a strict POSIX mode: no GNU extensions in the C library's
# headers, as close to FreeBSD's headers as a Linux machine gets, so that a
# Linux-only call cannot slip in without its guard. Compiling is enough;
# nothing is linked. The tests stay out.
#
# libc++ 14 on glibc calls pthread_cond_clockwait from its own <mutex> and
# <condition_variable>, a glibc extension that the strict headers do not
# declare (FreeBSD's libc++ never calls it). A forced include declares it
# for libc++'s sake, so that a program source may use the C++ threads; it
# is the only name let through.
#
# Usage: tools/check-posix.sh [CLANG++]   (default clang++)
set -eu
cd "$(dirname "$0")/.."
compiler=${1:-clang++}
command -v "$compiler" >/dev/null || { echo "check-posix: $compiler not found" >&2; exit 1; }

shim=$(mktemp "${TMPDIR:-/tmp}/check-posix-XXXXXX.h")
trap 'rm -f "$shim"' EXIT
cat >"$shim" <<'EOF'
#include <pthread.h>
#include <time.h>
#if defined(__GLIBC__)
extern "C" int pthread_cond_clockwait(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
#endif
EOF

# The same defines as the build, the strict mode, and warnings as errors.
set -- -include "$shim" -std=c++17 -stdlib=libc++ -D_POSIX_C_SOURCE=200809L -D_XOPEN_SOURCE=700 -U_GNU_SOURCE \
  -DLIBICONV_PLUG -Wall -Wextra -Werror -fsyntax-only -Isrc
failed=0
for source in $(find src tools -name '*.cpp' | sort); do
  "$compiler" "$@" "$source" || { echo "check-posix: $source does not compile in strict POSIX mode" >&2; failed=1; }
done
[ "$failed" = 0 ] || exit 1
echo "check-posix: $(find src tools -name '*.cpp' | wc -l | tr -d ' ') sources compile with $compiler, libc++ and strict POSIX"
