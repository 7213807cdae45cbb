"""Checks two rules of src/'s layout (docs/architecture.md):

- layers: each folder includes only its own files and those of the folders below it, in
  the order LAYERS gives. A file in a subfolder (src/defences/tick_type/) belongs to the
  top folder. Includes of files outside src/ (the interpreter's, the library's, the
  build's generated headers) are not checked.
- internals: the interpreter's and the library's internals (type slots and flags, the
  object header, private structures and functions, the library's `objects` namespace)
  are named only in src/internals/; everything else calls the named functions there.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Lowest first: a folder may include its own files and those of the folders before it.
LAYERS = ["common", "call_state", "internals", "tick_type", "client", "shutdown",
          "overrides", "entries", "defences", "module"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)

# What only src/internals/ may name. Comments are not read.
INTERNALS = re.compile(r"\btp_|\bob_type\b|\bd_getset\b|\bobjects::|\b_Py")
COMMENT = re.compile(r"//.*")


def folder(path: Path, src: Path) -> str:
    return path.relative_to(src).parts[0]


def sources(src: Path) -> list[Path]:
    return [path for path in sorted(src.rglob("*"))
            if path.suffix in (".h", ".cpp", ".def") and path.is_file()]


def internals_named_outside(src: Path) -> list[str]:
    found = []
    for path in sources(src):
        if folder(path, src) == "internals":
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            match = INTERNALS.search(COMMENT.sub("", line))
            if match:
                found.append(f"{path}:{number}: names {match.group(0)!r} outside src/internals/")
    return found


def layer_violations(src: Path) -> list[str]:
    found = []
    for path in sources(src):
        own = folder(path, src)
        if own not in LAYERS:
            found.append(f"{path}: folder {own!r} has no place in the layers")
            continue
        for included in INCLUDE.findall(path.read_text()):
            target = (path.parent / included).resolve()
            if src.resolve() not in target.parents or not target.exists():
                continue
            other = folder(target, src.resolve())
            if other not in LAYERS:
                found.append(f"{path}: includes {included}, in a folder with no place in the layers")
            elif LAYERS.index(other) > LAYERS.index(own):
                found.append(f"{path}: {own}/ includes {included}, from {other}/ above it")
    return found


def main() -> int:
    src = Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    failed = False
    for found, what in [(layer_violations(src), f"include(s) against the layers ({' < '.join(LAYERS)})"),
                        (internals_named_outside(src), "use(s) of internals outside src/internals/")]:
        for line in found:
            print(line, file=sys.stderr)
        if found:
            print(f"source_layout: {len(found)} {what}", file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
