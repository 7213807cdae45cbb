#!/usr/bin/env bash
# The interpreter matrix: a wheel built, repaired and tested on every CPython found.
exec "$(dirname "$0")/../matrix.sh"
