"""The build refuses an interpreter that Boost.Python was not built for."""
import glob
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# Builds with compilers and fresh environments: not under ASan or valgrind.
pytestmark = pytest.mark.no_sanitizer

ROOT = Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")


def other_interpreters():
    found = []
    for pattern in ("/root/.pyenv/versions/3.1[02]*/bin/python3.1?", "/usr/bin/python3.1[02]"):
        found.extend(sorted(glob.glob(pattern)))
    return found[:2]


@pytest.mark.skipif(CMAKE is None, reason="cmake not installed")
@pytest.mark.parametrize("interpreter", other_interpreters() or [pytest.param(
    None, marks=pytest.mark.skip(reason="no CPython other than 3.11 on this machine"))])
def test_mismatched_interpreter_stops_the_build(interpreter, tmp_path):
    result = subprocess.run(
        [CMAKE, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={interpreter}"],
        capture_output=True, text=True, timeout=120)
    version = subprocess.run([interpreter, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                             capture_output=True, text=True).stdout.strip()
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"Boost.Python built for this interpreter, CPython {version}" in message
    assert "installed for CPython: 3.11" in message
