#!/usr/bin/env bash
# Speed guard: callgrind instructions per call of two hot rows of bench/dispatch.py (a
# request entry and a replay entry, each reaching a Python override) on .venv's
# interpreter, against the figures in bench/speed_guard.json for that interpreter's
# major.minor version: the whole call and the native code's part of it. Fails when either
# is more than 5% above its reference: dispatch speed rests on inlining ([[gnu::flatten]],
# the inlining budget in CMakeLists.txt) that no test sees go. A version with no
# reference is skipped with a message.
#
#   scripts/check.d/24-speed.sh            measure and compare
#   scripts/check.d/24-speed.sh --record   measure and write this version's reference
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/debian_packages.sh

record=""
case "${1:-}" in
  "") ;;
  --record) record=1 ;;
  *)
    echo "usage: $0 [--record]" >&2
    exit 2
    ;;
esac

rows=("place_order / override" "simulateTickPrice / override")
calls=4000
tolerance=5
references=bench/speed_guard.json
py=.venv/bin/python

scripts/setup.sh
need_debian_packages valgrind
only=()
for row in "${rows[@]}"; do only+=(--only "$row native"); done
measured="$(nice "$py" bench/dispatch.py --callgrind --json --calls "$calls" "${only[@]}")"

# The commit the sources were measured at; marked when the build's inputs differ from it.
commit=""
if [ -n "$record" ]; then
  commit="$(git rev-parse --short=12 HEAD)"
  [ -z "$(git status --porcelain -- src cmake CMakeLists.txt pyproject.toml build_backend)" ] ||
    commit="$commit+uncommitted"
fi

exec "$py" - "$measured" "$references" "$tolerance" "$calls" "$commit" "$record" "${rows[@]}" <<'PY'
import json, sys
measured, path, tolerance, calls, commit, record, *wanted = sys.argv[1:]
tolerance = float(tolerance)
report = json.loads(measured)
version = ".".join(report["python"].split(".")[:2])
# Per row: the whole call, and the native code's own part of it (the module's and
# Boost.Python's instructions, without the interpreter's call site and the override's
# frame), where a lost inline weighs about twice as much.
figures = {row["label"]: {"total": row["instructions_per_call"],
                          "native code": row["parts"]["module"] + row["parts"]["Boost.Python"]}
           for row in report["rows"] if row["kind"] == "native" and row["label"] in wanted}
missing = [label for label in wanted if label not in figures]
if missing:
    sys.exit(f"speed: bench/dispatch.py measured no native row {', '.join(missing)}")
try:
    with open(path) as f:
        stored = json.load(f)
except FileNotFoundError:
    stored = {}


def show(label, now, then=None):
    line = f"speed: {label}: " + ", ".join(f"{part} {value:.0f}" for part, value in now.items())
    line += " instructions per call"
    if then:
        line += "; reference " + ", ".join(
            f"{part} {then[part]} ({now[part] - then[part]:+.0f}, "
            f"{100 * (now[part] - then[part]) / max(then[part], 1):+.1f}%)" for part in now)
    print(line)


if record:
    stored[version] = {"python": report["python"], "commit": commit, "calls": int(calls),
                       "rows": {label: {part: round(value) for part, value in figures[label].items()}
                                for label in wanted}}
    with open(path, "w") as f:
        json.dump(dict(sorted(stored.items())), f, indent=2)
        f.write("\n")
    for label in wanted:
        show(label, figures[label])
    print(f"speed: wrote the reference for CPython {version} ({report['python']}, "
          f"commit {commit}) to {path}")
    sys.exit(0)

reference = stored.get(version)
if reference is None:
    for label in wanted:
        show(label, figures[label])
    print(f"speed: skipped: {path} has no reference for CPython {version} (it has "
          f"{', '.join(sorted(stored)) or 'none'}); figures across versions are not "
          f"comparable; scripts/check.d/24-speed.sh --record writes one")
    sys.exit(0)
print(f"speed: CPython {report['python']} against the reference measured on "
      f"{reference['python']} at commit {reference['commit']}")
if reference.get("calls") != int(calls):
    print(f"speed: the reference was measured with {reference.get('calls')} calls per row, "
          f"this run with {calls}: figures may differ a little for that alone")
failed, lower, unrecorded = [], [], []
for label in wanted:
    then = reference["rows"].get(label)
    if not isinstance(then, dict) or set(then) != set(figures[label]):
        show(label, figures[label])
        unrecorded.append(label)
        continue
    show(label, figures[label], then)
    for part, now in figures[label].items():
        change = 100 * (now - then[part]) / max(then[part], 1)
        if change > tolerance:
            failed.append(f"{label}, {part}: {now:.0f} instructions per call against the "
                          f"reference {then[part]}, {change:+.1f}% (at most +{tolerance:g}%)")
        elif change < -tolerance:
            lower.append(f"{label}, {part}")
for item in lower:
    print(f"speed: {item} is more than {tolerance:g}% below its reference; after a "
          "deliberate change, re-record (scripts/check.d/24-speed.sh --record)")
if unrecorded:
    failed.append(f"{path} has no reference of both parts for {', '.join(unrecorded)} on "
                  f"CPython {version}: record one with scripts/check.d/24-speed.sh --record")
elif failed:
    failed.append("a lost inline? After a deliberate change, re-record with "
                  "scripts/check.d/24-speed.sh --record")
if failed:
    sys.exit("speed: FAILED: " + "; ".join(failed))
print(f"speed: every figure within +{tolerance:g}% of its reference")
PY
