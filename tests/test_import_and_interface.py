"""Importing the module (in the main interpreter only, once per process, again after its
removal from sys.modules) and what Python sees of it: its two names, the class's methods
in registration order, their signatures and help."""
import ast
import inspect
import pickle
import platform
import pydoc
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import OrvCpp
from OrvCpp import OrvClient, TickType
from conftest import PRIVATE_LIBRARY_ONLY, hostile_ids, parse_stub, run_hostile, stub_parameters
from interface_table import METHODS

DOC_TYPES = {"i": "int", "l": "int", "b": "bool", "d": "float", "s": "str", "t": "TickType"}


# Each way of running code in another interpreter that the interpreter offers: isolated
# interpreters (3.12 on) and ones sharing the main interpreter's lock, in both of which
# the import must fail cleanly, before and after the main interpreter imported the module.
SUBINTERPRETER_CHILD = textwrap.dedent(r"""
    import os, sys, tempfile
    result = tempfile.mktemp()
    def attempt(kind):
        return (
            "try:\n"
            "    import OrvCpp\n"
            "    outcome = 'imported'\n"
            "except ImportError as error:\n"
            "    outcome = 'ImportError: ' + str(error)\n"
            "with open(%r, 'a') as out:\n"
            "    out.write(%r + ' ' + outcome + '\\n')\n" % (result, kind))
    runners = []
    try:
        import _testcapi
        runners.append(lambda: _testcapi.run_in_subinterp(attempt("shared")))
    except ImportError:
        pass
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = __import__(name)
        except ImportError:
            continue
        def run_in_new(kind, *config, interpreters=interpreters, **options):
            interpreter = interpreters.create(*config, **options)
            run = getattr(interpreters, "run_string", None) or interpreters.exec
            assert run(interpreter, attempt(kind)) is None
            interpreters.destroy(interpreter)
        if sys.version_info >= (3, 13):
            runners += [lambda: run_in_new("isolated"), lambda: run_in_new("shared", "legacy")]
        elif sys.version_info >= (3, 12):
            runners += [lambda: run_in_new("isolated"),
                        lambda: run_in_new("shared", isolated=False)]
        else:
            runners.append(lambda: run_in_new("shared"))
        break
    for _ in range(3):
        for run in runners:
            run()
    import OrvCpp
    assert OrvCpp.OrvClient().getDeveloperResponse() == "default developerResponse"
    for _ in range(3):
        for run in runners:
            run()
    print(len(runners))
    with open(result) as outcomes:
        print(outcomes.read(), end="")
    os.remove(result)
""")
REFUSAL = ("ImportError: OrvCpp can be imported in the main interpreter only: it keeps "
           "process-wide state, which a subinterpreter must not share")


def test_import_outside_the_main_interpreter_is_refused():
    done = subprocess.run([sys.executable, "-c", SUBINTERPRETER_CHILD], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    runners, *outcomes = done.stdout.splitlines()
    if runners == "0":
        pytest.skip("this interpreter offers no subinterpreters")
    assert len(outcomes) == 6 * int(runners)
    # An interpreter that shares the main one's lock reaches the module's own refusal; an
    # isolated one (3.12 on) may refuse a module of this kind itself first.
    for outcome in outcomes:
        kind, _, text = outcome.partition(" ")
        assert text == REFUSAL or (kind == "isolated" and text.startswith("ImportError: ")), outcome


def test_import_again_gives_the_registered_classes():
    module, client, tick_type = OrvCpp, OrvClient, TickType
    del sys.modules["OrvCpp"]
    try:
        import OrvCpp as again
        assert again is not module and vars(again).keys() == vars(module).keys()
        assert again.OrvClient is client and again.TickType is tick_type
    finally:
        sys.modules["OrvCpp"] = module


# What a program did to the first module object stays with that object: an import after
# its removal from sys.modules gets a new module with exactly what the first import
# registered, and the same classes.
IMPORT_AGAIN_CHILD = textwrap.dedent(r"""
    import sys
    import OrvCpp as first
    client, tick_type = first.OrvClient, first.TickType
    registered = set(vars(first))
    first.extra = 1
    first.OrvClient = "rebound"
    del first.TickType
    del sys.modules["OrvCpp"]
    import OrvCpp as again
    assert again is not first and sys.modules["OrvCpp"] is again
    assert set(vars(again)) == registered and not hasattr(again, "extra"), vars(again)
    assert again.OrvClient is client and again.TickType is tick_type
    assert again.__name__ == "OrvCpp" and again.__file__ == first.__file__
    assert again.__spec__ is not None and again.__spec__.name == "OrvCpp"
    assert (first.extra, first.OrvClient, hasattr(first, "TickType")) == (1, "rebound", False)
    again.extra = 2
    del sys.modules["OrvCpp"]
    import OrvCpp as third
    assert third is not again and not hasattr(third, "extra")
    assert third.OrvClient is client and third.TickType is tick_type
    assert client().getDeveloperResponse() == "default developerResponse"
    print("ok")
""")


def test_import_again_after_the_program_changed_the_module():
    done = subprocess.run([sys.executable, "-c", IMPORT_AGAIN_CHILD], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")


FAILED_IMPORT_CHILD = textwrap.dedent(r"""
    import sys
    sys.modules["atexit"] = None  # the exit release's registration cannot import it
    for attempt in range(2):
        try:
            import OrvCpp
        except ImportError as error:
            print(str(error).splitlines()[0])
        sys.modules.pop("atexit", None)
""")


def test_a_failed_first_import_is_not_tried_again():
    # What the first initialisation registered in the library stays for the process: a
    # second one would register again over it.
    done = subprocess.run([sys.executable, "-c", FAILED_IMPORT_CHILD], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    assert "atexit" in first
    assert second.startswith("OrvCpp cannot be imported in this process: its first "
                             "initialisation failed (ModuleNotFoundError: "), second


# The module's thread-local variables need no room in the static TLS reserve, the few
# hundred bytes the loader keeps for libraries loaded after the program started, which
# libraries with initial-exec variables use up: the ELF flag that asks for it is absent.
DF_STATIC_TLS = 0x10


def needs_static_tls(path):
    try:
        from elftools.elf.elffile import ELFFile
    except ImportError:
        readelf = shutil.which("readelf")
        if not readelf:
            pytest.skip("neither pyelftools nor readelf is here to read the dynamic section")
        shown = subprocess.run([readelf, "-d", path], capture_output=True, text=True,
                               check=True).stdout
        return any("(FLAGS)" in line and "STATIC_TLS" in line.split() for line in shown.splitlines())
    with open(path, "rb") as elf:
        dynamic = ELFFile(elf).get_section_by_name(".dynamic")
        return any(tag.entry.d_tag == "DT_FLAGS" and tag.entry.d_val & DF_STATIC_TLS
                   for tag in dynamic.iter_tags())


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="an ELF flag")
def test_the_module_asks_for_no_static_tls():
    assert not needs_static_tls(OrvCpp.__file__)


# Nor for a loader newer than its other symbols allow: newer linkers mark objects that use
# TLS descriptors as needing one (a version no wheel policy admits) unless told not to.
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF symbol versions")
def test_the_module_needs_no_loader_marked_for_tls_descriptors():
    readelf = shutil.which("readelf")
    if not readelf:
        pytest.skip("no readelf to read the needed versions")
    needed = subprocess.run([readelf, "-V", OrvCpp.__file__], capture_output=True, text=True,
                            check=True).stdout
    assert "GLIBC_2." in needed  # the versions were read at all
    assert "GLIBC_ABI_GNU2_TLS" not in needed


# Libraries with initial-exec thread-local blocks of decreasing sizes, each loaded until
# the loader refuses one, leave less than 8 bytes of the reserve; the module is then
# imported and called, in this thread and in another.
STATIC_TLS_CHILD = textwrap.dedent(r"""
    import ctypes, os, shutil, subprocess, sys, threading
    work, compiler = sys.argv[1:]
    sizes = (1024, 256, 64, 16, 8)
    for size in sizes:
        source = os.path.join(work, "tls%d.c" % size)
        with open(source, "w") as out:
            out.write('__thread __attribute__((tls_model("initial-exec"))) char block[%d];\n'
                      'char *address(void) { return block; }\n' % size)
        subprocess.run([compiler, "-shared", "-fPIC", "-o", source[:-2] + ".so", source], check=True)
    refused = 0
    for size in sizes:
        for copy in range(1000):
            path = os.path.join(work, "tls%d-%d.so" % (size, copy))
            shutil.copyfile(os.path.join(work, "tls%d.so" % size), path)
            try:
                ctypes.CDLL(path).address()
            except OSError as error:
                assert "static TLS" in str(error), error
                refused += 1
                break
    assert refused == len(sizes)

    from OrvCpp import OrvClient, TickType

    class Strategy(OrvClient):
        def __init__(self):
            super().__init__()
            self.seen = []

        def tickPrice(self, *args):
            self.seen.append(args)

    def run():
        client = Strategy()
        text = "x" * 100  # one that needs storage of its own, kept from call to call
        for _ in range(3):
            client.simulateTickPrice(1, TickType.LAST, 2.5, text, "")
        assert client.seen == [(1, TickType.LAST, 2.5, text)] * 3, client.seen

    run()
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print("imported")
""")


@pytest.mark.no_sanitizer
@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc's static TLS reserve")
def test_import_after_other_libraries_spent_the_static_tls_reserve(tmp_path):
    compiler = next(filter(None, map(shutil.which, ("cc", "gcc", "clang"))), None)
    if compiler is None:
        pytest.skip("no C compiler to build the libraries that spend the reserve")
    done = subprocess.run([sys.executable, "-c", STATIC_TLS_CHILD, str(tmp_path), compiler],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "imported\n"


def test_module_exports_exactly_the_enumeration_and_the_class():
    public = {name for name in vars(OrvCpp) if not name.startswith("_")}
    assert public == {"TickType", "OrvClient"}
    # the one private name: what unpickles the library's argument errors
    assert {name for name in vars(OrvCpp) if name[:1] == "_" and name[:2] != "__"} == {
        "_rebuild_argument_error"}
    assert OrvCpp.__doc__ is None
    assert not hasattr(OrvCpp, "BID")


def test_class_registration():
    assert OrvClient.__module__ == "OrvCpp"
    assert OrvClient.__bases__[0].__name__ == "instance"
    client = OrvClient()
    assert client.getDeveloperResponse() == "default developerResponse"
    with pytest.raises(RuntimeError):
        pickle.dumps(client)
    assert not hasattr(OrvClient, "nextValidId")
    assert hasattr(OrvClient, "nextVa1idId")


def test_pickling_is_refused_in_the_library_s_words():
    class Strategy(OrvClient):
        pass

    for instance, name in ((OrvClient(), "OrvCpp.OrvClient"), (Strategy(), f"{__name__}.Strategy")):
        with pytest.raises(RuntimeError) as raised:
            pickle.dumps(instance)
        assert str(raised.value) == (f'Pickling of "{name}" instances is not enabled '
                                     "(http://www.boost.org/libs/python/doc/v2/pickle.html)")


def registered_methods():
    return [name for name, value in vars(OrvClient).items()
            if not name.startswith("__") and callable(value)]


def test_methods_are_registered_in_order_once_each():
    assert registered_methods() == [name for name, _ in METHODS]


@pytest.mark.parametrize("name,params", METHODS)
def test_method_signature(name, params):
    first_line = getattr(OrvClient, name).__doc__.strip().splitlines()[0]
    match = re.fullmatch(rf"{name}\( \(OrvClient\)arg1(.*)\) -> (\w+) :", first_line)
    assert match, first_line
    types = re.findall(r"\((\w+)\)arg\d+", match.group(1))
    assert types == [DOC_TYPES[kind] for kind in params]
    assert match.group(2) == ("str" if name == "getDeveloperResponse" else "None")


def _stub_parameters():
    """OrvClient's methods in the stub: name -> parameter names, self first."""
    tree = parse_stub(Path(__file__).resolve().parents[1] / "OrvCpp-stubs" / "__init__.pyi")
    cls, = (node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "OrvClient")
    return {node.name: stub_parameters(node) for node in cls.body if isinstance(node, ast.FunctionDef)}


STUB_PARAMETERS = _stub_parameters()


# inspect.signature (and so help() and pydoc) reads the parameters' names, all
# positional-only, as the stub declares them; bound, self is left out.
@pytest.mark.parametrize("name", ["__init__", *(name for name, _ in METHODS)])
def test_signature_names_the_parameters(name):
    self_name, *names = STUB_PARAMETERS[name]
    assert self_name == "self"
    assert str(inspect.signature(vars(OrvClient)[name])) == f"({', '.join(['self', *names])}, /)"
    bound = getattr(OrvClient(), name) if name != "__init__" else OrvClient().__init__
    assert str(inspect.signature(bound)) == (f"({', '.join(names)}, /)" if names else "()")


def test_help_shows_the_signature_over_the_unchanged_docstring():
    entry = OrvClient.place_order
    doc = entry.__doc__
    text = pydoc.render_doc(entry, renderer=pydoc.plaintext)
    assert "\nplace_order(self, order_id, contract, order, /)\n" in text
    assert doc.strip().splitlines()[0] in text and entry.__doc__ == doc
    assert "place_order(self, order_id, contract, order, /)" in pydoc.render_doc(
        OrvClient, renderer=pydoc.plaintext)
    with pytest.raises(AttributeError):
        entry.__text_signature__ = "(self)"
    assert entry.__text_signature__ == "($self, order_id, contract, order, /)"


# Hostile programs (conftest.HOSTILE_CHILD), each in a child interpreter: __doc__ raises
# what it meets instead of ending the process.
CASES = [
    ("class D:\n    def __str__(self): raise ValueError('no text')\n"
     "OrvClient.place_order.__doc__ = D(); OrvClient.place_order.__doc__", "ValueError: no text"),
    pytest.param("class D:\n    def __str__(self): raise ValueError('no text')\n"
                 "f = OrvClient.place_order; type(f).__mro__[1].__dict__['__doc__'].__set__(f, D())\n"
                 "type(f).__mro__[1].__dict__['func_doc'].__get__(f)", "ValueError: no text",
                 marks=PRIVATE_LIBRARY_ONLY),
]


@pytest.mark.parametrize("case,outcome", CASES, ids=hostile_ids(CASES))
def test_hostile_docstrings(case, outcome):
    run_hostile(case, outcome)
