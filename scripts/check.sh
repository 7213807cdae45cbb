#!/usr/bin/env bash
# The wider checks, each stage in scripts/check.d/ in name order (sanitizers, valgrind,
# fuzzing, the speed guard, the interpreter matrix). With arguments, runs only the stages
# whose file names contain one of them (./tasks check matrix).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
ran=()
for stage in scripts/check.d/*.sh; do
  name="$(basename "$stage" .sh)"
  if (($#)); then
    wanted=""
    for word in "$@"; do [[ "$name" == *"$word"* ]] && wanted=1; done
    [ -n "$wanted" ] || continue
  fi
  echo "== $name" >&2
  stage_started=$SECONDS
  "$stage"
  ran+=("$name $((SECONDS - stage_started))s")
done
if ((${#ran[@]} == 0)); then
  echo "check: no stage matches: $*" >&2
  exit 2
fi
echo "check: passed: ${ran[*]}; $((SECONDS - started))s in all" >&2
