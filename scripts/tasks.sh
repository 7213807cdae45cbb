#!/usr/bin/env bash
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  cat <<'TEXT'
usage: ./tasks TASK [arguments]

  setup                   install what is missing and build the module into .venv
  test [pytest args]      the test suite, the source layout and type checks (a few minutes);
                          with arguments, only pytest with those arguments
  check [stage...]        the wider checks: ASan/UBSan, valgrind, fuzzing, the probe, the
                          speed guard, debug interpreters and the interpreter matrix
                          (scripts/check.d/); or only the stages named
  matrix                  build, repair and test a wheel on every CPython found
  example [file]          replay a recorded session through a sample strategy
  wheel [dir]             a wheel of the module for .venv's interpreter, into wheels/
                          (or dir), from set-up's build: no compile after set-up
TEXT
}
task="${1:-}"
shift || true
py=.venv/bin/python
case "$task" in
  "" | -h | --help | help) usage ;;
  setup) scripts/setup.sh ;;
  example) scripts/setup.sh && exec "$py" examples/replay.py "$@" ;;
  wheel) scripts/setup.sh && exec scripts/wheel.sh "$@" ;;
  test) scripts/setup.sh && exec scripts/test.sh "$@" ;;
  check) scripts/setup.sh && exec scripts/check.sh "$@" ;;
  matrix) exec scripts/matrix.sh "$@" ;;
  *)
    echo "./tasks: unknown task '$task'" >&2
    usage >&2
    exit 2
    ;;
esac
