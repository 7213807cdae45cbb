#!/usr/bin/env bash
# The interpreter matrix: for every CPython 3.7+ found (pyenv's ~/.pyenv/versions/* and
# python3.X on PATH), builds a wheel from this checkout with pip and build isolation
# (Boost.Python from PyPI's cmeel-boost for that interpreter, warnings as errors),
# repairs it with auditwheel, installs it into a fresh virtual environment with the
# test tools, and there runs the pytest suite, stubtest and mypy --strict on the stub
# package (scripts/lib/matrix_row.sh). Then the same for CPython 3.14 and 3.15 inside a
# Debian unstable root (scripts/unstable_root.sh, scripts/matrix_unstable.sh), when run
# as root and ORV_MATRIX_UNSTABLE is not 0. A summary table follows at the end; the exit
# status is 1 if any step failed.
#
#   scripts/matrix.sh [3.7 3.13 3.15 ...]     (default: every interpreter found, 3.14, 3.15)
#
# Work goes to build/matrix/ (wheels in build/matrix/wheelhouse, logs per interpreter;
# the unstable root's under its /work/build/matrix). Tests that build wheels themselves
# (marked no_sanitizer) run on the default interpreter only, and the reliability checks'
# call counts and durations are scaled by ORV_RELIABILITY_SCALE (default here 0.2).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
source scripts/lib/matrix_row.sh
tools="$root/.venv/bin"
work="$root/build/matrix"
export ORV_RELIABILITY_SCALE="${ORV_RELIABILITY_SCALE:-0.2}"
unstable_versions=(3.14 3.15)

# Interpreters, one per minor version, preferring pyenv's.
declare -A found=()
for python in "$HOME"/.pyenv/versions/*/bin/python3 $(compgen -c python3. | sort -u); do
  command -v "$python" >/dev/null 2>&1 || continue
  info="$("$python" -c 'import sys, platform
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 7):
    print("%d.%d %s" % (sys.version_info[0], sys.version_info[1], sys.executable))' 2>/dev/null)" || continue
  [ -n "$info" ] || continue
  version="${info%% *}"
  [ -n "${found[$version]:-}" ] || found[$version]="${info#* }"
done
versions=($(printf '%s\n' "${!found[@]}" | sort -t. -k2 -n))
wanted_unstable=()
if [ "$(id -u)" -eq 0 ] && [ "${ORV_MATRIX_UNSTABLE:-1}" != 0 ]; then
  wanted_unstable=("${unstable_versions[@]}")
fi
if (($#)); then
  versions=()
  wanted_unstable=()
  for version in "$@"; do
    if [[ " ${unstable_versions[*]} " == *" $version "* ]] && [ -z "${found[$version]:-}" ]; then
      wanted_unstable+=("$version")
    else
      versions+=("$version")
    fi
  done
fi

rows=()
failed=0
for version in "${versions[@]}"; do
  python="${found[$version]:-}"
  if [ -z "$python" ]; then
    rows+=("$version|-|-|-|not found|0")
    failed=1
    continue
  fi
  matrix_row "$version" "$python" "$work" "$tools" || failed=1
  rows+=("$row")
done

if ((${#wanted_unstable[@]})); then
  echo "matrix: ${wanted_unstable[*]} in the Debian unstable root" >&2
  output="$(scripts/unstable_root.sh run scripts/matrix_unstable.sh "${wanted_unstable[@]}")" || failed=1
  while IFS= read -r line; do
    [[ "$line" == matrix-row\|* ]] && rows+=("${line#matrix-row|}")
  done <<<"$output"
  for version in "${wanted_unstable[@]}"; do
    grep -q "^matrix-row|$version|" <<<"$output" || { rows+=("$version|-|-|-|root failed|0"); failed=1; }
  done
fi

print_matrix "${rows[@]}"
exit "$failed"
