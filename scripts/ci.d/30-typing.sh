#!/usr/bin/env bash
# Type checks: the stub package against the built module (stubtest), and mypy --strict
# over the stub, its generator and every example in examples/.
set -euo pipefail
cd "$(dirname "$0")/../.."
py=.venv/bin/python
config=pyproject.toml
start=$SECONDS

# Type checkers read the stub package installed beside the module. Set-up reinstalls
# only when the native sources change, so bring a stub-only change in here.
installed="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/OrvCpp-stubs/__init__.pyi"
if ! cmp -s OrvCpp-stubs/__init__.pyi "$installed"; then
  echo "typing: installed stub package is out of date, reinstalling OrvCpp" >&2
  "$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
fi

echo "typing: generated stub and reference are current" >&2
"$py" scripts/gen_stubs.py --check

echo "typing: stubtest OrvCpp" >&2
"$py" -m mypy.stubtest OrvCpp --mypy-config-file "$config" \
  --allowlist scripts/stubtest-allowlist.txt

echo "typing: mypy --strict (stub package, generator)" >&2
"$py" -m mypy --config-file "$config" --strict -p OrvCpp
"$py" -m mypy --config-file "$config" --strict scripts/gen_stubs.py

shopt -s nullglob
examples=(examples/*.py)
if ((${#examples[@]})); then
  echo "typing: mypy --strict ${examples[*]}" >&2
  "$py" -m mypy --config-file "$config" --strict "${examples[@]}"
fi

echo "typing: done in $((SECONDS - start))s" >&2
