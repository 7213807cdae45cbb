#!/usr/bin/env bash
# One minute of coverage-guided fuzzing of call sequences (atheris, libFuzzer).
exec "$(dirname "$0")/../reliability/atheris.sh" -max_total_time=60
