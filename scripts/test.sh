#!/usr/bin/env bash
# The developer's test command: pytest over tests/, then each stage in scripts/test.d/
# (the source layout, type checks) in name order. With arguments, runs only pytest with
# those arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
py=.venv/bin/python
if (($#)); then
  exec "$py" -m pytest "$@"
fi
"$py" -m pytest
for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage")" >&2
  "$stage"
done
