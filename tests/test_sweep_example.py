"""The sweep example: its process pool and Dask engines give exactly the rows of the
serial run, in the grid's order, and leave no process or warning behind; its table
lists the same rows."""

import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SESSION = EXAMPLES / "data" / "session.csv"
sys.path.insert(0, str(EXAMPLES))

import replay  # noqa: E402
import sweep  # noqa: E402

BANDS, SIZES = (0.5, 1.0), (1, 2)
GRID = ["--bands", ",".join(map(str, BANDS)), "--sizes", ",".join(map(str, SIZES))]

needs_dask = pytest.mark.skipif(
    importlib.util.find_spec("distributed") is None,
    reason="Dask's distributed scheduler is not installed (the test extra brings it on "
           "Python 3.10 and later)")


@pytest.fixture(scope="module")
def serial_rows():
    sessions = [("session.csv", replay.read_session(SESSION))]
    rows = [row for band in BANDS for size in SIZES
            for row in sweep.run_setting((band, size), sessions)]
    assert len({row[3] for row in rows}) > 1   # the settings make different trades
    return rows


def session_processes(session):
    """The live processes (zombies aside) of a session, as {pid: command line}."""
    found = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
            command = (stat.parent / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except OSError:
            continue
        state, _, _, sid = text[text.rindex(")") + 2:].split()[:4]
        if int(sid) == session and state != "Z":
            found[int(stat.parent.name)] = command
    return found


def run_sweep(*args):
    """Runs the example with every warning shown, in a session of its own; returns its
    output once every process of that session is gone."""
    child = subprocess.Popen(
        [sys.executable, "-W", "default", str(EXAMPLES / "sweep.py"), *GRID, *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = child.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        raise
    # A helper of multiprocessing (its resource tracker, or the fork server) ends when it
    # reads the end of its pipe, just after the example exits.
    deadline = time.monotonic() + 60
    while session_processes(child.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert session_processes(child.pid) == {}
    assert child.returncode == 0, err
    assert not re.search(r"warning|error|traceback|exception", err, re.IGNORECASE), err
    return out


@pytest.mark.parametrize("engine", ["process", pytest.param("dask", marks=needs_dask)])
def test_engines_give_exactly_the_serial_rows(serial_rows, engine):
    out = run_sweep("--engine", engine, "--workers", "2", "--json")
    assert json.loads(out) == [list(row) for row in serial_rows]


def test_table_lists_the_rows_in_grid_order(serial_rows):
    out = run_sweep("--engine", "serial", SESSION)
    lines = [line.split() for line in out.splitlines()]
    assert lines == [list(sweep.COLUMNS), *map(sweep.cells, serial_rows)]
    plain = sweep.plain_table(serial_rows).splitlines()
    assert [line.split() for line in plain] == lines
    assert len({len(line) for line in plain}) == 1   # aligned: pnl ends every line


def test_dask_engine_without_dask_says_what_to_install(tmp_path):
    # A module named distributed that cannot be found: find_spec answers None.
    (tmp_path / "sitecustomize.py").write_text("import sys\nsys.modules['distributed'] = None\n")
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "sweep.py"), "--engine", "dask", "-q", *GRID],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(
            filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))})
    assert result.returncode == 2
    assert result.stdout == ""
    assert "pip install 'dask[distributed]'" in result.stderr
