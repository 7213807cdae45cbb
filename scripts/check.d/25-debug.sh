#!/usr/bin/env bash
# The pytest suite under debug builds of CPython with -X dev: Debian's python3.11-dbg on
# this machine, then python3.14-dbg and python3.15-dbg in the Debian unstable root (as
# root, unless ORV_MATRIX_UNSTABLE=0).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/debug_interpreters.sh 3.11
if [ "$(id -u)" -eq 0 ] && [ "${ORV_MATRIX_UNSTABLE:-1}" != 0 ]; then
  scripts/unstable_root.sh run scripts/debug_interpreters.sh 3.14 3.15
else
  echo "debug: 3.14 and 3.15 skipped (they need root for the Debian unstable root)" >&2
fi
