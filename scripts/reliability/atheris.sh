#!/usr/bin/env bash
# Coverage-guided fuzzing of call sequences on one instance, with atheris and libFuzzer.
#
#   scripts/reliability/atheris.sh [libFuzzer arguments]   (default: -max_total_time=60)
#
# Builds the module with clang and -fsanitize=fuzzer-no-link (CMake ORV_SANITIZE=fuzzer:
# inline 8-bit edge counters, PC table, comparison and indirect-call tracing) into
# build/fuzz-site, preloads the libFuzzer runtime that atheris ships, and runs
# scripts/reliability/fuzz_calls.py. Instrumented: all code in the OrvCpp module (the
# bindings, argument conversion and arity checks instantiated from Boost.Python's
# headers, the request gateway, simulation feed, override lookup and dispatch) and the
# driver's own Python functions. Not instrumented: libboost_python (overload resolution,
# ArgumentError) and the interpreter. The corpus is kept in build/fuzz-corpus, so runs
# pick up where the last one stopped; a failing input is written to build/fuzz-crashes.
source "$(dirname "$0")/common.sh"
exclusive atheris
scripts/setup.sh
need_debian_packages clang

site="$(build_module fuzz -C cmake.define.CMAKE_CXX_COMPILER=clang++ \
  -C cmake.define.ORV_SANITIZE=fuzzer)"
engine="$("$py" -c 'import atheris; print(atheris.path())')/ubsan_with_fuzzer.so"
corpus="$root/build/fuzz-corpus"
crashes="$root/build/fuzz-crashes"
mkdir -p "$corpus" "$crashes"

(($#)) || set -- -max_total_time=60
started=$SECONDS
# The full log goes to build/fuzz-last.log; the terminal gets the start, the end, the
# statistics and any failure.
set +e
LD_PRELOAD="$engine" PYTHONPATH="$site" "$py" scripts/reliability/fuzz_calls.py \
  -print_final_stats=1 -max_len=2048 -artifact_prefix="$crashes/" "$@" "$corpus" \
  2>&1 | tee build/fuzz-last.log |
  grep -E '^(INFO: Loaded|#[0-9]+\s+(INITED|DONE)|Done|stat::|==|SUMMARY|Traceback|  |[A-Za-z]*Error)'
status=${PIPESTATUS[0]}
set -e
runs="$(grep -o 'stat::number_of_executed_units: [0-9]*' build/fuzz-last.log | grep -o '[0-9]*$' || true)"
coverage="$(grep -o 'cov: [0-9]* ft: [0-9]*' build/fuzz-last.log | tail -n 1 || true)"
echo "atheris: exit status $status; ${runs:-0} inputs run in $((SECONDS - started))s;" \
  "${coverage:-no coverage figure}; corpus $(find "$corpus" -type f | wc -l) inputs" >&2
exit "$status"
