#!/usr/bin/env bash
# The whole test suite under valgrind memcheck (reliability checks scaled down to 5%):
# no memory error, no byte definitely lost.
exec "$(dirname "$0")/../reliability/valgrind.sh"
