#!/usr/bin/env python3
"""What one dispatch through OrvCpp costs, next to a pure-Python forwarding layer.

    .venv/bin/python bench/dispatch.py               # wall clock: ns per call, replay rate
    .venv/bin/python bench/dispatch.py --callgrind   # instructions per call (valgrind)

Every case is measured in the same process as:

  native     an OrvCpp.OrvClient subclass: the entry (place_order, simulateTickPrice, ...)
             goes through Boost.Python and the override bridge to the Python method;
  python     a pure-Python base class with the same entry names and arguments, whose
             place_order calls self.placeOrder(...), simulateTickPrice calls
             self.tickPrice(...), and so on, with no-op defaults for the camel-case
             methods;
  direct     the override itself called from Python (the callee's own cost);
  reference  for place_order, simulateTickPrice and tickPrice only: a subclass of
             bench/reference/orv_reference.c's ReferenceClient, the least a C base class
             with OrvClient's instance layout (one pointer and a dictionary slot) can
             do: test the arguments' types and call self.placeOrder / self.tickPrice
             with the same objects through the interpreter's method call, with C no-ops
             as the defaults. It is compiled for the running interpreter on first use,
             into build/bench-reference/ (again when the source changes), with the
             interpreter's C compiler and headers.

"override" rows use a subclass that defines the camel-case method (a no-op with the
same parameters in every layer: the same function objects); "absent" rows use a
subclass that does not, so the native default body runs (native) or the base class's
no-op does (python, reference). The "tickPrice direct" row calls the registered
camel-case method on an instance without an override. Instances carry three attributes
of their own, as a strategy's do; the "no attributes" rows of place_order and
simulateTickPrice use instances on which no attribute was ever set (for native and
reference: no instance dictionary was ever made).

Wall-clock mode times batches of calls, interleaving all series round by round, and
prints the minimum and the median ns per call over the rounds. Callgrind mode runs a
child interpreter under `valgrind --tool=callgrind`, which dumps its counters at
markers around N and 2N calls of each series; the difference divided by N is the
instruction count of one call, with interpreter start-up and set-up cancelled out.
Both figures include the call site (loading the method and the arguments); calls are
unrolled UNROLL times per loop iteration so that the loop itself adds little.

The replay rows feed a recorded session (examples/data/session.csv when present; a
synthetic session of tick and order events otherwise) through the simulate entries
into no-op callbacks, for the native class and for the pure-Python layer.
"""

from __future__ import annotations

import argparse
import csv
import gc
import hashlib
import importlib.util
import json
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import OrvCpp

ROOT = Path(__file__).resolve().parent.parent
SESSION = ROOT / "examples" / "data" / "session.csv"
UNROLL = 10
TickType = OrvCpp.TickType

# ---------------------------------------------------------------------------------------
# The forwarding entries both layers provide, as the interface tables give them: entry
# name, callback name, the callback's parameters, and the number of trailing texts the
# entry takes but does not pass on.

sys.path.insert(0, str(ROOT / "scripts"))
import interface_tables  # noqa: E402

FORWARDED = ("place_order", "req_mkt_data", "req_historical_data", "simulateTickPrice",
             "simulateTickSize", "simulateOrderStatus", "simulateExecDetails",
             "simulatePosition", "simulatePositionEnd", "simulateUpdateAccountValue",
             "simulateOpenOrder", "simulateOpenOrderEnd", "simulateNextValidId",
             "simulateHistoricalData", "simulateCurrentTime")
_TABLE = interface_tables.methods_by_name()
FORWARDERS = [(entry, row.operation.name, " ".join(row.operation.names),
               len(row.names) - len(row.operation.names))
              for entry in FORWARDED for row in [_TABLE[entry]]]


def _compile(source: str) -> dict:
    namespace: dict = {}
    exec(compile(source, "<bench>", "exec"), namespace)
    return namespace


def _no_op_callbacks() -> dict:
    """One no-op method per callback, with the callback's parameters."""
    lines = []
    for _, callback, params, _ in FORWARDERS:
        lines += [f"def {callback}({', '.join(['self'] + params.split())}):", "    pass"]
    return {name: f for name, f in _compile("\n".join(lines)).items() if callable(f)}


def _python_layer(defaults: dict) -> type:
    """The pure-Python base class: forwarding entries plus no-op default callbacks."""
    lines = []
    for entry, callback, params, unused in FORWARDERS:
        names = params.split()
        extra = [f"unused{i}" for i in range(unused)]
        lines += [f"def {entry}({', '.join(['self'] + names + extra)}):",
                  f"    self.{callback}({', '.join(names)})"]
    entries = {name: f for name, f in _compile("\n".join(lines)).items() if callable(f)}
    return type("PythonClient", (), {**entries, **defaults})


# ---------------------------------------------------------------------------------------
# The reference: a C extension of the benchmark's own, built for the interpreter that runs
# it with that interpreter's compiler and headers. Each interpreter (the compile command,
# headers included) has its own directory; the source's hash says whether the build there
# is current.

REFERENCE_SOURCE = ROOT / "bench" / "reference" / "orv_reference.c"
REFERENCE_BUILDS = ROOT / "build" / "bench-reference"


def _reference_command() -> list:
    configured = os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc"
    cc = shlex.split(configured)
    if not shutil.which(cc[0]):
        # A build configured for a cross-named compiler (Debian's x86_64-linux-gnu-gcc)
        # on a machine that has only the plain one.
        if not shutil.which("cc"):
            sys.exit(f"bench/dispatch.py compiles {REFERENCE_SOURCE.relative_to(ROOT)} for "
                     f"this interpreter and needs a C compiler: neither {cc[0]} (the "
                     "interpreter's CC) nor cc was found (apt-get install gcc)")
        cc = ["cc"]
    paths = sysconfig.get_paths()
    includes = list(dict.fromkeys([paths["include"], paths["platinclude"]]))
    if not (Path(includes[0]) / "Python.h").exists():
        sys.exit(f"bench/dispatch.py compiles {REFERENCE_SOURCE.relative_to(ROOT)} against "
                 f"this interpreter's headers, and {includes[0]} has no Python.h (Debian: "
                 f"apt-get install python{sys.version_info[0]}.{sys.version_info[1]}-dev)")
    return cc + ["-O3", "-DNDEBUG", "-fPIC", "-shared", "-Wall"] + \
        [f"-I{directory}" for directory in includes]


def load_reference():
    """bench/reference/orv_reference.c built for this interpreter, imported."""
    command = _reference_command()
    key = hashlib.sha256("\0".join(command).encode()).hexdigest()[:12]
    directory = REFERENCE_BUILDS / f"{sys.implementation.cache_tag}-{key}"
    target = directory / f"orv_reference{sysconfig.get_config_var('EXT_SUFFIX')}"
    stamp = directory / "source.sha256"
    source_hash = hashlib.sha256(REFERENCE_SOURCE.read_bytes()).hexdigest()
    if not target.exists() or not stamp.exists() or stamp.read_text() != source_hash:
        directory.mkdir(parents=True, exist_ok=True)
        partial = directory / f"partial-{os.getpid()}.so"
        done = subprocess.run(command + [str(REFERENCE_SOURCE), "-o", str(partial)],
                              check=False, capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stderr)
            sys.exit(f"bench/dispatch.py: building {REFERENCE_SOURCE.relative_to(ROOT)} "
                     f"failed: {' '.join(shlex.quote(word) for word in command)}")
        os.replace(partial, target)
        stamp.write_text(source_hash)
    spec = importlib.util.spec_from_file_location("orv_reference", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


CALLBACKS = _no_op_callbacks()
PythonClient = _python_layer(_no_op_callbacks())
ReferenceClient = load_reference().ReferenceClient

# Subclasses with the callbacks (the same function objects in every layer), and without.
NativeOverrides = type("NativeOverrides", (OrvCpp.OrvClient,), dict(CALLBACKS))
NativeBare = type("NativeBare", (OrvCpp.OrvClient,), {})
PythonOverrides = type("PythonOverrides", (PythonClient,), dict(CALLBACKS))
PythonBare = type("PythonBare", (PythonClient,), {})
ReferenceOverrides = type("ReferenceOverrides", (ReferenceClient,), dict(CALLBACKS))
ReferenceBare = type("ReferenceBare", (ReferenceClient,), {})

# ---------------------------------------------------------------------------------------
# The measured cases: (label, entry, callback or None, entry arguments).

CASES = [
    ("place_order", "place_order", "placeOrder", (17, "ACME STK USD", "BUY 100 LMT 101.50")),
    ("req_mkt_data", "req_mkt_data", "reqMktData",
     (1, "ACME STK USD", "233,236", False, False, "")),
    ("req_historical_data", "req_historical_data", "reqHistoricalData",
     (1, "ACME STK USD", "20240301 16:00:00", "1 D", "15 mins", "TRADES", 1, 1, False, "")),
    ("simulateTickPrice", "simulateTickPrice", "tickPrice",
     (1, TickType.LAST, 101.25, "", "")),
    ("simulateOrderStatus", "simulateOrderStatus", "orderStatus",
     (101, "Filled", "100", "0", 101.27, 880101, 0, 101.27, 7, "", 0.0)),
]
DIRECT_CASE = ("tickPrice direct", "tickPrice", None, (1, TickType.LAST, 101.25, ""))
# The cases measured on instances without attributes as well.
NO_ATTRIBUTE_CASES = ("place_order", "simulateTickPrice")
FORWARDER_BY_ENTRY = {entry: (callback, params, unused)
                      for entry, callback, params, unused in FORWARDERS}


def _runner(method: str, count: int):
    """run(loops, target, *args) calls target.method(*args) loops * UNROLL times."""
    params = [f"a{i}" for i in range(count)]
    call = f"        target.{method}({', '.join(params)})"
    source = "\n".join([f"def run(loops, target, {', '.join(params) or '*_'}):",
                        "    for _ in range(loops):"] + [call] * UNROLL)
    return _compile(source.replace("target, *_", "target"))["run"]


class Series:
    """One measured line: a callable run(loops) that makes loops * UNROLL calls."""

    def __init__(self, label: str, kind: str, method: str, target, args: tuple):
        self.label, self.kind = label, kind
        function = _runner(method, len(args))
        self.run = lambda loops: function(loops, target, *args)
        self.calls_per_loop = UNROLL


class ReplaySeries:
    """Plays a whole session once per loop: loops * len(events) dispatches."""

    def __init__(self, label: str, kind: str, target, events):
        self.label, self.kind = label, kind
        calls = [(getattr(target, entry), args) for entry, args in events]

        def run(loops):
            for _ in range(loops):
                for entry, args in calls:
                    entry(*args)

        self.run = run
        self.calls_per_loop = len(calls)


def instance(cls):
    """An instance with some state of its own, as a strategy has (every layer alike)."""
    client = cls()
    client.orders, client.prices, client.next_order_id = {}, {}, 101
    return client


# kind -> (subclass with the callbacks, subclass without)
LAYERS = {"native": (NativeOverrides, NativeBare), "python": (PythonOverrides, PythonBare),
          "reference": (ReferenceOverrides, ReferenceBare)}


def _layer_series(label: str, method: str, args: tuple, override: bool, make) -> list:
    """native, python and (where it has the method) reference, instances made by make."""
    return [Series(label, kind, method, make(classes[0 if override else 1]), args)
            for kind, classes in LAYERS.items() if hasattr(classes[1], method)]


def build_series(events) -> list:
    series = []
    for label, entry, callback, args in CASES:
        _, _, unused = FORWARDER_BY_ENTRY[entry]
        callback_args = args[:len(args) - unused]
        series += _layer_series(f"{label} / override", entry, args, True, instance)
        series.append(Series(f"{label} / override", "direct", callback,
                             instance(PythonOverrides), callback_args))
        series += _layer_series(f"{label} / absent", entry, args, False, instance)
        if entry in NO_ATTRIBUTE_CASES:
            series += _layer_series(f"{label} / override / no attributes", entry, args, True,
                                    lambda cls: cls())
            series += _layer_series(f"{label} / absent / no attributes", entry, args, False,
                                    lambda cls: cls())
    label, method, _, args = DIRECT_CASE
    series += _layer_series(f"{label} / absent", method, args, False, instance)
    series += [ReplaySeries("replay (per event)", "native", instance(NativeOverrides), events),
               ReplaySeries("replay (per event)", "python", instance(PythonOverrides), events)]
    return series


# ---------------------------------------------------------------------------------------
# The session: examples/data/session.csv, or a synthetic one when it is not there.

def _whole(text):
    return int(text)


def _text(text):
    return text


def _tick(text):
    return TickType.names[text]


SESSION_KINDS = {  # kind -> (simulate entry, field conversions, unused trailing texts)
    "tick_price": ("simulateTickPrice", (_whole, _tick, float, _text), 1),
    "tick_size": ("simulateTickSize", (_whole, _tick, _text), 1),
    "order_status": ("simulateOrderStatus", (_whole, _text, _text, _text, float, _whole,
                                             _whole, float, _whole, _text, float), 0),
    "exec_details": ("simulateExecDetails", (_whole, _text, _text), 1),
    "position": ("simulatePosition", (_text, _text, _text, float), 1),
    "position_end": ("simulatePositionEnd", (), 0),
    "account_value": ("simulateUpdateAccountValue", (_text, _text, _text, _text), 0),
    "open_order": ("simulateOpenOrder", (_whole, _text, _text, _text), 1),
    "open_order_end": ("simulateOpenOrderEnd", (), 0),
    "next_valid_id": ("simulateNextValidId", (_whole,), 0),
    "historical_data": ("simulateHistoricalData", (_whole, _text), 0),
    "current_time": ("simulateCurrentTime", (_whole,), 0),
}


def read_session(path: Path):
    events = []
    with open(path, encoding="utf-8", newline="") as f:
        rows = csv.reader(line for line in f if line.strip() and not line.lstrip().startswith("#"))
        for row in rows:
            entry, conversions, unused = SESSION_KINDS[row[0].strip()]
            args = tuple(convert(value) for convert, value in zip(conversions, row[1:]))
            events.append((entry, args + ("",) * unused))
    return events


def synthetic_session(count: int = 4000, seed: int = 1):
    """Ticks (price and size) with an order status now and then, like a quiet session."""
    rng = random.Random(seed)
    events, price = [], 100.0
    for i in range(count):
        ticker = 1 + i % 4
        roll = rng.random()
        if roll < 0.45:
            price += rng.choice((-0.01, 0.01))
            events.append(("simulateTickPrice",
                           (ticker, rng.choice((TickType.BID, TickType.ASK, TickType.LAST)),
                            round(price, 2), "", "")))
        elif roll < 0.99:
            events.append(("simulateTickSize",
                           (ticker, rng.choice((TickType.BID_SIZE, TickType.ASK_SIZE)),
                            str(rng.randrange(1, 50) * 100), "")))
        else:
            events.append(("simulateOrderStatus",
                           (100 + i, "Filled", "100", "0", price, 880000 + i, 0, price, 7,
                            "", 0.0)))
    return events


def load_events():
    if SESSION.exists():
        return read_session(SESSION), f"{SESSION.relative_to(ROOT)}"
    return synthetic_session(), "a synthetic session (examples/data/session.csv not found)"


# ---------------------------------------------------------------------------------------
# Reporting.

# Columns of the tables: the kinds, then native against each of the others. Every cell
# is set off by at least two spaces (bench/matrix.sh splits the rows there).
KIND_WIDTHS = {"native": 10, "python": 10, "direct": 10, "reference": 11}
RATIO_WIDTHS = {"python": 15, "direct": 15, "reference": 18}


def _case_width(labels) -> int:
    return max([36] + [len(label) + 2 for label in labels])


def print_table(title: str, unit: str, values: dict, fmt: str):
    """values: (label, kind) -> figure (lower is better)."""
    labels = list(dict.fromkeys(label for label, _ in values))
    width = _case_width(labels)
    print(title)
    header = (f"{'case':<{width}}"
              + "".join(f"{kind:>{w}}" for kind, w in KIND_WIDTHS.items())
              + "".join(f"{'native/' + kind:>{w}}" for kind, w in RATIO_WIDTHS.items()))
    print(header)
    print("-" * len(header))
    for label in labels:
        figures = {kind: values.get((label, kind)) for kind in KIND_WIDTHS}
        native = figures["native"]
        row = f"{label:<{width}}"
        for kind, w in KIND_WIDTHS.items():
            value = figures[kind]
            row += f"{format(value, fmt) if value is not None else '-':>{w}}"
        for kind, w in RATIO_WIDTHS.items():
            other = figures[kind]
            row += f"{f'{native / other:.2f}x' if native and other else '-':>{w}}"
        print(row)
    print(f"({unit})")
    print()


def split(p: dict) -> dict:
    """One native call's instructions by part: the table of print_breakdown."""
    return {"total": p["total"],
            "call site": p["total"] - p["python->boost"] - p["python->module"],
            "Boost.Python": p["python->boost"] - p["boost->module"],
            "module": p["boost->module"] + p["python->module"] - p["module->callee"],
            "override": p["module->callee"]}


def print_breakdown(parts: dict):
    """Where the instructions of one native call go, split at the calls that cross from
    the interpreter into Boost.Python or straight into the module (the entries' own
    vectorcall), from Boost.Python into the module, and from the module into the Python
    override."""
    print("where a native call's instructions go (per call)")
    width = _case_width(parts)
    header = (f"{'case':<{width}}{'total':>8}{'call site':>11}{'Boost.Python':>14}"
              f"{'module':>9}{'override':>10}")
    print(header)
    print("-" * len(header))
    for label, p in parts.items():
        print(f"{label:<{width}}" + "".join(f"{value:>{w}.0f}" for value, w in
                                            zip(split(p).values(), (8, 11, 14, 9, 10))))
    print("(call site: the caller's bytecode, the method lookup and, for the library's\n"
          " call, the argument tuple; Boost.Python: the library's function call up to the\n"
          " registered caller, none where the entry is called directly;\n"
          " module: argument conversion, the entry, the virtual call, override lookup,\n"
          " conversion of the arguments to Python and the call itself; override: the\n"
          " Python method entered from C, its frame included)")
    print()


def wall_clock(options):
    events, source = load_events()
    series = build_series(events)
    gc.collect()
    gc.disable()  # neither layer allocates anything that outlives a call
    # Calibrate each series to about options.batch_ms per batch.
    loops = []
    for s in series:
        s.run(20)
        n = 1
        while True:
            start = time.perf_counter_ns()
            s.run(n)
            elapsed = time.perf_counter_ns() - start
            if elapsed > options.batch_ms * 1e6 / 4 or n > 1 << 24:
                break
            n *= 2
        loops.append(max(1, int(n * options.batch_ms * 1e6 / max(elapsed, 1))))
    samples = [[] for _ in series]
    for _ in range(options.repeats):
        order = list(range(len(series)))
        random.shuffle(order)  # interleaved, in a different order each round
        for i in order:
            start = time.perf_counter_ns()
            series[i].run(loops[i])
            elapsed = time.perf_counter_ns() - start
            samples[i].append(elapsed / (loops[i] * series[i].calls_per_loop))
    gc.enable()

    print(f"OrvCpp dispatch, wall clock: {options.repeats} interleaved rounds of "
          f"~{options.batch_ms} ms per series; Python {sys.version.split()[0]}")
    print(f"replay session: {source}, {len(events)} events")
    print()
    for name, pick in (("minimum", min), ("median", statistics.median)):
        values = {(s.label, s.kind): pick(v) for s, v in zip(series, samples)
                  if not isinstance(s, ReplaySeries)}
        print_table(f"ns per call, {name} over rounds", "ns per call", values, ".1f")
    print("replay through no-op callbacks (events per second)")
    for s, v in zip(series, samples):
        if isinstance(s, ReplaySeries):
            best, median = min(v), statistics.median(v)
            print(f"  {s.kind:<8} best {1e9 / best:>12,.0f}   median {1e9 / median:>12,.0f}"
                  f"   ({best:.1f} / {median:.1f} ns per event)")
    rates = {s.kind: min(v) for s, v in zip(series, samples) if isinstance(s, ReplaySeries)}
    print(f"  native/python time per event: {rates['native'] / rates['python']:.2f}x")


# ---------------------------------------------------------------------------------------
# Callgrind mode. The child runs every series between markers; a marker is a call of
# os.getppid, whose C library function valgrind dumps (and zeroes) its counters before.
# The C library's exported name is there even where the interpreter's own symbols are
# stripped (Debian's python3.X), and nothing else in the run asks for the parent's id.

MARKER_FUNCTION = "getppid"


def callgrind_child(calls: int, only: list | None):
    events, source = load_events()
    series = [s for s in build_series(events)
              if not only or any(text in f"{s.label} {s.kind}" for text in only)]
    gc.collect()
    gc.disable()
    plan = []
    for s in series:
        n = max(1, calls // s.calls_per_loop)
        plan.append({"label": s.label, "kind": s.kind, "calls": n * s.calls_per_loop})
        s.run(max(2, n // 4))  # warm: specialise the bytecode, fill the caches
        os.getppid()
        s.run(n)
        os.getppid()
        s.run(2 * n)
        os.getppid()
    json.dump({"plan": plan, "source": source, "events": len(events)}, sys.stdout)


def _object_kind(path: str) -> str:
    name = path.rsplit("/", 1)[-1]
    if name.startswith("libpython"):
        return "python"
    if name.startswith("libboost_python"):
        return "boost"
    if name.startswith("OrvCpp."):
        return "module"
    return "other"


# The interpreter functions through which the module calls an override: the vector
# call, which 3.8 inlines into a call of the function's own entry, and on 3.7 the tuple
# call.
OVERRIDE_CALLS = {"PyObject_Vectorcall", "_PyFunction_Vectorcall", "PyObject_Call"}


def read_dump(path: Path) -> dict:
    """Total instructions of one dump, and the inclusive cost of the calls that cross the
    boundaries between the interpreter, Boost.Python and the module."""
    figures = {"total": 0, "python->boost": 0, "python->module": 0, "boost->module": 0,
               "module->callee": 0}
    caller = callee_object = pending_object = callee_name = None
    in_call = False
    with open(path) as f:
        for line in f:
            if in_call:
                in_call = False
                edge = (_object_kind(caller), _object_kind(callee_object))
                cost = int(line.split()[1])
                if edge == ("python", "boost"):
                    figures["python->boost"] += cost
                elif edge == ("python", "module"):
                    figures["python->module"] += cost
                elif edge == ("boost", "module"):
                    figures["boost->module"] += cost
                elif edge == ("module", "python") and callee_name in OVERRIDE_CALLS:
                    figures["module->callee"] += cost
            elif line.startswith("summary:"):
                figures["total"] = int(line.split()[1])
            elif line.startswith("ob="):
                caller = line[3:].strip()
            elif line.startswith("cob="):
                pending_object = line[4:].strip()
            elif line.startswith("cfn="):
                callee_name = line[4:].strip().split("'")[0]  # drop the recursion mark
                callee_object = pending_object or caller
                pending_object = None
            elif line.startswith("calls="):
                in_call = True
    return figures


def read_dumps(directory: Path, prefix: str) -> dict:
    return {int(path.name.rsplit(".", 1)[1]): read_dump(path)
            for path in directory.glob(prefix + ".*")}


def callgrind(options):
    valgrind = shutil.which("valgrind")
    if not valgrind:
        sys.exit("callgrind mode needs valgrind (apt-get install valgrind)")
    keep = Path(options.keep) if options.keep else None
    directory = keep or Path(tempfile.mkdtemp(prefix="orv-callgrind-"))
    directory.mkdir(parents=True, exist_ok=True)
    try:
        measure_under_callgrind(options, valgrind, directory)
    finally:
        if not keep:
            shutil.rmtree(directory, ignore_errors=True)
    if keep:
        print(f"\ncallgrind dumps kept in {keep}: for series i (from 0), cg.out.{{3i+2}} holds "
              "N calls; inspect with callgrind_annotate --inclusive=yes")


def measure_under_callgrind(options, valgrind: str, directory: Path):
    env = dict(os.environ, PYTHONHASHSEED="0")
    command = [valgrind, "--tool=callgrind", f"--dump-before={MARKER_FUNCTION}",
               "--compress-strings=no", "--compress-pos=no",
               f"--callgrind-out-file={directory}/cg.out",
               sys.executable, __file__, "--callgrind-child", str(options.calls)]
    for text in options.only or ():
        command += ["--only", text]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        sys.exit(f"valgrind failed with status {done.returncode}")
    report = json.loads(done.stdout)
    dumps = read_dumps(directory, "cg.out")
    if len(dumps) < 3 * len(report["plan"]):
        sys.exit(f"callgrind wrote {len(dumps)} dumps for {len(report['plan'])} series: the "
                 f"C library's function {MARKER_FUNCTION} was not seen as a marker")
    # Three dumps per series: warm-up, N calls, 2N calls (dumps are numbered from 1).
    values, replay, parts, rows = {}, {}, {}, []
    for i, entry in enumerate(report["plan"]):
        once, twice = dumps[3 * i + 2], dumps[3 * i + 3]
        per_call = {key: (twice[key] - once[key]) / entry["calls"] for key in once}
        if entry["label"].startswith("replay"):
            replay[entry["kind"]] = per_call["total"]
        else:
            values[(entry["label"], entry["kind"])] = per_call["total"]
        if entry["kind"] == "native":
            parts[entry["label"]] = per_call
        rows.append({"label": entry["label"], "kind": entry["kind"], "calls": entry["calls"],
                     "instructions_per_call": per_call["total"]})
        if entry["kind"] == "native":
            rows[-1]["parts"] = split(per_call)
    if options.json:
        print(json.dumps({"python": sys.version.split()[0], "rows": rows}, indent=1))
        return
    print(f"OrvCpp dispatch under callgrind: instructions per call, from {options.calls} and "
          f"{2 * options.calls} calls per series; Python {sys.version.split()[0]}")
    print()
    print_table("instructions per call", "instructions per call (Ir)", values, ".0f")
    print_breakdown(parts)
    if replay:
        print(f"replay of {report['source']} ({report['events']} events) "
              "through no-op callbacks:")
    for kind, per_event in replay.items():
        print(f"  {kind:<8} {per_event:>8.0f} instructions per event")
    if len(replay) == 2:
        print(f"  native/python: {replay['native'] / replay['python']:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--callgrind", action="store_true",
                        help="count instructions per call under valgrind instead of timing")
    parser.add_argument("--calls", type=int, default=4000,
                        help="callgrind mode: calls per series in the first run (default 4000)")
    parser.add_argument("--keep", metavar="DIR",
                        help="callgrind mode: keep the dumps in DIR for callgrind_annotate")
    parser.add_argument("--repeats", type=int, default=15,
                        help="wall-clock mode: interleaved rounds (default 15)")
    parser.add_argument("--batch-ms", type=float, default=10.0,
                        help="wall-clock mode: length of one timed batch (default 10 ms)")
    parser.add_argument("--only", metavar="TEXT", action="append",
                        help="callgrind mode: only the series whose label and kind contain "
                             "TEXT (repeatable: those that contain any of them)")
    parser.add_argument("--json", action="store_true",
                        help="callgrind mode: print each series' instructions per call (for "
                             "native series also by part) as JSON instead of the tables")
    parser.add_argument("--callgrind-child", type=int, metavar="N", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.callgrind_child:
        callgrind_child(options.callgrind_child, options.only)
    elif options.callgrind:
        callgrind(options)
    else:
        wall_clock(options)


if __name__ == "__main__":
    main()
