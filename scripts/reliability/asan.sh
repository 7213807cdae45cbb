#!/usr/bin/env bash
# The whole test suite (tests/) against an ASan+UBSan build of the module.
#
#   scripts/reliability/asan.sh [pytest arguments]    (default: tests/)
#
# The module is built with -fsanitize=address,undefined -fno-sanitize=vptr
# -fno-omit-frame-pointer -fno-sanitize-recover=undefined (CMake ORV_SANITIZE=address)
# into build/asan-site and put first on PYTHONPATH. The ASan runtime and libstdc++ are
# preloaded, Python objects are allocated with malloc (PYTHONMALLOC=malloc) so that ASan
# sees every object, and leak detection is off (the interpreter keeps memory at exit).
# Reports go to build/asan-logs/, one file per process (subprocesses included); the
# script fails if pytest fails or any report was written. ORV_SANITIZED=asan is set, and
# tests marked no_sanitizer are skipped.
source "$(dirname "$0")/common.sh"
exclusive asan
scripts/setup.sh
need_debian_packages g++ libboost-python1.74-dev

# Built against Debian's Boost.Python, used in place (ORV_SYSTEM_BOOST), so that this
# way of building stays exercised too.
site="$(build_module asan -C cmake.define.ORV_SANITIZE=address -C cmake.define.ORV_SYSTEM_BOOST=ON)"
asan_runtime="$(readlink -f "$(g++ -print-file-name=libasan.so)")"
cxx_runtime="$(readlink -f "$(g++ -print-file-name=libstdc++.so)")"
logs="$root/build/asan-logs"
rm -rf "$logs"
mkdir -p "$logs"

export LD_PRELOAD="$asan_runtime $cxx_runtime"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PYTHONMALLOC=malloc
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
export ORV_SANITIZED=asan

# The build under test must be the one imported, and it must be instrumented.
"$py" - "$site" <<'PY'
import os, sys
import OrvCpp
site = os.path.realpath(sys.argv[1])
assert os.path.realpath(os.path.dirname(OrvCpp.__file__)) == site, OrvCpp.__file__
maps = open("/proc/self/maps").read()
assert "libasan" in maps and "libubsan" in maps, "sanitizer runtimes not loaded"
print(f"asan: testing {OrvCpp.__file__}", file=sys.stderr)
PY

started=$SECONDS
status=0
(($#)) || set -- tests/
"$py" -m pytest --capture=sys -p no:cacheprovider -q "$@" || status=$?
shopt -s nullglob
reports=("$logs"/*)
for report in "${reports[@]}"; do
  echo "--- sanitizer report $report" >&2
  cat "$report" >&2
  status=1
done
echo "asan: pytest exit status $status, ${#reports[@]} sanitizer reports, $((SECONDS - started))s" >&2
exit "$status"
