"""The stub package OrvCpp-stubs and the reference docs/api.md: generated from the built
module and the operation table, in step with both, and usable by mypy; and README's
examples, which run as written (copies of its copyable strategy work) and get the
verdicts it gives from mypy and pyright."""

import ast
import copy
import importlib
import importlib.util
import json
import os
import pickle
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import OrvCpp
from conftest import parse_stub, stub_parameters
from interface_table import METHODS, OPERATIONS, OVERRIDDEN

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "OrvCpp-stubs" / "__init__.pyi"
CHECK_ONLY = ROOT / "OrvCpp-stubs" / "_check_only.pyi"


def load_script(name, path):
    """A script of the repository, imported as the module `name`."""
    source = importlib.util.spec_from_file_location(name, ROOT / path)
    module = importlib.util.module_from_spec(source)
    sys.modules[name] = module  # dataclasses look their module up by name
    source.loader.exec_module(module)
    return module


gen = load_script("gen_stubs", "scripts/gen_stubs.py")


def stub_classes(path=STUB):
    tree = parse_stub(path)
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def functions(cls):
    return [node for node in cls.body if isinstance(node, ast.FunctionDef)]


def annotation_text(node):
    if not hasattr(ast, "unparse"):  # Python 3.9 and later
        pytest.skip("reading the stub's annotations needs ast.unparse")
    return ast.unparse(node) if node is not None else None


# --- generated, and current ----------------------------------------------------------


def test_generated_files_are_current():
    script = ROOT / "scripts" / "gen_stubs.py"
    assert os.access(script, os.X_OK), "scripts/gen_stubs.py is not executable"
    result = subprocess.run([sys.executable, str(script), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "current" in result.stdout


@pytest.mark.parametrize("change", ["drop", "swap"])
def test_generator_refuses_tables_the_module_does_not_follow(change):
    methods = gen.read_methods()
    methods = methods[1:] if change == "drop" else [methods[1], methods[0], *methods[2:]]
    with pytest.raises(gen.TableMismatch, match="client_methods.def says"):
        gen.check_module(methods, gen.read_tick_types(), OrvCpp)


# --- the stub's content --------------------------------------------------------------


def test_stub_module_defines_only_the_runtime_names():
    # The check-only type lives in a private stub module (tests/typing/rejected.py: the
    # checkers refuse to import it from OrvCpp).
    defined = list(stub_classes())
    assert defined == ["TickType", "OrvClient"]
    assert sorted(n for n in vars(OrvCpp) if not n.startswith("_")) == sorted(defined)
    (named,) = stub_classes(CHECK_ONLY).values()
    assert [annotation_text(d) for d in named.decorator_list] == ["type_check_only"]


def test_tick_type_stub_lists_every_member_in_value_order():
    classes = stub_classes()
    cls = classes["TickType"]
    assert [annotation_text(b) for b in cls.bases] == ["int"]
    fields = {node.target.id: annotation_text(node.annotation)
              for node in cls.body if isinstance(node, ast.AnnAssign)}
    members = sorted(OrvCpp.TickType.names.values(), key=int)
    assert len(members) == 59
    assert [n for n in fields if n not in ("names", "values")] == [m.name for m in members]
    # Only the registered members have a name; a TickType made by a call has none.
    assert all(fields[m.name] == "ClassVar[NamedTickType]" for m in members)
    assert fields["names"] == "ClassVar[dict[str, NamedTickType]]"
    assert fields["values"] == "ClassVar[dict[int, NamedTickType]]"
    assert not functions(cls)
    with pytest.raises(AttributeError):
        OrvCpp.TickType(int(OrvCpp.TickType.BID)).name
    named = stub_classes(CHECK_ONLY)["NamedTickType"]
    assert [annotation_text(b) for b in named.bases] == ["TickType"]
    (name,) = functions(named)
    assert name.name == "name" and annotation_text(name.returns) == "str"
    assert [annotation_text(d) for d in name.decorator_list] == ["property"]


def docstring_line(function):
    """The function's docstring, which must be its whole body and one line."""
    text = ast.get_docstring(function, clean=False)
    assert len(function.body) == 1 and text, function.name
    assert text.strip() and "\n" not in text, function.name
    return text


# What the stub and docs/api.md declare for each parameter kind of tests/interface_table.py.
DECLARED = {"i": "int", "l": "int", "b": "bool", "d": "float", "s": "str", "t": "TickType"}
OVERRIDDEN_NAMES = dict(OVERRIDDEN)


def test_orv_client_stub_declares_every_method_then_every_override_with_its_types():
    # The class's methods in registration order, then the overridable operations the class
    # lacks at run time, so that a checker verifies (and @override finds) every override a
    # subclass may define. Texts are str | bytes going in, str where an override receives
    # them (its declaration and the callbacks registered on the class under its name).
    if not hasattr(ast, "unparse"):  # Python 3.9 and later
        pytest.skip("reading the stub's annotations needs ast.unparse")
    defs = functions(stub_classes()["OrvClient"])
    assert defs[0].name == "__init__" and len(defs[0].args.args) == 1
    assert "super().__init__()" in docstring_line(defs[0])
    declared = METHODS + [(name, params) for name, params in OVERRIDDEN
                          if not hasattr(OrvCpp.OrvClient, name)]
    assert [d.name for d in defs[1:]] == [name for name, _ in declared]
    for function, (name, params) in zip(defs[1:], declared):
        args = function.args
        assert not (args.vararg or args.kwonlyargs or args.kwarg or args.defaults), name
        # Positional-only by "/" after the last parameter (none without one), with the
        # plain names that hovers show.
        self_param, *declared_params = [*args.posonlyargs, *args.args]
        assert self_param.arg == "self", name
        assert not (args.args if declared_params else args.posonlyargs), name
        assert all(re.fullmatch(r"[a-z][a-z0-9_]*", a.arg) for a in declared_params), name
        text = "str" if name in OVERRIDDEN_NAMES else "str | bytes"
        assert [annotation_text(a.annotation) for a in declared_params] == [
            text if kind == "s" else DECLARED[kind] for kind in params], name
        assert annotation_text(function.returns) == (
            "str" if name == "getDeveloperResponse" else "None"), name
        docstring_line(function)


def prefixed(tree):
    """The dump of `tree` with each method's positional-only parameters after self made
    ordinary ones named __name: what the form installed for CPython 3.7 parses to."""
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef) and node.args.posonlyargs:
            first, *rest = node.args.posonlyargs
            for arg in rest:
                arg.arg = "__" + arg.arg
            node.args.args[:0] = [first, *rest]
            node.args.posonlyargs = []
    return ast.dump(tree)


# Before 3.10, ast.parse's feature_version does not refuse the positional-only marker.
@pytest.mark.skipif(sys.version_info < (3, 10),
                    reason="needs a parser that reads both forms and holds 3.7's grammar")
def test_the_stub_for_cpython_3_7_is_the_same_stub_in_the_form_its_parser_reads():
    text = STUB.read_text()
    with pytest.raises(SyntaxError, match="only supported in Python 3.8"):
        ast.parse(text, feature_version=(3, 7))
    old = gen.underscore_form(text)
    assert ast.dump(ast.parse(old, feature_version=(3, 7))) == prefixed(ast.parse(text))
    assert ("    def place_order(self, __order_id: int, __contract: str | bytes, "
            "__order: str | bytes) -> None:\n") in old


@pytest.mark.parametrize("source", [
    "def f(a: int, /) -> None: ...\n",  # no self
    "class C:\n    def f(self, a: int, /, b: int) -> None: ...\n",  # ordinary ones after it
])
def test_the_rewrite_refuses_a_marker_it_cannot_place(source):
    with pytest.raises(ValueError, match="positional-only marker"):
        gen.underscore_form(source)


def test_docs_list_every_override_and_every_callback_argument_as_the_stub_names_them():
    stub = {f.name: stub_parameters(f)[1:]
            for f in functions(stub_classes()["OrvClient"])}
    protocol, section = gen.DOCS_PATH.read_text().split("\n## Override protocol\n", 1)[1].split(
        "\n## Callback arguments\n", 1)
    rows = re.findall(r"^\| \d+ \| `(\w+)` \| [^|]+ \| ([^|]+) \|", protocol, re.M)
    assert [(name, args.strip()) for name, args in rows] == [
        (name, ", ".join(f"`{n}: {DECLARED[k]}`" for n, k in zip(stub[name], params)) or "(none)")
        for name, params in OVERRIDDEN]
    section = section.split("\n## ", 1)[0]
    callbacks = [(name, params) for name, params, entry in OPERATIONS if entry is None and params]
    headings = re.findall(r"^`(\w+)\(([\w, ]*)\)`: ", section, re.M)
    assert headings == [(name, ", ".join(stub[name])) for name, _ in callbacks]
    items = re.findall(r"^- `(\w+)` \(`(\w+)`\): (\S.*)$", section, re.M)
    assert [(n, t) for n, t, _ in items] == [
        (n, DECLARED[k]) for name, params in callbacks for n, k in zip(stub[name], params)]


# --- type checkers on the README's examples ------------------------------------------
#
# What mypy and pyright say about other programs written against the stub is checked by
# scripts/test.d/typing.sh, over tests/typing/.


def readme_section(heading):
    text = (ROOT / "README.md").read_text()
    return text.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]


def readme_subsection(heading):
    text = readme_section("For strategy authors")
    return text.split(f"\n### {heading}\n", 1)[1].split("\n### ", 1)[0]


def code_blocks(section, language):
    return re.findall(rf"^```{language}\n(.*?)^```$", section, re.M | re.S)


TYPED_STRATEGY = readme_subsection("Let the type checker catch a misspelled callback")
CHECKERS = ["mypy", "pyright"]


def check_as_a_user(tmp_path, checker, source):
    """The errors, as {(line, code)}, that `checker` reports on `source`, saved as
    strategy.py in a folder with README's pyproject.toml and checked with README's
    command, against the committed stub rather than an installed copy (for mypy on
    CPython 3.7, in the form the build installs there)."""
    (config,) = code_blocks(TYPED_STRATEGY, "toml")
    commands = dict(line.split(" ", 1) for line in code_blocks(TYPED_STRATEGY, "sh")[0].splitlines())
    (tmp_path / "strategy.py").write_text(source)
    (tmp_path / "pyproject.toml").write_text(config)
    env = dict(os.environ)
    if importlib.util.find_spec(checker) is None:
        pytest.skip(f"{checker} is in the 'typing' extra")
    if checker == "mypy":
        shutil.copytree(STUB.parent, tmp_path / "stubs" / "OrvCpp")
        if sys.version_info < (3, 8):  # mypy 1.4 reads the form the build installs there
            copy_of_stub = tmp_path / "stubs" / "OrvCpp" / STUB.name
            copy_of_stub.write_text(gen.underscore_form(copy_of_stub.read_text()))
        env["MYPYPATH"] = str(tmp_path / "stubs")
        result = subprocess.run([sys.executable, "-m", "mypy", commands["mypy"]],
                                cwd=tmp_path, env=env, capture_output=True, text=True)
        errors = {(int(line), code) for line, code in re.findall(
            r"^strategy\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    else:
        # pyright takes a stub package beside the program over an installed one.
        shutil.copytree(STUB.parent, tmp_path / "OrvCpp-stubs")
        env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"  # no look-up of a newer release
        result = subprocess.run([sys.executable, "-m", "pyright", "--pythonpath", sys.executable,
                                 "--outputjson", commands["pyright"]],
                                cwd=tmp_path, env=env, capture_output=True, text=True)
        errors = {(d["range"]["start"]["line"] + 1, d.get("rule", d["message"]))
                  for d in json.loads(result.stdout)["generalDiagnostics"]
                  if d["severity"] == "error"}
    assert result.returncode == (1 if errors else 0), result.stdout + result.stderr
    return errors, result.stdout + result.stderr


@pytest.mark.parametrize("checker", CHECKERS)
def test_readme_names_that_bite_are_operations_and_checkers_reject_the_example(
        tmp_path, checker):
    section = readme_section("Names that bite")
    names = section.split("most likely to reuse", 1)[1].split(". ", 1)[0]
    listed = re.findall(r"`(\w+)`", names)
    assert len(listed) > 4 and set(listed) <= set(OVERRIDDEN_NAMES)
    (example,) = code_blocks(section, "python")
    expected = {n for n, line in enumerate(example.splitlines(), 1) if "# error" in line}
    errors, output = check_as_a_user(tmp_path, checker, example)
    assert expected and {line for line, _ in errors} == expected, output


# What each checker says when the README's typed strategy changes as given.
OVERRIDE_VERDICTS = {
    "misspelt": (("def tickPrice(", "def tickprice("),
                 {"mypy": "misc", "pyright": "reportGeneralTypeIssues"}),
    "mis-sized": (("price: float, attrib: str)", "price: float)"),
                  {"mypy": "override", "pyright": "reportIncompatibleMethodOverride"}),
    "unmarked": (("    @override\n    def placeOrder(", "    def placeOrder("),
                 {"mypy": "explicit-override", "pyright": "reportImplicitOverride"}),
}


@pytest.mark.parametrize("checker", CHECKERS)
@pytest.mark.parametrize("case", [None, *OVERRIDE_VERDICTS])
def test_readme_typed_strategy_passes_and_a_wrong_override_fails(tmp_path, case, checker):
    (example,) = code_blocks(TYPED_STRATEGY, "python")
    expected = set()
    if case == "unmarked" and checker == "mypy" and sys.version_info < (3, 8):
        pytest.skip("mypy 1.4, the last for Python 3.7, has no explicit-override check")
    if case:
        (old, new), codes = OVERRIDE_VERDICTS[case]
        assert example.count(old) == 1
        example = example.replace(old, new)
        line = example[:example.index(new.strip())].count("\n") + 1
        expected = {(line, codes[checker])}
    errors, output = check_as_a_user(tmp_path, checker, example)
    assert errors == expected, output


@pytest.mark.parametrize("typed", [False, True], ids=["first", "typed"])
def test_readme_strategy_and_its_pytest_example_run_as_written(tmp_path, typed):
    (strategy,) = code_blocks(readme_subsection("A strategy is a subclass"), "python")
    live = code_blocks(readme_subsection("Live events from your broker code"), "python")
    testing = readme_subsection("Test a strategy with pytest")
    (test_module,) = code_blocks(testing, "python")
    (command,) = code_blocks(testing, "sh")
    run = dict(cwd=tmp_path, capture_output=True, text=True)
    if typed:
        (tmp_path / "strategy.py").write_text(code_blocks(TYPED_STRATEGY, "python")[0])
    else:
        (tmp_path / "strategy.py").write_text(strategy)
        (tmp_path / "live.py").write_text(strategy + "".join(live) + "print(s.sent)\n")
        printed = strategy.splitlines()[-1].split("# ", 1)[1]
        result = subprocess.run([sys.executable, "strategy.py"], **run)
        assert result.stdout.strip() == printed, result.stderr
        # Two LAST prices above 100 (one of them an unnamed TickType(4)), two orders.
        result = subprocess.run([sys.executable, "live.py"], **run)
        assert result.stdout.splitlines()[-1] == str([(1, "XYZ", "SELL 10")] * 2), result.stderr
    (tmp_path / "test_strategy.py").write_text(test_module)
    words = command.split()
    assert words[:3] == ["python", "-m", "pytest"]
    result = subprocess.run([sys.executable, *words[1:], "-p", "no:cacheprovider"], **run)
    assert result.returncode == 0 and "2 passed" in result.stdout, result.stdout


# README's copyable strategy, subclassed as a user would: an order above the threshold.
SELLER = '''
class Seller(Strategy):
    def __init__(self, threshold):
        super().__init__(threshold)
        self.sent = []

    def placeOrder(self, order_id, contract, order):
        self.sent.append((order_id, contract, order))

    def tickPrice(self, req_id, tick_type, price, attrib):
        if price > self.threshold:
            self.place_order(req_id, "XYZ", "SELL 10")
'''

COPIERS = {**{f"pickle {protocol}": lambda s, p=protocol: pickle.loads(pickle.dumps(s, p))
              for protocol in range(pickle.HIGHEST_PROTOCOL + 1)},
           "copy": copy.copy, "deepcopy": copy.deepcopy}


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
def test_readme_copyable_strategy_runs_and_its_copies_work(tmp_path, monkeypatch, capsys,
                                                           copier):
    (example,) = code_blocks(readme_subsection("Running many back-tests"), "python")
    (tmp_path / "readme_copyable.py").write_text(example + SELLER)
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        module = importlib.import_module("readme_copyable")  # pickles by this name
        assert capsys.readouterr().out.strip() == example.splitlines()[-1].split("# ", 1)[1]
        original = module.Seller(100.0)
        original.simulateTickPrice(1, OrvCpp.TickType.LAST, 101.0, "", "")
        copied = copier(original)
    finally:
        del sys.modules["readme_copyable"]
    assert type(copied) is module.Seller and copied is not original
    assert copied.threshold == 100.0 and copied.sent == []   # made anew by __init__
    copied.simulateTickPrice(7, OrvCpp.TickType.LAST, 101.5, "", "")
    copied.simulateTickPrice(8, OrvCpp.TickType.LAST, 99.5, "", "")
    assert copied.sent == [(7, "XYZ", "SELL 10")]
    assert original.sent == [(1, "XYZ", "SELL 10")]


# scripts/lint/source_layout.py, which ./tasks test runs over src/: the rules of
# docs/architecture.md's rooms, tried on a small tree of two folders.
@pytest.mark.parametrize("path,text,reported", [
    ("internals/low.h", '#include "../entries/high.h"\n', "from entries/ above it"),
    ("entries/high.h", '#include "../internals/low.h"\n', None),
    ("defences/deep/more.cpp", '#include "../../entries/high.h"\n', None),
    ("common/base.h", '#include "../defences/deep/more.cpp"\n', "from defences/ above it"),
    ("entries/high.h", "int flags = type->tp_flags;\n", "names 'tp_'"),
    ("defences/deep/more.cpp", "boost::python::objects::function* f;\n", "names 'objects::'"),
    ("entries/high.h", "_Py_IsFinalizing();\n", "names '_Py'"),
    ("entries/high.h", "return Py_TYPE(object);  // not tp_base: a comment\n", None),
    ("internals/low.h", "type->tp_flags |= 1; _PyObject_Something();\n", None),
    ("nowhere/file.h", "\n", "has no place in the layers"),
])
def test_source_layout_check_reports_what_breaks_the_rules(tmp_path, path, text, reported):
    checker = load_script("source_layout", "scripts/lint/source_layout.py")
    src = tmp_path / "src"
    for name in ("internals/low.h", "entries/high.h", "defences/deep/more.cpp", "common/base.h",
                 path):
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_text("\n")
    (src / path).write_text(text)
    found = checker.layer_violations(src) + checker.internals_named_outside(src)
    if reported is None:
        assert found == []
    else:
        assert len(found) == 1 and reported in found[0] and path in found[0]
