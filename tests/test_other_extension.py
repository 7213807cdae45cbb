"""OrvCpp next to another Boost.Python extension in the same process.

The other extension is a few lines built here with CMake, finding Boost.Python the way
the module's own build does (Debian's package configuration, or the prefix that PyPI's
cmeel-boost reports), and cached in the temporary directory. Without a compiler, CMake
or Boost.Python for this interpreter the tests are skipped. Each case runs in a child
interpreter, since registrations and crashes are per process.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.no_sanitizer

SOURCE = textwrap.dedent(r"""
    #include <boost/python.hpp>
    #include <string>

    struct Counter {
      int value = 0;
      int get() const { return value; }
    };

    std::string textOf(const std::string& text) { return text; }

    BOOST_PYTHON_MODULE(orv_other) {
      boost::python::class_<std::string>("Text", boost::python::init<std::string>())
          .def("get", &textOf);
      boost::python::class_<Counter>("Counter").def("get", &Counter::get);
    }
""")

CMAKE_LISTS = textwrap.dedent(r"""
    cmake_minimum_required(VERSION 3.18)
    project(orv_other LANGUAGES CXX)
    set(CMAKE_CXX_STANDARD 17)
    find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)
    set(component "python${Python_VERSION_MAJOR}${Python_VERSION_MINOR}")
    find_package(Boost CONFIG REQUIRED COMPONENTS ${component})
    python_add_library(orv_other MODULE WITH_SOABI other.cpp)
    target_link_libraries(orv_other PRIVATE Boost::${component})
    target_compile_definitions(orv_other PRIVATE BOOST_BIND_GLOBAL_PLACEHOLDERS
                               BOOST_ALLOW_DEPRECATED_HEADERS)
""")


def _cmake():
    beside = Path(sys.executable).parent / "cmake"
    return str(beside) if beside.exists() else shutil.which("cmake")


def _prefix_path():
    done = subprocess.run([sys.executable, "-m", "cmeel", "cmake"], capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else ""


@pytest.fixture(scope="module")
def other_extension():
    cmake = _cmake()
    if not cmake or not (shutil.which("c++") or shutil.which("g++")):
        pytest.skip("no CMake or C++ compiler")
    key = hashlib.sha256((SOURCE + CMAKE_LISTS + sys.version).encode()).hexdigest()[:16]
    root = Path(tempfile.gettempdir()) / f"orvcpp-other-extension-{key}"
    built = list(root.glob("build/orv_other*" + sysconfig.get_config_var("EXT_SUFFIX")))
    if not built:
        root.mkdir(exist_ok=True)
        (root / "other.cpp").write_text(SOURCE)
        (root / "CMakeLists.txt").write_text(CMAKE_LISTS)
        configure = [cmake, "-S", str(root), "-B", str(root / "build"), "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython_EXECUTABLE={sys.executable}", f"-DCMAKE_PREFIX_PATH={_prefix_path()}"]
        done = subprocess.run(configure, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip("Boost.Python for this interpreter not found: " + done.stderr[-300:])
        done = subprocess.run([cmake, "--build", str(root / "build")], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
        built = list(root.glob("build/orv_other*" + sysconfig.get_config_var("EXT_SUFFIX")))
    return built[0].parent


def _run(directory, body):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(directory)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True,
                          text=True, env=environment)
    return done.returncode, done.stdout.strip()


def test_wrapped_string_passed_as_text_is_copied(other_extension):
    code, output = _run(other_extension, """
        import OrvCpp, orv_other

        class Client(OrvCpp.OrvClient):
            def placeOrder(self, *args):
                self.received = args

        text = orv_other.Text("contract")
        client = Client()
        client.place_order(1, text, "order")
        print(client.received, text.get())
    """)
    assert (code, output) == (0, "(1, 'contract', 'order') contract")


def test_cycle_through_a_class_with_another_extension_base_is_collected(other_extension):
    code, output = _run(other_extension, """
        import gc, weakref
        import OrvCpp, orv_other

        class Both(orv_other.Counter, OrvCpp.OrvClient):
            def __init__(self):
                orv_other.Counter.__init__(self)
                OrvCpp.OrvClient.__init__(self)

        both = Both()
        both.me = both
        reference = weakref.ref(both)
        del both
        gc.collect()
        print(reference() is None)
    """)
    assert (code, output) == (0, "True")


OTHER_CLASS_WITH_ODD_DICTIONARY = """
    import orv_other
    counter = orv_other.Counter()
    counter.__dict__ = [1, 2, 3]
    outcomes = set()
    for _ in range(1000):  # often enough for the interpreter to specialise the call
        try:
            outcomes.add(counter.get())
        except Exception as error:
            outcomes.add(type(error).__name__)
    print(sorted(map(str, outcomes)))
"""


def test_other_extension_behaves_as_without_orvcpp(other_extension):
    alone = _run(other_extension, OTHER_CLASS_WITH_ODD_DICTIONARY)
    beside = _run(other_extension, "import OrvCpp\n" + textwrap.dedent(OTHER_CLASS_WITH_ODD_DICTIONARY))
    assert beside == alone
