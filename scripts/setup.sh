#!/usr/bin/env bash
# Installs what building and testing OrvCpp needs, and builds the module into .venv.
# Idempotent: each step checks first and is skipped when already satisfied.
# The environment's interpreter is CPython 3.11 unless ORV_PYTHON names another (3.7+).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source scripts/lib/debian_packages.sh

# A C++ compiler; Boost.Python comes from PyPI (cmeel-boost) into the environment where
# PyPI has it for the interpreter (build_backend/orv_build_backend.py decides).
command -v dpkg-query >/dev/null 2>&1 && need_debian_packages g++

python=""
for candidate in "${ORV_PYTHON:-}" python3.11 /usr/bin/python3.11; do
  [ -n "$candidate" ] || continue
  if command -v "$candidate" >/dev/null 2>&1 &&
    "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 7))' 2>/dev/null; then
    python="$(command -v "$candidate")"
    break
  fi
done
if [ -z "$python" ]; then
  echo "setup: no CPython 3.11 found (python3.11); install it or set ORV_PYTHON to a CPython 3.7+" >&2
  exit 1
fi

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
  # Debian keeps ensurepip, which venv needs, in python3-venv / python3.X-venv.
  if ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    if [[ "$python" == /usr/bin/* ]] && command -v dpkg-query >/dev/null 2>&1; then
      need_debian_packages python3-venv "python$version-venv"
    fi
    if ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
      echo "setup: $python cannot make a virtual environment (no ensurepip); install its venv support (on Debian: python$version-venv)" >&2
      exit 1
    fi
  fi
  echo "setup: creating $venv with $python" >&2
  "$python" -m venv "$venv"
fi

# Python tools: reinstalled only when the declared dependencies change.
deps_stamp="$venv/.orv-deps"
deps_hash="$(sha256sum pyproject.toml | cut -d' ' -f1)"
if [ "$(cat "$deps_stamp" 2>/dev/null)" != "$deps_hash" ]; then
  echo "setup: installing Python tools into $venv" >&2
  extras="$("$venv/bin/python" - <<'PY'
try:
    import tomllib
except ImportError:  # before 3.11: the parser pip carries
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    groups = tomllib.load(f)["project"]["optional-dependencies"]
print("\n".join(sorted({dep for deps in groups.values() for dep in deps})))
PY
)"
  mapfile -t extra_list <<<"$extras"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${extra_list[@]}"
  echo "$deps_hash" >"$deps_stamp"
fi

# The module and the stub package installed with it (rewritten by scripts/gen_stubs.py
# for CPython 3.7): rebuilt only when a source file changes, and then incrementally, in
# the build folder named here (pip alone would build from scratch in a temporary one).
# The folder goes to the build backend through its environment variable rather than
# pip's -C, which the pip that CPython 3.7 brings (22.0) does not know.
build_stamp="$venv/.orv-build"
build_hash="$(cat pyproject.toml CMakeLists.txt scripts/gen_stubs.py \
  $(find build_backend cmake src OrvCpp-stubs -type f -not -name '*.pyc' | sort) |
  sha256sum | cut -d' ' -f1)"
if [ "$(cat "$build_stamp" 2>/dev/null)" != "$build_hash" ] ||
  ! "$venv/bin/python" -c 'import OrvCpp' 2>/dev/null; then
  echo "setup: building OrvCpp" >&2
  SKBUILD_BUILD_DIR='build/{wheel_tag}' "$venv/bin/python" -m pip install -q \
    --disable-pip-version-check --no-build-isolation --no-deps .
  echo "$build_hash" >"$build_stamp"
fi
