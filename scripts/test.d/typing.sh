#!/usr/bin/env bash
# Type checks: the stub package against the built module (stubtest), and mypy --strict
# over the stub, its generator and every example in examples/.
#
# The stubs are checked as they are in the source tree: a copy goes to a private
# directory on MYPYPATH, which mypy prefers to the stub package installed beside the
# module. The installed module (an editable or a plain install alike) is never touched.
set -euo pipefail
cd "$(dirname "$0")/../.."
py=.venv/bin/python
config=pyproject.toml
start=$SECONDS

private="build/typing-stubs"
rm -rf "$private"
mkdir -p "$private/OrvCpp"
cp OrvCpp-stubs/__init__.pyi "$private/OrvCpp/__init__.pyi"
export MYPYPATH="$PWD/$private"

echo "typing: generated stub and reference are current" >&2
"$py" scripts/gen_stubs.py --check

echo "typing: stubtest OrvCpp" >&2
"$py" -m mypy.stubtest OrvCpp --mypy-config-file "$config" \
  --allowlist scripts/stubtest-allowlist.txt --allowlist scripts/stubtest-allowlist-overrides.txt

# The oldest Python mypy accepts as a target, and the newest CPython OrvCpp supports.
oldest="$("$py" -c 'import mypy.defaults as d; print("%d.%d" % d.PYTHON3_VERSION_MIN)')"
newest="$(grep -o 'Python :: 3\.[0-9]*"' pyproject.toml | grep -o '3\.[0-9]*' | sort -t. -k2 -n | tail -n 1)"
for version in "$oldest" "$newest"; do
  echo "typing: mypy --strict --python-version $version (stub package, generator)" >&2
  "$py" -m mypy --config-file "$config" --strict --python-version "$version" -p OrvCpp
done
"$py" -m mypy --config-file "$config" --strict scripts/gen_stubs.py

shopt -s nullglob
examples=(examples/*.py)
if ((${#examples[@]})); then
  echo "typing: mypy --strict ${examples[*]}" >&2
  "$py" -m mypy --config-file "$config" --strict "${examples[@]}"
fi

echo "typing: done in $((SECONDS - start))s" >&2
