"""Replays a recorded session through the sample strategy.

    python examples/replay.py [-v] [session.csv]

Each line of the session is one broker event (see examples/README.md for the
format). The whole file is parsed first into (bound simulate entry, arguments)
pairs; only then are the events fed to the strategy, one simulate call each, so
that the timed loop does nothing but dispatch. A malformed line stops the replay
before any event is fed, with a message naming the file and line, and exit
status 2.
"""

from __future__ import annotations

import argparse
import csv
import io
import logging
import sys
import time
from collections import Counter
from collections.abc import Collection, Iterable, Sequence
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Callable, Tuple, Union

import OrvCpp

from strategy import SampleStrategy

DEFAULT_SESSION = Path(__file__).resolve().parent / "data" / "session.csv"

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


# An argument of a simulate entry, as converted from its field (TickType is an int).
# (typing aliases, not the builtin generics: aliases are evaluated at run time, also on 3.7.)
Arg = Union[int, float, str]
# A parsed event: (kind, simulate entry name, entry arguments).
Event = Tuple[str, str, Tuple[Arg, ...]]
# A bound simulate entry and the arguments to call it with.
Call = Tuple[Callable[..., None], Tuple[Arg, ...]]


class SessionError(Exception):
    """A line of the session file that cannot be replayed."""


def whole(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise SessionError(f"not a whole number: {text!r}") from None
    if not INT32_MIN <= value <= INT32_MAX:
        raise SessionError(f"whole number out of 32-bit range: {text}")
    return value


def real(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise SessionError(f"not a number: {text!r}") from None


def tick_type(text: str) -> OrvCpp.TickType:
    try:
        return OrvCpp.TickType.names[text]
    except KeyError:
        raise SessionError(f"unknown tick type: {text!r}") from None


def quantity(value: str) -> str:
    """A size or share count: travels as text, but must read as a decimal number."""
    try:
        if Decimal(value).is_finite():
            return value
    except InvalidOperation:
        pass
    raise SessionError(f"not a quantity: {value!r}")


def text(value: str) -> str:
    return value


# Event kind -> (simulate entry, field names, field converters, unused trailing texts).
# The simulate entries of some callbacks take one more text than the callback does;
# the replay passes an empty one.
EVENT_KINDS: dict[str, tuple[str, str, tuple[Callable[[str], Arg], ...], int]] = {
    "tick_price": ("simulateTickPrice", "req_id tick_type price attrib",
                   (whole, tick_type, real, text), 1),
    "tick_size": ("simulateTickSize", "req_id tick_type size",
                  (whole, tick_type, quantity), 1),
    "order_status": ("simulateOrderStatus",
                     "order_id status filled remaining avg_fill_price perm_id parent_id "
                     "last_fill_price client_id why_held mkt_cap_price",
                     (whole, text, quantity, quantity, real, whole, whole, real, whole,
                      text, real), 0),
    "exec_details": ("simulateExecDetails", "req_id contract execution",
                     (whole, text, text), 1),
    "position": ("simulatePosition", "account contract position avg_cost",
                 (text, text, quantity, real), 1),
    "position_end": ("simulatePositionEnd", "", (), 0),
    "account_value": ("simulateUpdateAccountValue", "key value currency account",
                      (text, text, text, text), 0),
    "open_order": ("simulateOpenOrder", "order_id contract order order_state",
                   (whole, text, text, text), 1),
    "open_order_end": ("simulateOpenOrderEnd", "", (), 0),
    "next_valid_id": ("simulateNextValidId", "order_id", (whole,), 0),
    "historical_data": ("simulateHistoricalData", "req_id bar", (whole, text), 0),
    "current_time": ("simulateCurrentTime", "epoch_seconds", (whole,), 0),
}


def parse_line(fields: list[str]) -> Event:
    """One CSV row -> (kind, simulate entry name, entry arguments)."""
    kind, values = fields[0].strip(), fields[1:]
    if kind not in EVENT_KINDS:
        raise SessionError(f"unknown event kind: {kind!r}")
    entry, names, converters, unused = EVENT_KINDS[kind]
    if len(values) != len(converters):
        expected = f"{len(converters)} field(s) ({names})" if converters else "no fields"
        raise SessionError(f"{kind} takes {expected}, got {len(values)}")
    args: list[Arg] = []
    for name, convert, value in zip(names.split(), converters, values):
        try:
            args.append(convert(value))
        except SessionError as e:
            raise SessionError(f"{kind} field {name}: {e}") from None
    return kind, entry, (*args, *[""] * unused)


def read_session(path: Path) -> str:
    """The session file's text, line ends as written; raises SessionError naming the file."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()
    except OSError as e:
        raise SessionError(f"{path}: cannot read: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise SessionError(f"{path}: not UTF-8 text: {e.reason}") from None


def parse_text(text: str, source: str) -> list[Event]:
    """Parses a session's text; raises SessionError naming the source and line."""
    events: list[Event] = []
    # Lines split as a file opened with newline="" splits them, which the csv module needs.
    for lineno, line in enumerate(io.StringIO(text, newline=""), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        try:
            fields = next(csv.reader([line], strict=True))
            events.append(parse_line(fields))
        except csv.Error as e:
            raise SessionError(f"{source}:{lineno}: bad CSV: {e}") from None
        except SessionError as e:
            raise SessionError(f"{source}:{lineno}: {e}") from None
    return events


def parse_session(path: Path) -> list[Event]:
    """Reads the whole session; raises SessionError naming the file and line."""
    return parse_text(read_session(path), str(path))


def bind(client: OrvCpp.OrvClient, events: Collection[Event]) -> list[Call]:
    """(kind, entry name, args) -> (bound simulate entry, args), ready to call."""
    entries: dict[str, Callable[..., None]] = {
        entry: getattr(client, entry) for _, entry, _ in events}
    return [(entries[entry], args) for _, entry, args in events]


def replay(calls: Iterable[Call]) -> float:
    """Feeds every event; returns the seconds the dispatch took."""
    start = time.perf_counter()
    for entry, args in calls:
        entry(*args)
    return time.perf_counter() - start


# Event kind -> the strategy callback it reaches.
CALLBACKS = {
    "tick_price": "tickPrice", "tick_size": "tickSize", "order_status": "orderStatus",
    "exec_details": "execDetails", "position": "position", "position_end": "positionEnd",
    "account_value": "updateAccountValue", "open_order": "openOrder",
    "open_order_end": "openOrderEnd", "next_valid_id": "nextValidId",
    "historical_data": "historicalData", "current_time": "currentTime",
}


def summary(path: Path, kinds: Counter[str], strategy: SampleStrategy, seconds: float) -> str:
    total = sum(kinds.values())
    out = [f"replayed {total} events from {path}", "",
           f"events per kind:        {'in file':>8} {'handled':>8}"]
    for kind in EVENT_KINDS:
        if kinds[kind]:
            handled = strategy.events[CALLBACKS[kind]]
            out.append(f"  {kind:<20} {kinds[kind]:>8} {handled:>8}")

    out += ["", "final positions:"]
    for account, holdings in sorted(strategy.positions.items()):
        for contract, (qty, avg_cost) in sorted(holdings.items()):
            out.append(f"  {account:<10} {contract:<16} {qty:>8} @ {avg_cost:.4f}")

    out += ["", "last prices:"]
    for ticker_id in sorted({t for t, _ in strategy.prices}):
        # str() gives a member's name, or the number of an unlisted tick type.
        row = sorted((int(tt), str(tt), p) for (t, tt), p in strategy.prices.items()
                     if t == ticker_id)
        out.append(f"  {ticker_id:>3}  " + "  ".join(f"{name}={p:g}" for _, name, p in row))

    out += ["", "order states:"]
    for order_id, o in sorted(strategy.orders.items()):
        out.append(f"  {order_id:>5} {o.status:<14} {o.order:<24} {o.contract:<16} "
                   f"filled {o.filled}/{o.filled + o.remaining} avg {o.avg_fill_price:g}")

    requests = Counter(method for method, *_ in strategy.sent)
    out += ["", "requests sent: " + ", ".join(f"{m} {n}" for m, n in sorted(requests.items()))]
    rate = total / seconds if seconds > 0 else float("inf")
    out.append(f"replay took {seconds * 1000:.1f} ms: {rate:,.0f} events/s")
    return "\n".join(out)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Replay a recorded session through the sample strategy.")
    parser.add_argument("session", nargs="?", type=Path, default=DEFAULT_SESSION,
                        help="session file (default: examples/data/session.csv)")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log orders (-v) and every request (-vv)")
    options = parser.parse_args(argv)
    verbose: int = options.verbose
    level = (logging.WARNING, logging.INFO, logging.DEBUG)[min(verbose, 2)]
    logging.basicConfig(level=level, format="%(name)s: %(message)s")

    try:
        events = parse_session(options.session)
    except SessionError as e:
        print(f"replay: {e}", file=sys.stderr)
        return 2

    strategy = SampleStrategy()
    strategy.start()
    seconds = replay(bind(strategy, events))
    strategy.stop()
    print(summary(options.session, Counter(kind for kind, _, _ in events), strategy, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
