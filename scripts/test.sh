#!/usr/bin/env bash
# The whole test suite: pytest over tests/, then each extra check stage in
# scripts/ci.d/ (sanitizer build, type checks, fuzzing, ...) in name order.
# With arguments, runs only pytest with those arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
py=.venv/bin/python
if (($#)); then
  exec "$py" -m pytest "$@"
fi
"$py" -m pytest
for stage in scripts/ci.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage")" >&2
  "$stage"
done
