"""The stub package OrvCpp-stubs and the reference docs/api.md: generated from the built
module and the operation table, in step with both, and usable by mypy."""

import ast
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import OrvCpp

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "OrvCpp-stubs" / "__init__.pyi"
CHECK_ONLY = ROOT / "OrvCpp-stubs" / "_check_only.pyi"


def load_generator():
    generator_source = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen_stubs.py")
    module = importlib.util.module_from_spec(generator_source)
    sys.modules[generator_source.name] = module  # dataclasses look their module up by name
    generator_source.loader.exec_module(module)
    return module


gen = load_generator()
OPERATIONS = gen.read_operations()
OVERRIDABLE = [op for op in OPERATIONS if op.overridable]
METHODS = gen.read_methods()
REQUEST_ENTRIES = {op.name: op.entry for op in gen.tables.read_operations() if op.entry}


def stub_classes(path=STUB):
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def functions(cls):
    return [node for node in cls.body if isinstance(node, ast.FunctionDef)]


def annotation_text(node):
    if not hasattr(ast, "unparse"):  # Python 3.9 and later
        pytest.skip("reading the stub's annotations needs ast.unparse")
    return ast.unparse(node) if node is not None else None


# --- generated, and current ----------------------------------------------------------


@pytest.mark.parametrize("path", [gen.STUB_PATH, gen.CHECK_ONLY_PATH, gen.DOCS_PATH,
                                  gen.ALLOWLIST_PATH], ids=lambda p: p.name)
def test_generated_file_is_current(path):
    generated = gen.generate(OrvCpp)[path]
    assert path.read_text() == generated, (
        f"{path.relative_to(ROOT)} is stale: run scripts/gen_stubs.py and commit the result")


def test_generator_check_mode_passes():
    script = ROOT / "scripts" / "gen_stubs.py"
    assert os.access(script, os.X_OK), "scripts/gen_stubs.py is not executable"
    result = subprocess.run([sys.executable, str(script), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "current" in result.stdout


@pytest.mark.parametrize("change", ["drop", "swap"])
def test_generator_refuses_tables_the_module_does_not_follow(change):
    methods = METHODS[1:] if change == "drop" else [METHODS[1], METHODS[0], *METHODS[2:]]
    with pytest.raises(gen.TableMismatch, match="client_methods.def says"):
        gen.check_module(methods, gen.read_tick_types(), OrvCpp)


def test_table_counts():
    assert len(OPERATIONS) == 96
    assert len(OVERRIDABLE) == 94
    assert [op.name for op in OPERATIONS if not op.overridable] == ["nextVa1idId", "current"]
    assert len(METHODS) == 111


# --- the stub's content --------------------------------------------------------------


def test_stub_module_defines_only_the_runtime_names():
    # The check-only type lives in a private stub module (tests/typing/rejected.py: the
    # checkers refuse to import it from OrvCpp).
    defined = list(stub_classes())
    assert defined == ["TickType", "OrvClient"]
    assert sorted(n for n in vars(OrvCpp) if not n.startswith("__")) == sorted(defined)
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


def check_positional_only(function, expected_names, expected_types):
    args = function.args
    assert not (args.vararg or args.kwonlyargs or args.kwarg or args.defaults), function.name
    # Positional-only by name (two leading underscores), which every Python version's
    # parser and type checkers read.
    assert not getattr(args, "posonlyargs", None), function.name
    assert args.args[0].arg == "self", function.name
    assert [a.arg for a in args.args[1:]] == [f"__{n}" for n in expected_names], function.name
    assert all(n.isidentifier() and n.islower() and not n.startswith("_")
               for n in expected_names), function.name
    assert [annotation_text(a.annotation) for a in args.args[1:]] == expected_types, \
        function.name


def docstring_line(function):
    """The function's docstring, which must be its whole body and one line."""
    text = ast.get_docstring(function, clean=False)
    assert len(function.body) == 1 and text, function.name
    assert text.strip() and "\n" not in text, function.name
    return text


def test_orv_client_stub_has_every_method_in_registration_order():
    cls = stub_classes()["OrvClient"]
    defs = functions(cls)
    assert defs[0].name == "__init__" and len(defs[0].args.args) == 1
    assert "super().__init__()" in docstring_line(defs[0])
    registered = defs[1:1 + len(METHODS)]
    assert [d.name for d in registered] == [m.name for m in METHODS]
    overridable = {op.name: op for op in OVERRIDABLE}
    for function, method in zip(registered, METHODS):
        if method.name in overridable:
            # A callback registered on the class: typed as its override receives it.
            expected = list(overridable[method.name].override_types)
        else:
            expected = [{"str": "str | bytes"}.get(t, t) for t in method.params]
        check_positional_only(function, gen.parameter_names(method, OPERATIONS), expected)
        docstring_line(function)
        assert annotation_text(function.returns) == (
            "str" if method.name == "getDeveloperResponse" else "None")


def test_orv_client_stub_then_declares_what_only_a_subclass_defines():
    # The overridable operations the class lacks at run time follow its own methods, so
    # that a checker verifies (and @override finds) every override a subclass may define.
    defs = functions(stub_classes()["OrvClient"])[1 + len(METHODS):]
    missing = [op for op in OVERRIDABLE if not hasattr(OrvCpp.OrvClient, op.name)]
    assert [d.name for d in defs] == [op.name for op in missing]
    for function, op in zip(defs, missing):
        check_positional_only(function, op.names, list(op.override_types))
        assert docstring_line(function).startswith(op.summary + " Reached from `")
        assert annotation_text(function.returns) == "None"


def test_docs_table_lists_every_overridable_operation():
    text = gen.DOCS_PATH.read_text()
    rows = re.findall(r"^\| (\d+) \| `(\w+)` \| [^|]+ \| ([^|]+) \|", text, re.M)
    protocol = [(int(n), name, args.strip()) for n, name, args in rows][:94]
    assert [name for _, name, _ in protocol] == [op.name for op in OVERRIDABLE]
    for (_, _, args), op in zip(protocol, OVERRIDABLE):
        assert args == (", ".join(f"`{n}: {t}`" for n, t in zip(op.names, op.override_types))
                        or "(none)")


def test_docs_give_the_meaning_of_every_callback_argument():
    section = gen.DOCS_PATH.read_text().split("\n## Callback arguments\n", 1)[1]
    section = section.split("\n## ", 1)[0]
    with_arguments = [op for op in OVERRIDABLE if op.kind == gen.CALLBACK and op.native]
    headings = re.findall(r"^`(\w+)\(([\w, ]*)\)`: ", section, re.M)
    assert headings == [(op.name, ", ".join(op.names)) for op in with_arguments]
    items = re.findall(r"^- `(\w+)` \(`(\w+)`\): (\S.*)$", section, re.M)
    assert [(n, t) for n, t, _ in items] == [
        pair for op in with_arguments for pair in zip(op.names, op.override_types)]


# --- the declared override types are what overrides receive --------------------------

# Operations that no request entry or same-named class method reaches directly.
CALLBACK_ENTRIES = {
    "connect": "e_connect",
    "disconnect": "e_disconnect",
    "nextValidId": "simulateNextValidId",
    "currentTime": "simulateCurrentTime",
}
SAMPLES = {"int": 7, "bool": True, "float": 2.5, "str": b"text", "TickType": OrvCpp.TickType.BID}
RECEIVED = {"int": int, "bool": bool, "float": float, "str": str, "TickType": OrvCpp.TickType}


@pytest.mark.parametrize("op", OVERRIDABLE, ids=lambda op: op.name)
def test_override_receives_the_declared_types(op):
    received = []

    class Client(OrvCpp.OrvClient):
        pass

    setattr(Client, op.name, lambda self, *args: received.append(args))
    client = Client()
    by_name = {m.name: m for m in METHODS}
    if op.name in by_name:
        entry = by_name[op.name]
        call = getattr(OrvCpp.OrvClient, op.name).__get__(client)  # the native binding
    else:
        entry = by_name.get(CALLBACK_ENTRIES.get(op.name, REQUEST_ENTRIES.get(op.name)))
        assert entry is not None, f"nothing reaches {op.name}"
        call = getattr(client, entry.name)
    # Texts go in as bytes, so a text that came back as bytes would show.
    call(*(SAMPLES[t] for t in entry.params))
    (args,) = received
    assert [type(a) for a in args] == [RECEIVED[t] for t in op.override_types]


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
    command, against the committed stub rather than an installed copy."""
    (config,) = code_blocks(TYPED_STRATEGY, "toml")
    commands = dict(line.split(" ", 1) for line in code_blocks(TYPED_STRATEGY, "sh")[0].splitlines())
    (tmp_path / "strategy.py").write_text(source)
    (tmp_path / "pyproject.toml").write_text(config)
    env = dict(os.environ)
    if importlib.util.find_spec(checker) is None:
        pytest.skip(f"{checker} is in the 'typing' extra")
    if checker == "mypy":
        shutil.copytree(STUB.parent, tmp_path / "stubs" / "OrvCpp")
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
    assert len(listed) > 4 and set(listed) <= {op.name for op in OVERRIDABLE}
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
