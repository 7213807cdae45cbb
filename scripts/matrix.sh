#!/usr/bin/env bash
# The interpreter matrix: for every CPython 3.7+ found (pyenv's ~/.pyenv/versions/* and
# python3.X on PATH), builds a wheel from this checkout with pip and build isolation
# (Boost.Python from PyPI's cmeel-boost for that interpreter, warnings as errors),
# repairs it with auditwheel, installs it into a fresh virtual environment with the
# test tools, and there runs the pytest suite, stubtest and mypy --strict on the stub
# package. A summary table follows at the end; the exit status is 1 if any step failed.
#
#   scripts/matrix.sh [3.7 3.13 ...]     (default: every interpreter found)
#
# Work goes to build/matrix/ (wheels in build/matrix/wheelhouse, logs per interpreter).
# Tests that build wheels themselves (marked no_sanitizer) run on the default
# interpreter only, and the reliability checks' call counts and durations are scaled by
# ORV_RELIABILITY_SCALE (default here 0.2).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
tools="$root/.venv/bin"
work="$root/build/matrix"
wheelhouse="$work/wheelhouse"
mkdir -p "$wheelhouse"
export ORV_RELIABILITY_SCALE="${ORV_RELIABILITY_SCALE:-0.2}"

# Interpreters, one per minor version, preferring pyenv's.
declare -A found=()
for python in "$HOME"/.pyenv/versions/*/bin/python3 $(compgen -c python3. | sort -u); do
  command -v "$python" >/dev/null 2>&1 || continue
  info="$("$python" -c 'import sys, platform
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 7):
    print("%d.%d %s" % (sys.version_info[0], sys.version_info[1], sys.executable))' 2>/dev/null)" || continue
  [ -n "$info" ] || continue
  version="${info%% *}"
  [ -n "${found[$version]:-}" ] || found[$version]="${info#* }"
done
versions=($(printf '%s\n' "${!found[@]}" | sort -t. -k2 -n))
if (($#)); then versions=("$@"); fi

rows=()
failed=0
for version in "${versions[@]}"; do
  python="${found[$version]:-}"
  if [ -z "$python" ]; then
    rows+=("$version|-|-|-|not found|0")
    failed=1
    continue
  fi
  started=$SECONDS
  dir="$work/cp${version/./}"
  log="$dir/log.txt"
  rm -rf "$dir/venv" "$dir/wheels"
  mkdir -p "$dir"
  : >"$log"
  boost="-" tag="-" tests="-" status="ok"
  step() { echo "matrix $version: $1" >&2; echo "== $1" >>"$log"; }
  {
    step "fresh venv with $python" && "$python" -m venv "$dir/venv" >>"$log" 2>&1 &&
      venv="$dir/venv/bin/python" &&
      "$venv" -m pip install -q --disable-pip-version-check -U pip >>"$log" 2>&1 &&
      step "build the wheel" &&
      nice "$venv" -m pip wheel -q --disable-pip-version-check --no-deps -w "$dir/wheels" \
        -C build-dir="$dir/build" -C cmake.define.CMAKE_CXX_FLAGS=-Werror . >>"$log" 2>&1 &&
      step "auditwheel repair" &&
      PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$wheelhouse" "$dir"/wheels/*.whl \
        >>"$log" 2>&1 &&
      wheel="$(ls -t "$wheelhouse"/orvcpp-*-cp${version/./}-*.whl | head -n 1)" &&
      tag="$(basename "$wheel" .whl | cut -d- -f3-)" &&
      boost="$(unzip -Z1 "$wheel" | sed -n 's#^OrvCpp\.libs/libboost_python3[0-9]*-[a-z0-9]*\.so\.##p')" &&
      step "install $(basename "$wheel") and the test tools" &&
      "$venv" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis mypy \
        >>"$log" 2>&1 &&
      step "import from the venv, no Boost on any library path" &&
      (cd "$dir" && env -u LD_LIBRARY_PATH "$venv" -c \
        'import OrvCpp, sys; assert OrvCpp.__file__.startswith(sys.prefix), OrvCpp.__file__' \
        >>"$log" 2>&1)
  } || status="build failed"
  if [ "$status" = ok ]; then
    step "pytest"
    env -u LD_LIBRARY_PATH "$venv" -m pytest -p no:cacheprovider -q -m "not no_sanitizer" \
      tests/ >>"$log" 2>&1 || status="tests failed"
    summary="$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?)\b.* in [0-9.]+s' "$log" | tail -n 1 || true)"
    passed="$(grep -oE '[0-9]+ passed' <<<"$summary" | cut -d' ' -f1 || true)"
    broken=0
    for count in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$summary" | cut -d' ' -f1 || true); do
      broken=$((broken + count))
    done
    tests="${passed:-0} passed, $broken failed"
    step "stubtest and mypy --strict on the installed stub package"
    (cd "$dir" && "$venv" -m mypy.stubtest OrvCpp --allowlist "$root/scripts/stubtest-allowlist.txt" \
      --allowlist "$root/scripts/stubtest-allowlist-matrix.txt" --ignore-unused-allowlist && "$venv" -m mypy --strict --no-incremental -p OrvCpp) \
      >>"$log" 2>&1 || { [ "$status" = ok ] && status="typing failed" || status="$status, typing failed"; }
  fi
  [ "$status" = ok ] || { failed=1; echo "matrix $version: $status, see $log" >&2; }
  rows+=("$version|$boost|$tag|$tests|$status|$((SECONDS - started))")
  echo "matrix $version: Boost.Python $boost, $tag, $tests, $status, $((SECONDS - started))s" >&2
done

echo
printf '%-8s %-12s %-36s %-22s %-24s %s\n' CPython Boost.Python "wheel tag" tests result time
for row in "${rows[@]}"; do
  IFS='|' read -r version boost tag tests status seconds <<<"$row"
  printf '%-8s %-12s %-36s %-22s %-24s %ss\n' "$version" "$boost" "$tag" "$tests" "$status" "$seconds"
done
exit "$failed"
