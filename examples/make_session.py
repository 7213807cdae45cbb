"""Writes the recorded session examples/data/session.csv.

    python examples/make_session.py [output]    (default: examples/data/session.csv)

The session is generated, not captured: a seeded random walk of trades and quotes
for the instruments of strategy.WATCHLIST, with the orders the sample strategy
places on it (decided by the same CrossingRule), their fills, executions, position
and account updates. The same seed always gives the same file, byte for byte.
"""

from __future__ import annotations

import argparse
import csv
import random
from datetime import datetime, timezone
from pathlib import Path
from dataclasses import dataclass
from typing import TextIO

from strategy import WATCHLIST, CrossingRule, Instrument

SEED = 20240301
STEPS = 1500
ACCOUNT = "ACC0001"
CLIENT_ID = 7
FIRST_ORDER_ID = 101
START_TIME = 1709303400  # 2024-03-01 14:30:00 UTC
START_CASH = 250_000_00  # in cents

HEADER = """\
# Recorded session for examples/replay.py, written by examples/make_session.py.
# One event per line: the event kind, then its fields, comma separated (CSV
# quoting allowed). Lines starting with '#' and blank lines are ignored.
#   tick_price,req_id,tick_type,price,attrib
#   tick_size,req_id,tick_type,size
#   order_status,order_id,status,filled,remaining,avg_fill_price,perm_id,parent_id,last_fill_price,client_id,why_held,mkt_cap_price
#   exec_details,req_id,contract,execution
#   position,account,contract,position,avg_cost
#   position_end
#   account_value,key,value,currency,account
#   open_order,order_id,contract,order,order_state
#   open_order_end
#   next_valid_id,order_id
#   historical_data,req_id,bar
#   current_time,epoch_seconds
# tick_type is a TickType name (LAST, BID_SIZE, ...); sizes, quantities and
# account values are texts; prices are decimal numbers.
"""


def money(cents: int) -> str:
    sign = "-" if cents < 0 else ""
    return f"{sign}{abs(cents) // 100}.{abs(cents) % 100:02d}"


def clock(t: float) -> str:
    return datetime.fromtimestamp(t, timezone.utc).strftime("%Y%m%d %H:%M:%S")


class Market:
    """Price state of one instrument, in cents."""

    def __init__(self, instrument: Instrument, rng: random.Random) -> None:
        self.instrument = instrument
        self.level = round(instrument.level * 100)
        self.last = self.level + rng.randint(-5, 5)
        self.high = self.low = self.last
        self.volume = 0
        self.sigma = max(1.0, self.level * 0.0004)

    def trade(self, rng: random.Random) -> int:
        pull = (self.level - self.last) * 0.02
        self.last = max(1, self.last + round(rng.gauss(pull, self.sigma)))
        return self.last


@dataclass
class PendingFill:
    """A fill still to come: part of an order, filled at the step ``due``."""

    due: int
    order_id: int
    action: str
    qty: int
    total: int
    contract: str


class Recorder:
    def __init__(self, out: TextIO, rng: random.Random, markets: list[Market]) -> None:
        self.markets = {m.instrument.contract: m for m in markets}
        self.writer = csv.writer(out, lineterminator="\n")
        self.rng = rng
        self.time = float(START_TIME)
        self.cash = START_CASH
        self.holdings: dict[str, tuple[int, int]] = {}  # contract -> (shares, cost in cents)
        self.next_order_id = FIRST_ORDER_ID
        self.next_exec = 1
        self.pending: list[PendingFill] = []  # fills still to come
        self.fills: list[tuple[int, int, int]] = []  # (order id, shares, price in cents)

    def emit(self, *fields: str | int | float) -> None:
        self.writer.writerow(fields)

    def account_values(self) -> None:
        self.emit("account_value", "TotalCashValue", money(self.cash), "USD", ACCOUNT)
        self.emit("account_value", "AvailableFunds", money(self.cash), "USD", ACCOUNT)

    def opening(self) -> None:
        self.emit("current_time", START_TIME)
        self.emit("next_valid_id", FIRST_ORDER_ID)
        self.emit("account_value", "AccountType", "INDIVIDUAL", "", ACCOUNT)
        self.emit("account_value", "Currency", "USD", "USD", ACCOUNT)
        self.account_values()
        self.emit("account_value", "BuyingPower", money(self.cash * 4), "USD", ACCOUNT)
        # A holding and a resting order left over from an earlier session.
        self.holdings["ZENO STK USD"] = (300, 300 * 4112)
        self.emit("position", ACCOUNT, "ZENO STK USD", "300", 41.12)
        self.emit("position_end")
        self.emit("open_order", 95, "ZENO STK USD", "SELL 300 LMT 44.00 GTC", "Submitted")
        self.emit("order_status", 95, "Submitted", "0", "300", 0.0, 880095, 0, 0.0, CLIENT_ID, "", 0.0)
        self.emit("open_order_end")
        for m in self.markets.values():
            self.history(m)

    def history(self, m: Market) -> None:
        """Yesterday's 26 fifteen-minute bars, walking into today's opening price."""
        closes = [m.last]
        for _ in range(26):
            closes.append(closes[-1] - round(self.rng.gauss(0, m.sigma * 3)))
        closes.reverse()
        day = START_TIME - 86400
        for n in range(26):
            o, c = closes[n], closes[n + 1]
            h = max(o, c) + self.rng.randint(0, round(m.sigma * 2))
            lo = min(o, c) - self.rng.randint(0, round(m.sigma * 2))
            bar = (f"{clock(day + n * 900)};O={money(o)};H={money(h)};L={money(lo)};"
                   f"C={money(c)};V={self.rng.randint(50, 400) * 100}")
            self.emit("historical_data", m.instrument.ticker_id, bar)

    def step(self, step: int, m: Market, rule: CrossingRule) -> None:
        self.time += self.rng.expovariate(2.0)
        tid = m.instrument.ticker_id
        if self.rng.random() < 0.45:
            price = m.trade(self.rng)
            size = self.rng.choice((1, 1, 2, 3, 5, 10)) * 100
            m.volume += size
            self.emit("tick_price", tid, "LAST", money(price), "")
            self.emit("tick_size", tid, "LAST_SIZE", size)
            self.emit("tick_size", tid, "VOLUME", m.volume // 100)
            if price > m.high:
                m.high = price
                self.emit("tick_price", tid, "HIGH", money(price), "")
            if price < m.low:
                m.low = price
                self.emit("tick_price", tid, "LOW", money(price), "")
            action = rule.on_last(float(money(price)))
            if action:
                self.order(step, m, action)
        else:
            bid = self.rng.random() < 0.5
            offset = self.rng.randint(1, 3)
            price = m.last - offset if bid else m.last + offset
            size = self.rng.randint(1, 40) * 100
            self.emit("tick_price", tid, "BID" if bid else "ASK", money(price), "")
            self.emit("tick_size", tid, "BID_SIZE" if bid else "ASK_SIZE", size)
        for fill in [f for f in self.pending if f.due == step]:
            self.fill(fill, self.markets[fill.contract])

    def order(self, step: int, m: Market, action: str) -> None:
        order_id, self.next_order_id = self.next_order_id, self.next_order_id + 1
        qty = m.instrument.quantity
        self.emit("open_order", order_id, m.instrument.contract, f"{action} {qty} MKT", "Submitted")
        self.emit("order_status", order_id, "Submitted", "0", qty, 0.0, 880000 + order_id, 0,
                  0.0, CLIENT_ID, "", 0.0)
        parts = [qty] if qty < 100 or self.rng.random() < 0.6 else [qty // 2, qty - qty // 2]
        due = step
        for part in parts:
            due += self.rng.randint(1, 6)
            self.pending.append(PendingFill(due=due, order_id=order_id, action=action, qty=part,
                                            total=qty, contract=m.instrument.contract))

    def fill(self, f: PendingFill, m: Market) -> None:
        self.pending.remove(f)
        order_id, qty, price = f.order_id, f.qty, m.last
        done = [g for g in self.fills if g[0] == order_id]
        self.fills.append((order_id, qty, price))
        filled = sum(g[1] for g in done) + qty
        cost = sum(g[1] * g[2] for g in done) + qty * price
        avg = round(cost / filled / 100, 4)
        side = "BOT" if f.action == "BUY" else "SLD"
        execution = (f"execId=E{self.next_exec:05d};orderId={order_id};time={clock(self.time)};"
                     f"side={side};shares={qty};price={money(price)}")
        self.next_exec += 1
        self.emit("exec_details", -1, f.contract, execution)
        status = "Filled" if filled == f.total else "Submitted"
        self.emit("order_status", order_id, status, filled, f.total - filled, avg,
                  880000 + order_id, 0, float(money(price)), CLIENT_ID, "", 0.0)
        shares, held_cost = self.holdings.get(f.contract, (0, 0))
        if f.action == "BUY":
            shares, held_cost = shares + qty, held_cost + qty * price
            self.cash -= qty * price
        else:
            held_cost = held_cost * (shares - qty) // shares if shares else 0
            shares -= qty
            self.cash += qty * price
        self.holdings[f.contract] = (shares, held_cost)
        if status == "Filled":
            avg_cost = round(held_cost / shares / 100, 4) if shares else 0.0
            self.emit("position", ACCOUNT, f.contract, shares, avg_cost)
            self.account_values()


def generate(out: TextIO) -> None:
    rng = random.Random(SEED)
    markets = [Market(i, rng) for i in WATCHLIST]
    rules = [CrossingRule(i.level, i.band) for i in WATCHLIST]
    out.write(HEADER)
    rec = Recorder(out, rng, markets)
    rec.opening()
    for step in range(STEPS):
        n = rng.randrange(len(markets))
        rec.step(step, markets[n], rules[n])
        if step == STEPS // 2:
            rec.emit("order_status", 95, "Cancelled", "0", "300", 0.0, 880095, 0, 0.0,
                     CLIENT_ID, "", 0.0)
    rec.emit("current_time", int(rec.time))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path,
                        default=Path(__file__).resolve().parent / "data" / "session.csv",
                        help="the file to write (default: examples/data/session.csv)")
    path: Path = parser.parse_args(argv).output
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="") as out:
        generate(out)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
