#!/usr/bin/env bash
# Installs what building and testing OrvCpp needs, and builds the module into .venv.
# Idempotent: each step checks first and is skipped when already satisfied.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

debian_packages=(g++ libboost-python1.74-dev)

missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian's Boost.Python is built for CPython 3.11, so the environment must be 3.11.
python=""
for candidate in "${ORV_PYTHON:-}" python3.11 python3 /usr/bin/python3.11; do
  [ -n "$candidate" ] || continue
  if command -v "$candidate" >/dev/null 2>&1 &&
    "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' 2>/dev/null; then
    python="$candidate"
    break
  fi
done
if [ -z "$python" ]; then
  echo "setup: CPython 3.11 not found (Debian's Boost.Python is built for it); set ORV_PYTHON" >&2
  exit 1
fi

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
  echo "setup: creating $venv" >&2
  "$python" -m venv "$venv"
fi

# Python tools: reinstalled only when the declared dependencies change.
deps_stamp="$venv/.orv-deps"
deps_hash="$(sha256sum pyproject.toml | cut -d' ' -f1)"
if [ "$(cat "$deps_stamp" 2>/dev/null)" != "$deps_hash" ]; then
  echo "setup: installing Python tools into $venv" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "cmake>=3.18" ninja
  extras="$("$venv/bin/python" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    groups = tomllib.load(f)["project"]["optional-dependencies"]
print("\n".join(sorted({dep for deps in groups.values() for dep in deps})))
PY
)"
  mapfile -t extra_list <<<"$extras"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${extra_list[@]}"
  echo "$deps_hash" >"$deps_stamp"
fi

# The module: rebuilt (incrementally, in build/) only when a source file changes.
build_stamp="$venv/.orv-build"
build_hash="$(cat pyproject.toml CMakeLists.txt $(find src -type f | sort) | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$build_stamp" 2>/dev/null)" != "$build_hash" ] ||
  ! "$venv/bin/python" -c 'import OrvCpp' 2>/dev/null; then
  echo "setup: building OrvCpp" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
  echo "$build_hash" >"$build_stamp"
fi
