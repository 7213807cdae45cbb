"""The build stops, naming the interpreter and what it found, when no Boost.Python fits."""
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
DEBIAN_BOOST_PYTHON = sorted(glob.glob("/usr/lib/*/libboost_python311.so"))


def bare_interpreter():
    """A CPython other than this one, outside any environment with cmeel-boost."""
    for pattern in ("/root/.pyenv/versions/3.1[02]*/bin/python3.1?", "/usr/bin/python3.1[02]"):
        for python in sorted(glob.glob(pattern)):
            if subprocess.run([python, "-c", "import cmeel"], capture_output=True).returncode:
                return python
    return None


INTERPRETER = bare_interpreter()


@pytest.mark.skipif(CMAKE is None or INTERPRETER is None,
                    reason="needs cmake and a CPython 3.10 or 3.12 without cmeel-boost")
@pytest.mark.parametrize("option, found", [
    pytest.param("-DORV_SYSTEM_BOOST=ON", "for: CPython 3.11 (/usr/lib/", marks=pytest.mark.skipif(
        not DEBIAN_BOOST_PYTHON, reason="Debian's libboost-python1.74-dev not installed")),
    ("-DORV_SYSTEM_BOOST=OFF", "cmeel-boost is not installed for that interpreter"),
])
def test_no_fitting_boost_python_stops_the_build(option, found, tmp_path):
    result = subprocess.run(
        [CMAKE, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={INTERPRETER}", option],
        capture_output=True, text=True, timeout=120)
    version = subprocess.run([INTERPRETER, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                             capture_output=True, text=True).stdout.strip()
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"needs Boost.Python built for CPython {version} ({INTERPRETER})" in message
    assert found in message
