"""The distribution: `python -m build` makes an sdist and, from it, a wheel; the wheel
installs into a fresh virtual environment and imports there, with its stub package found
by mypy; `pip install` of the source tree builds and installs on its own.

Slow for a unit test (two native builds and two environments, about 40 s in all); skip
it with `--deselect tests/test_packaging.py` while iterating on other code.
"""

import email.parser
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

pytest.importorskip("build", reason="the build frontend is in the 'typing' extra")

# Builds with compilers and fresh environments: not under ASan or valgrind.
pytestmark = pytest.mark.no_sanitizer

try:
    import tomllib
except ImportError:  # before 3.11: the parser pip carries
    from pip._vendor import tomli as tomllib

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
DIST_NAME = f"{PROJECT['name'].lower()}-{PROJECT['version']}"
STUBS = sorted(f"OrvCpp-stubs/{p.name}" for p in (ROOT / "OrvCpp-stubs").glob("*.pyi"))

# Run inside the fresh environment, away from the source tree.
IMPORT_CHECK = """
import OrvCpp, sys
assert OrvCpp.__file__.startswith(sys.prefix), OrvCpp.__file__
assert sorted(n for n in vars(OrvCpp) if not n.startswith("__")) == ["OrvClient", "TickType"]
assert OrvCpp.TickType.NOT_SET == 103 and len(OrvCpp.TickType.names) == 59

class Connection(OrvCpp.OrvClient):
    def __init__(self):
        super().__init__()
        self.orders = []
    def placeOrder(self, order_id, contract, order):
        self.orders.append((order_id, contract, order))

client = Connection()
client.place_order(7, "contract", b"order")
assert client.orders == [(7, "contract", "order")], client.orders
print("imported", OrvCpp.__file__)
"""


def run(*command, cwd=None):
    result = subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True)
    assert result.returncode == 0, (
        f"{' '.join(map(str, command))} failed ({result.returncode}):\n"
        f"{result.stdout[-4000:]}\n{result.stderr[-4000:]}")
    return result.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """An sdist and the wheel built from it, with the build tools of this environment."""
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT)
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


def fresh_venv(path):
    # Made from the base interpreter even when the tests run inside a venv.
    run(sys.executable, "-m", "venv", path)
    return path / "bin" / "python"


def test_sdist_has_everything_needed_to_build(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        names = {Path(n).relative_to(DIST_NAME).as_posix() for n in archive.getnames()
                 if n != DIST_NAME}
    needed = {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "PKG-INFO", *STUBS}
    needed |= {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert needed <= names, f"missing from the sdist: {sorted(needed - names)}"
    assert not any(n.split("/")[0] in ("build", ".venv", ".git") for n in names)


def test_wheel_contents_and_metadata(dist):
    _, wheel = dist
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = f"{DIST_NAME}.dist-info"
        metadata = email.parser.Parser().parsestr(archive.read(f"{info}/METADATA").decode())
        stubs = {name: archive.read(name) for name in STUBS}
        license_text = archive.read(f"{info}/licenses/LICENSE")
    tag = "cp%d%d" % sys.version_info[:2]
    assert wheel.name.startswith(f"{DIST_NAME}-{tag}-{tag}")
    modules = [n for n in names if n.startswith("OrvCpp.") and n.endswith(".so")]
    assert modules == [n for n in modules if "/" not in n] and len(modules) == 1
    # Boost.Python travels with the module under a name of its own.
    assert any(n.startswith("OrvCpp.libs/libboost_python3") and "-orvcpp.so" in n for n in names)
    # The stub package ships exactly as committed, and nothing else goes with it.
    assert "OrvCpp-stubs/__init__.pyi" in STUBS
    assert stubs == {name: (ROOT / name).read_bytes() for name in STUBS}
    assert sorted(n for n in names if n.startswith("OrvCpp-stubs/")) == STUBS
    assert license_text == (ROOT / "LICENSE").read_bytes()
    assert metadata["Name"] == "OrvCpp"
    assert metadata["Version"] == PROJECT["version"]
    assert metadata["Summary"] == PROJECT["description"]
    assert metadata["License"] == "MIT"
    assert metadata["Requires-Python"] == ">=3.7"
    # Run time needs nothing beside the module: every requirement belongs to an extra.
    assert all("extra ==" in r for r in metadata.get_all("Requires-Dist") or [])
    classifiers = metadata.get_all("Classifier")
    for expected in ("Typing :: Typed", "License :: OSI Approved :: MIT License",
                     *("Programming Language :: Python :: 3.%d" % v for v in range(7, 14))):
        assert expected in classifiers


def test_every_bundled_library_is_one_the_module_binds_symbols_to(dist, tmp_path):
    """OrvCpp.libs holds only what the module loads: importing the unpacked wheel with
    every symbol bound at load (LD_BIND_NOW), the loader's report (LD_DEBUG) names each
    bundled library as the place where another file finds at least one symbol."""
    _, wheel = dist
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(tmp_path)
    bundled = {p.resolve() for p in (tmp_path / "OrvCpp.libs").iterdir()}
    result = subprocess.run([sys.executable, "-c", "import OrvCpp"], cwd=tmp_path, text=True,
                            capture_output=True,
                            env={**os.environ, "LD_DEBUG": "bindings", "LD_BIND_NOW": "1"})
    assert result.returncode == 0, result.stderr[-4000:]
    bindings = re.findall(r"binding file (\S+) \[\d+\] to (\S+) \[\d+\]: ", result.stderr)
    bound_to = {Path(to).resolve() for source, to in bindings if source != to}
    assert bundled and not bundled - bound_to, f"never bound to: {sorted(bundled - bound_to)}"


def test_wheel_installs_and_imports_in_a_fresh_venv(dist, tmp_path):
    _, wheel = dist
    python = fresh_venv(tmp_path / "venv")
    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel)
    assert "imported" in run(python, "-c", IMPORT_CHECK, cwd=tmp_path)

    # mypy (from this environment) looking at the fresh one finds the stub package there.
    pytest.importorskip("mypy", reason="mypy is in the 'typing' extra")
    program = (
        "import OrvCpp\n"
        "reveal_type(OrvCpp.TickType(1))\n"
        "OrvCpp.OrvClient().req_ids('one')\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-executable", str(python),
         "--no-incremental", "--config-file", "", "-c", program],
        cwd=tmp_path, capture_output=True, text=True)
    assert 'Revealed type is "OrvCpp.TickType"' in result.stdout, result.stdout + result.stderr
    assert 'Argument 1 to "req_ids" of "OrvClient" has incompatible type "str"' in result.stdout
    assert "import-not-found" not in result.stdout and "import-untyped" not in result.stdout


def tree_state(root):
    return sorted((p.relative_to(root).as_posix(), p.stat().st_mtime_ns)
                  for p in [root, *root.rglob("*")])


def test_pip_install_of_the_source_tree(dist, tmp_path):
    """`pip install .` with build isolation (the build backend comes from the package
    index), from the unpacked sdist so that this checkout's build directory is not used.
    The tree is made read-only, and pip must leave it exactly as it was (a check that
    still holds where permissions do not bind, as for root)."""
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path, filter="data")
    python = fresh_venv(tmp_path / "venv")
    tree = tmp_path / DIST_NAME
    modes = {p: p.stat().st_mode for p in [tree, *tree.rglob("*")]}
    for path, mode in modes.items():
        path.chmod(mode & ~0o222)
    before = tree_state(tree)
    try:
        run(python, "-m", "pip", "install", "-q", ".", cwd=tree)
        assert tree_state(tree) == before
    finally:
        for path, mode in modes.items():
            path.chmod(mode)
    assert "imported" in run(python, "-c", IMPORT_CHECK, cwd=tmp_path)
    # Boost.Python came from the build environment: nothing of it, or numpy, stays.
    installed = [line.split()[0] for line in run(python, "-m", "pip", "freeze").splitlines()]
    assert installed == ["OrvCpp"]
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])")
                .strip())
    assert all((site / name).read_bytes() == (ROOT / name).read_bytes() for name in STUBS)
