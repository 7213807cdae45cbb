#!/usr/bin/env bash
# Type checks: the stub package against the built module (stubtest); mypy --strict and
# pyright in strict mode over the stub and every example in examples/ (mypy over the
# scripts too); ruff over the Python source compiled into the module; and what both
# checkers say about the programs in tests/typing/, which show the mistakes the stub lets
# them catch.
#
# The stubs are checked as they are in the source tree: a copy goes to a private
# directory on MYPYPATH, which mypy prefers to the stub package installed beside the
# module, and pyright, run from here, takes OrvCpp-stubs/ itself. The installed module
# (an editable or a plain install alike) is never touched.
set -euo pipefail
cd "$(dirname "$0")/../.."
py=.venv/bin/python
config=pyproject.toml
start=$SECONDS

private="build/typing-stubs"
rm -rf "$private"
mkdir -p "$private/OrvCpp"
cp OrvCpp-stubs/*.pyi "$private/OrvCpp/"
export MYPYPATH="$PWD/$private"

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
"$py" -m mypy --config-file "$config" --strict scripts/gen_stubs.py scripts/typing_verdicts.py \
  scripts/lint/source_layout.py

shopt -s nullglob
examples=(examples/*.py)
if ((${#examples[@]})); then
  echo "typing: mypy --strict ${examples[*]}" >&2
  "$py" -m mypy --config-file "$config" --strict --enable-error-code explicit-override \
    "${examples[@]}"
fi

# pyright's settings are pyproject.toml's [tool.pyright]. Without the variable, its
# wrapper asks PyPI whether a newer release exists.
echo "typing: pyright (strict) OrvCpp-stubs ${examples[*]}" >&2
PYRIGHT_PYTHON_IGNORE_WARNINGS=1 "$py" -m pyright --pythonpath "$PWD/$py" \
  OrvCpp-stubs/*.pyi "${examples[@]}"

# The Python source the module compiles in: ruff's default rules, for the oldest
# interpreter the module builds for.
echo "typing: ruff check src/module/*.py" >&2
"$py" -m ruff check --isolated --target-version py37 src/module/*.py

echo "typing: verdicts of mypy and pyright on tests/typing/" >&2
"$py" scripts/typing_verdicts.py tests/typing/*.py

echo "typing: done in $((SECONDS - start))s" >&2
