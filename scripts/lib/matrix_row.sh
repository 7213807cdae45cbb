# matrix_row VERSION PYTHON WORK TOOLS [pip -C option...]: one row of the interpreter
# matrix. Builds a wheel of the checkout in the current directory with PYTHON (pip, build
# isolation, warnings as errors as in every build, the -C options given), repairs it with
# TOOLS/auditwheel, installs it into a fresh virtual environment with the test tools, and
# there runs the pytest suite, stubtest and mypy --strict over the installed stub package.
# Logs go to WORK/cp3X/log.txt, repaired wheels to WORK/wheelhouse. Sets `row` to
# "version|boost|wheel tag|tests|result|seconds" and returns 1 when a step failed.
# Source it.
matrix_row() {
  local version="$1" python="$2" work="$3" tools="$4"
  shift 4
  local root_dir="$PWD" started=$SECONDS
  local dir="$work/cp${version/./}" wheelhouse="$work/wheelhouse"
  local log="$dir/log.txt" venv wheel boost="-" tag="-" tests="-" status="ok"
  rm -rf "$dir/venv" "$dir/wheels"
  mkdir -p "$dir" "$wheelhouse"
  : >"$log"
  _row_step() { echo "matrix $version: $1" >&2; echo "== $1" >>"$log"; }
  {
    _row_step "fresh venv with $python" && "$python" -m venv "$dir/venv" >>"$log" 2>&1 &&
      venv="$dir/venv/bin/python" &&
      "$venv" -m pip install -q --disable-pip-version-check -U pip >>"$log" 2>&1 &&
      _row_step "build the wheel${*:+ ($*)}" &&
      nice "$venv" -m pip wheel -q --disable-pip-version-check --no-deps -w "$dir/wheels" \
        -C build-dir="$dir/build" "$@" . >>"$log" 2>&1 &&
      _row_step "auditwheel repair" &&
      PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$wheelhouse" "$dir"/wheels/*.whl \
        >>"$log" 2>&1 &&
      wheel="$(ls -t "$wheelhouse"/orvcpp-*-cp${version/./}-*.whl | head -n 1)" &&
      tag="$(basename "$wheel" .whl | cut -d- -f3-)" &&
      boost="$(unzip -Z1 "$wheel" | sed -n 's#^orvcpp\.libs/libboost_python3[0-9]*-[a-z0-9]*\.so\.##Ip')" &&
      _row_step "install $(basename "$wheel") and the test tools" &&
      "$venv" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis mypy \
        >>"$log" 2>&1 &&
      _row_step "import from the venv, no Boost on any library path" &&
      (cd "$dir" && env -u LD_LIBRARY_PATH "$venv" -c \
        'import OrvCpp, sys; assert OrvCpp.__file__.startswith(sys.prefix), OrvCpp.__file__' \
        >>"$log" 2>&1)
  } || status="build failed"
  if [ "$status" = ok ]; then
    _row_step "pytest"
    env -u LD_LIBRARY_PATH "$venv" -m pytest -p no:cacheprovider -q -m "not no_sanitizer" \
      tests/ >>"$log" 2>&1 || status="tests failed"
    tests="$(pytest_counts "$log")"
    _row_step "stubtest and mypy --strict on the installed stub package"
    (cd "$dir" && "$venv" -m mypy.stubtest OrvCpp --allowlist "$root_dir/scripts/stubtest-allowlist.txt" \
      --allowlist "$root_dir/scripts/stubtest-allowlist-overrides.txt" \
      --allowlist "$root_dir/scripts/stubtest-allowlist-matrix.txt" --ignore-unused-allowlist &&
      "$venv" -m mypy --strict --no-incremental -p OrvCpp) \
      >>"$log" 2>&1 || { [ "$status" = ok ] && status="typing failed" || status="$status, typing failed"; }
  fi
  row="$version|$boost|$tag|$tests|$status|$((SECONDS - started))"
  echo "matrix $version: Boost.Python $boost, $tag, $tests, $status, $((SECONDS - started))s" >&2
  if [ "$status" != ok ]; then
    echo "matrix $version: $status, see $log; its last lines:" >&2
    tail -n 30 "$log" | sed "s/^/matrix $version | /" >&2
    return 1
  fi
}

# pytest_counts LOG: "N passed, M failed" from the last pytest summary line in LOG.
pytest_counts() {
  local summary passed broken=0 count
  summary="$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?)\b.* in [0-9.]+s' "$1" | tail -n 1 || true)"
  passed="$(grep -oE '[0-9]+ passed' <<<"$summary" | cut -d' ' -f1 || true)"
  for count in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$summary" | cut -d' ' -f1 || true); do
    broken=$((broken + count))
  done
  echo "${passed:-0} passed, $broken failed"
}

# print_matrix ROW...: the summary table.
print_matrix() {
  local row version boost tag tests status seconds
  echo
  printf '%-8s %-12s %-36s %-22s %-24s %s\n' CPython Boost.Python "wheel tag" tests result time
  for row in "$@"; do
    IFS='|' read -r version boost tag tests status seconds <<<"$row"
    printf '%-8s %-12s %-36s %-22s %-24s %ss\n' "$version" "$boost" "$tag" "$tests" "$status" "$seconds"
  done
}
