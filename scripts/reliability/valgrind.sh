#!/usr/bin/env bash
# The test suite under valgrind memcheck: no memory error and no byte definitely lost.
#
#   scripts/reliability/valgrind.sh [pytest arguments]    (default: tests/)
#
# Runs Debian's own python3.11 (clean under memcheck; the module loads in any 3.11) with
# the module built with debug information (RelWithDebInfo) into build/valgrind-site and
# the project's Python tools from .venv. Objects are allocated with malloc
# (PYTHONMALLOC=malloc) so memcheck sees each one. ORV_SANITIZED=valgrind skips tests
# marked no_sanitizer, and ORV_RELIABILITY_SCALE (default here 0.05) shrinks the
# reliability checks' call counts and durations to fit memcheck's slowdown.
source "$(dirname "$0")/common.sh"
exclusive valgrind
scripts/setup.sh
need_debian_packages valgrind python3.11

site="$(build_module valgrind -C cmake.build-type=RelWithDebInfo)"
tools="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
logs="$root/build/valgrind-logs"
rm -rf "$logs"
mkdir -p "$logs"

export PYTHONPATH="$site:$tools"
export PYTHONMALLOC=malloc
export ORV_SANITIZED=valgrind
export ORV_RELIABILITY_SCALE="${ORV_RELIABILITY_SCALE:-0.05}"
# glibc's AVX2 wmemcmp reads whole vectors past the end of a string (never past a page),
# which memcheck reports as invalid reads inside the interpreter's own str compares.
export GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2"

(($#)) || set -- tests/
started=$SECONDS
status=0
# Subprocesses are not traced; forked children stay silent until they exec.
log="$logs/memcheck.log"
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
  --suppressions="$root/scripts/reliability/valgrind.supp" \
  --errors-for-leak-kinds=definite --num-callers=40 --child-silent-after-fork=yes \
  --log-file="$log" \
  /usr/bin/python3.11 -m pytest -p no:cacheprovider -q "$@" || status=$?

errors="$(grep -o 'ERROR SUMMARY: [0-9,]* errors' "$log" | tail -n 1 || true)"
lost="$(grep -o 'definitely lost: [0-9,]* bytes in [0-9,]* blocks' "$log" | tail -n 1 || true)"
if [ "$status" -ne 0 ]; then
  echo "valgrind: memcheck log $log:" >&2
  cat "$log" >&2
fi
echo "valgrind: exit status $status; ${errors:-no error summary};" \
  "${lost:-definitely lost: 0 bytes}; $((SECONDS - started))s" >&2
exit "$status"
