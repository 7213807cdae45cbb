#!/usr/bin/env bash
# The whole hostile probe generated from the surface inventory (tests/reliability/probe.py;
# the pytest suite runs a seeded sample of it): first on the release interpreter of
# .venv, then on Debian's python3.11-dbg in development mode (-X dev), with the module
# built by that interpreter as scripts/debug_interpreters.sh builds it.
#
#   scripts/reliability/probe.sh [probe.py arguments]     (default: every case)
#
# ORV_PROBE_CASES=N runs a seeded sample of N cases instead (seed ORV_PROBE_SEED, default
# 0); the debug interpreter, about three times slower, runs a seeded sample of
# ORV_PROBE_DEBUG_CASES (default 15,000; "all" for every case); ORV_PROBE_DEBUG=0 leaves
# it out. The debug build is the one in
# build/debug/cp311d/venv, reused when it is newer than every source and build setting,
# otherwise made again there (virtual environment and pip install, as the debug stage
# does). Exit status 1 if either run found a failure.
source "$(dirname "$0")/common.sh"
exclusive probe
scripts/setup.sh

args=("$@")
if [ -n "${ORV_PROBE_CASES:-}" ]; then
  args+=(--cases "$ORV_PROBE_CASES" --seed "${ORV_PROBE_SEED:-0}")
fi
status=0
started=$SECONDS
echo "probe: release interpreter, $py" >&2
"$py" tests/reliability/probe.py "${args[@]}" || status=1
echo "probe: release run took $((SECONDS - started))s" >&2

[ "${ORV_PROBE_DEBUG:-1}" != 0 ] || exit "$status"
command -v python3.11-dbg >/dev/null 2>&1 || need_debian_packages python3.11-dbg
need_debian_packages python3.11-venv
dir="$root/build/debug/cp311d"
debug="$dir/venv/bin/python"
installed="$(ls "$dir"/venv/lib/python3.11/site-packages/OrvCpp*.so 2>/dev/null | head -n 1 || true)"
if [ -z "$installed" ] || ! "$debug" -c "import OrvCpp" >/dev/null 2>&1 ||
  [ -n "$(find pyproject.toml CMakeLists.txt cmake src build_backend -newer "$installed" -type f | head -n 1)" ]; then
  echo "probe: building the module with python3.11-dbg into $dir/venv" >&2
  rm -rf "$dir/venv"
  mkdir -p "$dir"
  python3.11-dbg -m venv "$dir/venv"
  "$debug" -m pip install -q --disable-pip-version-check -U pip >&2
  "$debug" -m pip install -q --disable-pip-version-check --no-deps -C build-dir="$dir/build" . >&2
fi
started=$SECONDS
echo "probe: debug interpreter, $debug -X dev" >&2
debug_args=("$@")
debug_cases="${ORV_PROBE_DEBUG_CASES:-${ORV_PROBE_CASES:-15000}}"
if [ "$debug_cases" != all ]; then
  debug_args+=(--cases "$debug_cases" --seed "${ORV_PROBE_SEED:-0}")
fi
PYTHONDEVMODE=1 "$debug" tests/reliability/probe.py "${debug_args[@]}" || status=1
echo "probe: debug run took $((SECONDS - started))s" >&2
exit "$status"
