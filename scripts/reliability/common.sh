# Shared by the reliability scripts: Debian packages on demand, and instrumented builds of
# the module in their own build and install directories (the module in .venv is never
# touched). Source it; it sets `root`, `py` and cds to the repository.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
py="$root/.venv/bin/python"

# exclusive NAME: holds a lock for the rest of the script, so that two runs of the same
# check in one checkout (a developer's and a test run's) do not share builds and logs.
exclusive() {
  mkdir -p "$root/build"
  exec {_orv_lock}>"$root/build/.reliability-$1.lock"
  if ! flock -n "$_orv_lock"; then
    echo "reliability: waiting for another $1 run in this checkout" >&2
    flock "$_orv_lock"
  fi
}

source "$root/scripts/lib/debian_packages.sh"

# build_module NAME [pip -C options...]: builds the module into build/NAME-site, reusing
# build/NAME for incremental rebuilds, and prints the site directory. Skipped when no
# source or build setting changed since the last build of that flavour.
build_module() {
  local name="$1"
  shift
  local site="$root/build/$name-site" stamp="$root/build/$name-site/.orv-build"
  local hash
  hash="$( (cat pyproject.toml CMakeLists.txt $(find cmake src -type f | sort); echo "$*") |
    sha256sum | cut -d' ' -f1)"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$hash" ] || ! ls "$site"/OrvCpp*.so >/dev/null 2>&1; then
    echo "reliability: building the $name flavour of OrvCpp into $site" >&2
    local started=$SECONDS
    # Called in a command substitution, where a failing command does not end the script
    # by itself: a failed build must end it, not leave the stage to run something else.
    "$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
      --upgrade --target "$site" -C build-dir="build/$name" "$@" . >&2 || {
      echo "reliability: building the $name flavour failed" >&2
      return 1
    }
    echo "$hash" >"$stamp" || return 1
    echo "reliability: built in $((SECONDS - started))s" >&2
  fi
  echo "$site"
}
