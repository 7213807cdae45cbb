#!/usr/bin/env bash
# The layout of src/ (scripts/lint/source_layout.py): each folder includes only its own
# files and those of the folders below it, and the interpreter's and the library's
# internals are named only in src/internals/. Runs before the type checks: it takes a
# second.
set -euo pipefail
cd "$(dirname "$0")/../.."
py=.venv/bin/python

"$py" scripts/lint/source_layout.py
echo "source layout: ok" >&2
