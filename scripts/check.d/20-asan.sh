#!/usr/bin/env bash
# The whole test suite against the ASan+UBSan build of the module; fails on any report.
exec "$(dirname "$0")/../reliability/asan.sh"
