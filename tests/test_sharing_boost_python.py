"""OrvCpp next to another Boost.Python extension in the same process.

The other extension is a few lines built here with CMake against the very Boost.Python
library file the imported OrvCpp loaded (its private copy, or a system library it was
linked to), with Boost headers of the same version, so that the two share one converter
registry and one function type, as any extension using that library would. The build is
cached in the temporary directory, keyed by that library and the sources. Without a
compiler, CMake or matching headers the tests are skipped. Each case runs in a child
interpreter, since registrations and crashes are per process.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from pathlib import Path

import pytest

import OrvCpp  # noqa: F401  (maps its Boost.Python library into this process)

pytestmark = pytest.mark.no_sanitizer

SOURCE = textwrap.dedent(r"""
    #include <boost/python.hpp>
    #include <string>

    struct Counter {
      int value = 0;
      int get() const { return value; }
    };

    std::string textOf(const std::string& text) { return text; }

    // A second from-Python conversion for bool that never applies: with it registered,
    // flags take the library's own conversion in every module that converts them.
    void* neverConvertible(PyObject*) { return nullptr; }

    BOOST_PYTHON_MODULE(orv_other) {
      boost::python::class_<std::string>("Text", boost::python::init<std::string>())
          .def("get", &textOf);
      boost::python::class_<Counter>("Counter").def("get", &Counter::get);
      boost::python::converter::registry::push_back(&neverConvertible, nullptr,
                                                    boost::python::type_id<bool>());
    }
""")

# Links the given library file itself, not whatever copy a package search would find.
CMAKE_LISTS = textwrap.dedent(r"""
    cmake_minimum_required(VERSION 3.18)
    project(orv_other LANGUAGES CXX)
    set(CMAKE_CXX_STANDARD 17)
    find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)
    python_add_library(orv_other MODULE WITH_SOABI other.cpp)
    target_include_directories(orv_other SYSTEM PRIVATE "${BOOST_INCLUDE}")
    target_link_libraries(orv_other PRIVATE "${BOOST_PYTHON_LIBRARY}")
    get_filename_component(library_directory "${BOOST_PYTHON_LIBRARY}" DIRECTORY)
    set_target_properties(orv_other PROPERTIES BUILD_RPATH "${library_directory}")
    target_compile_definitions(orv_other PRIVATE BOOST_BIND_GLOBAL_PLACEHOLDERS
                               BOOST_ALLOW_DEPRECATED_HEADERS BOOST_PYTHON_DYN_LINK)
""")


def _cmake():
    beside = Path(sys.executable).parent / "cmake"
    return str(beside) if beside.exists() else shutil.which("cmake")


def _loaded_boost_python():
    """The Boost.Python library file mapped into this process and its version ("1.90.0")."""
    try:
        with open("/proc/self/maps") as maps:
            path = next(line.split()[-1] for line in maps if "libboost_python" in line)
    except (OSError, StopIteration):
        pytest.skip("the loaded Boost.Python library cannot be located")
    found = re.search(r"\.so\.(\d+\.\d+\.\d+)$", path)
    if not found:
        pytest.skip("no version in the Boost.Python library name " + path)
    return path, found.group(1)


def _include_with_version(version):
    """A Boost include directory whose boost/version.hpp is `version`, or None."""
    major, minor, patch = map(int, version.split("."))
    defined = r"#define BOOST_VERSION %d\b" % (major * 100000 + minor * 100 + patch)
    done = subprocess.run([sys.executable, "-m", "cmeel", "cmake"], capture_output=True, text=True)
    candidates = [os.path.join(done.stdout.strip(), "include")] if done.returncode == 0 else []
    for include in candidates + ["/usr/include", "/usr/local/include"]:
        try:
            header = Path(include, "boost", "version.hpp").read_text()
        except OSError:
            continue
        if re.search(defined, header):
            return include
    return None


@pytest.fixture(scope="module")
def other_extension():
    cmake = _cmake()
    if not cmake or not (shutil.which("c++") or shutil.which("g++")):
        pytest.skip("no CMake or C++ compiler")
    library, version = _loaded_boost_python()
    include = _include_with_version(version)
    if include is None:
        pytest.skip("no Boost headers of version %s for %s" % (version, library))
    identity = "\n".join([SOURCE, CMAKE_LISTS, sys.version, library, version, include])
    key = hashlib.sha256(identity.encode()).hexdigest()[:16]
    root = Path(tempfile.gettempdir()) / ("orvcpp-other-extension-" + key)
    pattern = "build/orv_other*" + sysconfig.get_config_var("EXT_SUFFIX")
    built = list(root.glob(pattern))
    if not built:
        root.mkdir(exist_ok=True)
        (root / "other.cpp").write_text(SOURCE)
        (root / "CMakeLists.txt").write_text(CMAKE_LISTS)
        for step in ([cmake, "-S", str(root), "-B", str(root / "build"),
                      "-DCMAKE_BUILD_TYPE=Release", "-DPython_EXECUTABLE=" + sys.executable,
                      "-DBOOST_INCLUDE=" + include, "-DBOOST_PYTHON_LIBRARY=" + library],
                     [cmake, "--build", str(root / "build")]):
            done = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            assert done.returncode == 0, done.stdout[-3000:]
        built = list(root.glob(pattern))
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


def test_flag_through_the_library_s_conversion_with_a_failing_truth_test(other_extension):
    # The library's bool conversion ignores a truth test that raises: the call must end
    # with that error, before anything is called.
    code, output = _run(other_extension, """
        import OrvCpp, orv_other

        calls = []

        class Client(OrvCpp.OrvClient):
            def reqAutoOpenOrders(self, *args):
                calls.append(args)

        class Untestable(int):
            def __bool__(self):
                raise ValueError("no truth value")

        Client().req_auto_open_orders(True)
        try:
            Client().req_auto_open_orders(Untestable(0))
        except Exception as error:
            print(type(error).__name__, error)
        print(calls)
    """)
    assert (code, output) == (0, "ValueError no truth value\n[(True,)]")


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
    assert alone[0] == 0
    assert beside == alone


# OrvClient's __reduce__ is the module's own, written to answer as the library's: the
# other extension's class still has the library's, so the two are compared case by case.
REDUCTIONS = """
    import OrvCpp, orv_other

    def answers(base):
        class Plain(base):
            pass

        class Allowed(base):
            __safe_for_unpickling__ = True

        class WithDictionary(Allowed):
            def __init__(self):
                super().__init__()
                self.a = 1

        class Managed(WithDictionary):
            __getstate_manages_dict__ = 1
            def __getstate__(self):
                return ("state",)
            def __getinitargs__(self):
                return [1, 2]

        class NoState(WithDictionary):
            __getstate__ = None

        class FailingLookup(base):
            def __getattr__(self, name):
                raise TypeError(name)

        class Unnamed(base):
            __module__ = ""

        found = []
        for cls in (Plain, Allowed, WithDictionary, Managed, NoState, FailingLookup, Unnamed):
            try:
                reduced = cls().__reduce__()
                found.append(("ok", reduced[0] is cls, reduced[1:]))
            except Exception as error:
                found.append((type(error).__name__, str(error)))
        return found

    module, library = answers(OrvCpp.OrvClient), answers(orv_other.Counter)
    assert module == library, (module, library)
    print(len(module))
"""


def test_client_reduces_as_the_library_does(other_extension):
    assert _run(other_extension, REDUCTIONS) == (0, "7")


# The library's ArgumentError is one class for every extension that shares the library:
# the reduction OrvCpp registers with copyreg (unless one is registered already) makes
# the other extension's argument errors pickle too, where they failed before.
ARGUMENT_ERROR_PICKLING = """
    import copyreg, pickle
    import orv_other

    def refused():
        try:
            orv_other.Counter().get(1)
        except TypeError as error:
            return error

    error = refused()
    try:
        pickle.dumps(error)
    except pickle.PicklingError:
        print("refused alone")
    if REGISTERED_BEFORE:
        copyreg.pickle(type(error), lambda error: (ValueError, error.args))
    import OrvCpp
    try:
        OrvCpp.OrvClient().req_ids("x")
    except TypeError as own:
        print("one class", type(own) is type(error))
    copied = pickle.loads(pickle.dumps(error))
    print(type(copied).__name__, type(copied) is type(error), copied.args == error.args)
"""


@pytest.mark.parametrize("registered_before,last_line", [
    (False, "ArgumentError True True"),
    (True, "ValueError False True"),  # the program's own reduction stays
])
def test_other_extension_s_argument_errors_pickle_beside_orvcpp(
        other_extension, registered_before, last_line):
    body = "REGISTERED_BEFORE = %r\n" % registered_before + textwrap.dedent(ARGUMENT_ERROR_PICKLING)
    code, output = _run(other_extension, body)
    assert (code, output.splitlines()) == (0, ["refused alone", "one class True", last_line])
