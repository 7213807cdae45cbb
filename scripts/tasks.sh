#!/usr/bin/env bash
set -euo pipefail
cd "$(dirname "$0")/.."
task="${1:-}"
shift || true
py=.venv/bin/python
case "$task" in
  setup) scripts/setup.sh ;;
  example) scripts/setup.sh && exec "$py" examples/replay.py "$@" ;;
  test) scripts/setup.sh && exec scripts/test.sh "$@" ;;
  *)
    echo "usage: ./tasks {example [file]|test [pytest args]|setup}" >&2
    exit 2
    ;;
esac
