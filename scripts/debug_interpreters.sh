#!/usr/bin/env bash
# The pytest suite under debug builds of CPython (python3.X-dbg), with -X dev: the
# interpreter's own consistency checks (assertions in type creation and reference
# handling, the debug memory allocator, warnings shown) on the module's whole life.
#
#   scripts/debug_interpreters.sh [3.11 3.14 ...]     (default: 3.11)
#
# For each version, the module is built with that debug interpreter by pip into a fresh
# virtual environment in build/debug/cp3Xd/ (Boost.Python from PyPI's cmeel-boost, or
# where PyPI has none for the interpreter the installed one: the build backend decides),
# and the suite runs there without the tests that build wheels themselves, the
# reliability checks scaled by ORV_RELIABILITY_SCALE (default 0.2). Exit status 1 if any
# version failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian_packages.sh
export ORV_RELIABILITY_SCALE="${ORV_RELIABILITY_SCALE:-0.2}"
versions=("$@")
((${#versions[@]})) || versions=(3.11)
failed=0
for version in "${versions[@]}"; do
  started=$SECONDS
  python="python$version-dbg"
  if ! command -v "$python" >/dev/null 2>&1; then
    command -v dpkg-query >/dev/null 2>&1 && need_debian_packages "python$version-dbg" "python$version-venv"
  fi
  command -v dpkg-query >/dev/null 2>&1 && need_debian_packages "python$version-venv"
  dir="build/debug/cp${version/./}d"
  log="$dir/log.txt"
  rm -rf "$dir/venv"
  mkdir -p "$dir"
  : >"$log"
  echo "debug $version: building and installing the module with $python" >&2
  status=ok
  {
    "$python" -m venv "$dir/venv" >>"$log" 2>&1 &&
      "$dir/venv/bin/python" -m pip install -q -U pip pytest hypothesis mypy >>"$log" 2>&1
  } || status="set-up failed"
  if [ "$status" = ok ]; then
    build=(-C build-dir="$dir/build")
    "$dir/venv/bin/python" -m pip install -q --no-deps "${build[@]}" . >>"$log" 2>&1 ||
      status="build failed"
  fi
  if [ "$status" = ok ]; then
    echo "debug $version: pytest under $python -X dev" >&2
    "$dir/venv/bin/python" -X dev -m pytest -p no:cacheprovider -q -m "not no_sanitizer" \
      tests/ >>"$log" 2>&1 || status="tests failed"
  fi
  summary="$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?)\b.* in [0-9.]+s' "$log" | tail -n 1 || true)"
  echo "debug $version: $status${summary:+ ($summary)}, $((SECONDS - started))s; log $PWD/$log" >&2
  if [ "$status" != ok ]; then
    tail -n 40 "$log" >&2
    failed=1
  fi
done
exit "$failed"
