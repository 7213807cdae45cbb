"""Back-tests the sample strategy over a grid of settings and recorded sessions.

    python examples/sweep.py [--engine serial|process|dask] [--workers N]
                             [--scheduler tcp://host:8786] [--bands 0.25,0.5,1,2]
                             [--sizes 1,2] [--json] [-q] [session.csv ...]

A setting is a band multiplier (the crossing rule's band around each instrument's
level, as a multiple of the watchlist's) and an order size multiplier. For each
setting and session, a fresh strategy replays the session, filling each of its market
orders at the LAST price that triggered it, and gives one row: the orders placed, the
instruments still held at the end and the paper P&L, marked at the last LAST prices.

OrvClient instances cannot be pickled: the native object behind each one cannot be
copied, and the library refuses. So no strategy is ever sent to another process here.
A task receives plain values (a setting, and each session as its name and text),
builds its strategy where it runs and returns plain rows (tuples of str, int and
float). The engines: `serial` runs the tasks in this process; `process` in a
concurrent.futures process pool; `dask` on Dask's distributed scheduler, a local
cluster of --workers processes, or the running scheduler named by --scheduler, whose
workers need OrvCpp installed (this script sends them the example's modules). The
rows come out in grid order (band, then size, then session) whatever the engine.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import importlib
import importlib.util
import json
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from pathlib import Path
from typing import TYPE_CHECKING, Any, Tuple, TypeVar

import replay
from OrvCpp import TickType
from strategy import WATCHLIST, Instrument, SampleStrategy

if TYPE_CHECKING:
    from typing import Protocol   # from 3.8; DaskClient exists for type checkers only

if sys.version_info >= (3, 12):
    from typing import override
elif TYPE_CHECKING:
    from typing_extensions import override
else:
    def override(method):  # the marker informs type checkers only
        return method

# (band multiplier, size multiplier)
Setting = Tuple[float, int]
# (band, size, session, orders placed, instruments held at the end, paper P&L)
Row = Tuple[float, int, str, int, int, float]
COLUMNS = ("band", "size", "session", "orders", "held", "pnl")
# A session as a task receives it: its name and its text.
Session = Tuple[str, str]
N = TypeVar("N", int, float)
T = TypeVar("T")

ENGINES = ("serial", "process", "dask")
EXAMPLES = Path(__file__).resolve().parent


class PaperStrategy(SampleStrategy):
    """The sample strategy, its market orders filled at once at the triggering price."""

    def __init__(self, band: float, size: int) -> None:
        super().__init__([dataclasses.replace(i, band=i.band * band, quantity=i.quantity * size)
                          for i in WATCHLIST])
        self.cash = 0.0
        self.held: dict[int, int] = {}   # shares per ticker id

    @override
    def submit(self, instrument: Instrument, action: str) -> int | None:
        order_id = super().submit(instrument, action)
        if order_id is not None:
            shares = instrument.quantity if action == "BUY" else -instrument.quantity
            # tickPrice stores the price before its rule decides.
            self.cash -= shares * self.prices[instrument.ticker_id, TickType.LAST]
            self.held[instrument.ticker_id] = self.held.get(instrument.ticker_id, 0) + shares
        return order_id

    def pnl(self) -> float:
        return self.cash + sum(shares * self.prices[ticker_id, TickType.LAST]
                               for ticker_id, shares in self.held.items())


# A worker runs many settings over the same sessions: each is parsed once per process.
@functools.lru_cache(maxsize=16)
def parsed(name: str, text: str) -> tuple[replay.Event, ...]:
    return tuple(replay.parse_text(text, name))


def run_setting(setting: Setting, sessions: Sequence[Session]) -> list[Row]:
    """One task: the setting's rows, one per session. Runs in a worker."""
    band, size = setting
    rows: list[Row] = []
    for name, text in sessions:
        strategy = PaperStrategy(band, size)
        strategy.start()
        replay.replay(replay.bind(strategy, parsed(name, text)))
        strategy.stop()
        orders = sum(1 for request in strategy.sent if request[0] == "placeOrder")
        held = sum(1 for shares in strategy.held.values() if shares)
        rows.append((band, size, name, orders, held, strategy.pnl()))
    return rows


# -- progress ------------------------------------------------------------------

def with_progress(items: Iterable[T], total: int, shown: bool) -> Iterator[T]:
    """The items, counted on stderr as the loop over them moves on (one per finished
    setting): by tqdm's bar where tqdm is installed, else by a counter."""
    if not shown:
        return iter(items)
    try:
        from tqdm import tqdm
    except ImportError:
        return counted(items, total)
    return iter(tqdm(items, total=total, unit="setting", file=sys.stderr))


def counted(items: Iterable[T], total: int) -> Iterator[T]:
    for done, item in enumerate(items, 1):
        yield item
        print(f"\rsweep: {done}/{total} settings", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)


# -- engines: each returns one list of rows per setting, in the settings' order -----

def run_serial(settings: Sequence[Setting], sessions: Sequence[Session],
               shown: bool) -> list[list[Row]]:
    return [run_setting(setting, sessions)
            for setting in with_progress(settings, len(settings), shown)]


def run_processes(settings: Sequence[Setting], sessions: Sequence[Session], workers: int,
                  shown: bool) -> list[list[Row]]:
    with ProcessPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(run_setting, setting, sessions) for setting in settings]
        for _ in with_progress(as_completed(futures), len(futures), shown):
            pass
        return [future.result() for future in futures]


if TYPE_CHECKING:
    class DaskClient(Protocol):
        """The calls this example makes on a distributed.Client, in its synchronous mode.

        Dask's own annotations describe both modes at once (in the asynchronous one,
        each call returns an awaitable) and leave some parameters unannotated, which
        strict type checkers reject; so run_dask takes the module untyped, and its
        calls are typed here.
        """

        def upload_file(self, filename: str) -> object: ...

        def scatter(self, data: list[list[Session]], broadcast: bool) -> list[object]: ...

        def map(self, func: Callable[[Setting, Sequence[Session]], list[Row]],
                settings: list[Setting], *, sessions: object) -> list[object]: ...

        def gather(self, futures: list[object]) -> list[list[Row]]: ...


def run_dask(settings: Sequence[Setting], sessions: Sequence[Session], workers: int,
             scheduler: str | None, shown: bool) -> list[list[Row]]:
    distributed: Any = importlib.import_module("distributed")   # untyped: see DaskClient
    with contextlib.ExitStack() as stack:
        if scheduler:
            client: DaskClient = stack.enter_context(distributed.Client(scheduler))
            # Its workers may run elsewhere: they get this example's modules, in the
            # order they import each other.
            for module in ("strategy.py", "replay.py", "sweep.py"):
                client.upload_file(str(EXAMPLES / module))
        else:
            # One thread per worker process: a strategy's callbacks hold the GIL.
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True,
                host="127.0.0.1", dashboard_address=None))
            client = stack.enter_context(distributed.Client(cluster))
        # The sessions travel to each worker once, not once per task.
        [shared] = client.scatter([list(sessions)], broadcast=True)
        futures = client.map(run_setting, list(settings), sessions=shared)
        # Counted here as each future completes. Dask's console bar is not used: it keeps a
        # handler polling on the scheduler, and a local cluster closed while that handler
        # waits logs a CancelledError traceback as an ERROR.
        for _ in with_progress(distributed.as_completed(futures), len(futures), shown):
            pass
        return client.gather(futures)


# -- output --------------------------------------------------------------------

def cells(row: Row) -> list[str]:
    band, size, session, orders, held, pnl = row
    return [f"{band:g}", str(size), session, str(orders), str(held), f"{pnl:.2f}"]


def plain_table(rows: Sequence[Row]) -> str:
    """An aligned text table: numbers to the right, the session names to the left."""
    table = [list(COLUMNS), *map(cells, rows)]
    widths = [max(len(line[i]) for line in table) for i in range(len(COLUMNS))]
    left = COLUMNS.index("session")
    return "\n".join(
        "  ".join(cell.ljust(width) if i == left else cell.rjust(width)
                  for i, (cell, width) in enumerate(zip(line, widths))).rstrip()
        for line in table)


def table(rows: Sequence[Row]) -> str:
    """The results as a pandas table where pandas is installed, else as plain text."""
    try:
        import pandas
    except ImportError:
        return plain_table(rows)
    frame = pandas.DataFrame([cells(row) for row in rows], columns=list(COLUMNS))
    return frame.to_string(index=False)


# -- command line --------------------------------------------------------------

def positive_list(kind: Callable[[str], N]) -> Callable[[str], list[N]]:
    """An argparse type: comma-separated positive numbers of the given kind."""
    def parse(text: str) -> list[N]:
        try:
            values = [kind(part) for part in text.split(",")]
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a comma-separated list: {text!r}") from None
        if any(value <= 0 for value in values):
            raise argparse.ArgumentTypeError(f"values must be positive: {text!r}")
        return values
    return parse


def session_names(paths: Sequence[Path]) -> list[str]:
    """Each session's file name, or its path as given where two names would clash."""
    names = [path.name for path in paths]
    return names if len(set(names)) == len(names) else [str(path) for path in paths]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Back-test the sample strategy over a grid of settings and sessions.")
    parser.add_argument("sessions", nargs="*", type=Path, default=[replay.DEFAULT_SESSION],
                        metavar="session",
                        help="session files (default: examples/data/session.csv)")
    parser.add_argument("--engine", choices=ENGINES, default="serial",
                        help="where the settings run (default: serial)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the process pool or the local Dask "
                             "cluster (default: the number of CPUs)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler (tcp://host:8786) instead of a "
                             "local cluster; with --engine dask")
    parser.add_argument("--bands", type=positive_list(float), default=[0.25, 0.5, 1.0, 2.0],
                        help="band multipliers, comma-separated (default: 0.25,0.5,1,2)")
    parser.add_argument("--sizes", type=positive_list(int), default=[1, 2],
                        help="order size multipliers, comma-separated (default: 1,2)")
    parser.add_argument("--json", action="store_true",
                        help="print the rows as one JSON list instead of a table")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    options = parser.parse_args(argv)
    engine: str = options.engine
    workers: int = options.workers
    scheduler: str | None = options.scheduler
    if workers < 1:
        parser.error("--workers must be at least 1")
    if scheduler and engine != "dask":
        parser.error("--scheduler needs --engine dask")

    paths: list[Path] = options.sessions
    sessions: list[Session] = []
    try:
        for name, path in zip(session_names(paths), paths):
            text = replay.read_session(path)
            replay.parse_text(text, str(path))   # a malformed session stops the sweep here
            sessions.append((name, text))
    except replay.SessionError as e:
        print(f"sweep: {e}", file=sys.stderr)
        return 2

    bands: list[float] = options.bands
    sizes: list[int] = options.sizes
    settings: list[Setting] = [(band, size) for band in bands for size in sizes]
    shown = not options.quiet
    if engine == "serial":
        results = run_serial(settings, sessions, shown)
    elif engine == "process":
        results = run_processes(settings, sessions, workers, shown)
    else:
        if importlib.util.find_spec("distributed") is None:
            print("sweep: the dask engine needs Dask's distributed scheduler: "
                  "pip install 'dask[distributed]'", file=sys.stderr)
            return 2
        results = run_dask(settings, sessions, workers, scheduler, shown)

    rows = [row for setting_rows in results for row in setting_rows]
    print(json.dumps(rows) if options.json else table(rows))
    return 0


if __name__ == "__main__":
    # Run as the module `sweep`, so that tasks name run_setting by an importable module
    # and the workers import it, rather than receiving a copy of this script's __main__.
    import sweep
    sys.exit(sweep.main())
