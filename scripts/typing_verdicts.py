#!/usr/bin/env python3
"""Checks what mypy and pyright say about programs written against the stubs.

    python scripts/typing_verdicts.py PROGRAM...

Each line of a program that the checkers must reject ends in a comment naming the error
code that each of them reports there:

    def tickprice(self, ...) -> None:  # E: mypy[misc] pyright[reportGeneralTypeIssues]

A program passes when each checker reports exactly the errors its comments name, on
their lines, and nothing else, so a program without such comments must pass both.
mypy runs with pyproject.toml's settings, --strict and the error code explicit-override;
pyright with pyproject.toml's [tool.pyright] settings. Both run from the project's root:
there pyright takes the stub package OrvCpp-stubs/ beside the programs, and mypy the
stub found on MYPYPATH (scripts/test.d/typing.sh puts a copy of the same stub there).
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# (path, line, checker, code)
Verdict = tuple[str, int, str, str]

_EXPECTED = re.compile(r"#\s*E:(.*)$")
_CODE = re.compile(r"\b(mypy|pyright)\[([\w-]+)\]")


def expected(programs: list[Path]) -> set[Verdict]:
    verdicts = set()
    for program in programs:
        for number, line in enumerate(program.read_text().splitlines(), 1):
            comment = _EXPECTED.search(line)
            if comment:
                for checker, code in _CODE.findall(comment.group(1)):
                    verdicts.add((str(program), number, checker, code))
    return verdicts


def run(command: list[str], env: dict[str, str] | None = None) -> str:
    result = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True)
    if result.returncode not in (0, 1):  # 1: the program has errors; more: the checker failed
        sys.exit(f"typing_verdicts: {' '.join(command)} failed ({result.returncode}):\n"
                 f"{result.stdout}{result.stderr}")
    return result.stdout


def mypy_verdicts(programs: list[Path]) -> set[Verdict]:
    output = run([sys.executable, "-m", "mypy", "--config-file", "pyproject.toml", "--strict",
                  "--enable-error-code", "explicit-override", "--output", "json",
                  *map(str, programs)])
    verdicts = set()
    for line in output.splitlines():
        report = json.loads(line)
        if report["severity"] == "error":
            verdicts.add((report["file"], int(report["line"]), "mypy", str(report["code"])))
    return verdicts


def pyright_verdicts(programs: list[Path]) -> set[Verdict]:
    # Without the variable, pyright's wrapper asks PyPI whether a newer release exists.
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    output = run([sys.executable, "-m", "pyright", "--pythonpath", sys.executable,
                  "--outputjson", *map(str, programs)], env)
    verdicts = set()
    for report in json.loads(output)["generalDiagnostics"]:
        if report["severity"] in ("error", "warning"):
            path = os.path.relpath(report["file"], ROOT)
            line = int(report["range"]["start"]["line"]) + 1
            verdicts.add((path, line, "pyright", str(report.get("rule", report["message"]))))
    return verdicts


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    programs = [Path(os.path.relpath(Path(p).resolve(), ROOT)) for p in argv]
    wanted = expected(programs)
    got = mypy_verdicts(programs) | pyright_verdicts(programs)
    for path, line, checker, code in sorted(wanted - got):
        print(f"{path}:{line}: {checker} does not report {code}")
    for path, line, checker, code in sorted(got - wanted):
        print(f"{path}:{line}: {checker} reports {code}, which is not expected")
    if wanted != got:
        return 1
    print(f"typing_verdicts: mypy and pyright give the expected verdicts on "
          f"{len(programs)} programs")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
