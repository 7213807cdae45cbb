#!/usr/bin/env bash
# A wheel of OrvCpp for the interpreter of .venv (CPython 3.11 unless ORV_PYTHON named
# another when set-up made it), written to wheels/ or the folder given. It comes from the
# incremental build that set-up keeps in build/<wheel tag>, so right after set-up nothing
# is compiled again. Any environment of the same interpreter version installs it without
# a build:
#   pip install --no-index --find-links wheels/ OrvCpp
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-wheels}"
SKBUILD_BUILD_DIR='build/{wheel_tag}' .venv/bin/python -m pip wheel -q --disable-pip-version-check \
  --no-build-isolation --no-deps -w "$out" .
ls "$out"/orvcpp-*.whl
