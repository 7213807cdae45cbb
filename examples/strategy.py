"""A small sample strategy built on OrvCpp.OrvClient.

The broker-facing request methods (``placeOrder``, ``reqMktData``, ...) would write
to a broker connection in a live setting; here they only record what they would
send, in ``self.sent`` and on the ``orvcpp.strategy`` logger at DEBUG level.

The callbacks keep the strategy's view of the world: positions, last prices and
sizes per ticker id and tick type, order states, account values and a count of
the events of each kind.

The trading rule is a crossing rule per watched instrument: buy when the LAST
price rises through ``level + band``, sell the holding when it falls through
``level - band``.
"""

from __future__ import annotations

import logging
import sys
from collections import Counter, defaultdict
from collections.abc import Collection
from dataclasses import dataclass, field
from decimal import Decimal
from typing import TYPE_CHECKING, Tuple

import OrvCpp

# Every request and callback below is marked @override: a type checker then rejects
# one whose name or parameters OrvClient does not declare.
if sys.version_info >= (3, 12):
    from typing import override
elif TYPE_CHECKING:
    from typing_extensions import override
else:
    def override(method):  # the marker informs type checkers only
        return method

log = logging.getLogger("orvcpp.strategy")

TickType = OrvCpp.TickType

# A request as recorded in SampleStrategy.sent: the method name, then its arguments.
# (A typing alias, not tuple[...]: aliases are evaluated at run time, also on 3.7.)
Request = Tuple[object, ...]

# Order states after which an order can no longer change.
TERMINAL_STATES = frozenset({"Filled", "Cancelled", "ApiCancelled", "Inactive"})


@dataclass(frozen=True)
class Instrument:
    """A watched instrument: ticker id, contract text and the crossing rule's settings."""

    ticker_id: int
    contract: str
    level: float
    band: float
    quantity: int


# The instruments the sample strategy subscribes to; make_session.py records a
# session for the same list.
WATCHLIST = (
    Instrument(1, "ACME STK USD", level=101.00, band=0.15, quantity=100),
    Instrument(2, "BOLT STK USD", level=48.50, band=0.10, quantity=200),
    Instrument(3, "CRUX STK USD", level=312.00, band=0.60, quantity=20),
    Instrument(4, "DYNA STK USD", level=17.25, band=0.04, quantity=500),
)


class CrossingRule:
    """Decides BUY or SELL from successive LAST prices of one instrument."""

    def __init__(self, level: float, band: float):
        self.upper = level + band
        self.lower = level - band
        self.holding = False
        self.previous: float | None = None

    def on_last(self, price: float) -> str | None:
        previous, self.previous = self.previous, price
        if previous is None:
            return None
        if not self.holding and previous < self.upper <= price:
            self.holding = True
            return "BUY"
        if self.holding and previous > self.lower >= price:
            self.holding = False
            return "SELL"
        return None


@dataclass
class OrderRecord:
    """What the strategy knows about one order."""

    contract: str = ""
    order: str = ""
    status: str = ""
    filled: Decimal = Decimal(0)
    remaining: Decimal = Decimal(0)
    avg_fill_price: float = 0.0
    last_fill_price: float = 0.0
    perm_id: int = 0
    executions: list[str] = field(default_factory=lambda: [])


class SampleStrategy(OrvCpp.OrvClient):
    def __init__(self, watchlist: Collection[Instrument] = WATCHLIST, account: str = "ACC0001",
                 host: str = "127.0.0.1", port: int = 4100, client_id: int = 7) -> None:
        super().__init__()
        self.account = account
        self.host, self.port, self.client_id = host, port, client_id
        self.instruments = {i.ticker_id: i for i in watchlist}
        self.rules = {i.ticker_id: CrossingRule(i.level, i.band) for i in watchlist}

        self.sent: list[Request] = []               # requests, as (method, *args)
        self.events: Counter[str] = Counter()       # callbacks seen, per name
        self.positions: dict[str, dict[str, tuple[Decimal, float]]] = defaultdict(dict)
        self.positions_complete = False
        self.prices: dict[tuple[int, TickType], float] = {}
        self.sizes: dict[tuple[int, TickType], Decimal] = {}
        self.orders: dict[int, OrderRecord] = {}
        self.open_orders_complete = False
        self.account_values: dict[tuple[str, str, str], str] = {}
        self.bars: dict[int, list[str]] = defaultdict(list)
        self.errors: list[tuple[int, int, str, str]] = []
        self.next_order_id: int | None = None
        self.server_time: int | None = None

    # -- lifecycle, driven by whoever runs the strategy ------------------------

    def start(self) -> None:
        self.e_connect(self.host, self.port, self.client_id)
        self.req_ids(1)
        self.req_current_time()
        self.req_account_updates(True, self.account)
        self.req_positions()
        self.req_open_orders()
        for i in self.instruments.values():
            self.req_historical_data(i.ticker_id, i.contract, "", "1 D", "15 mins",
                                     "TRADES", 1, 1, False, "")
            self.req_mkt_data(i.ticker_id, i.contract, "", False, False, "")

    def stop(self) -> None:
        for order_id, record in self.orders.items():
            if record.status not in TERMINAL_STATES:
                self.cancel_order(order_id, "")
        for ticker_id in self.instruments:
            self.cancel_mkt_data(ticker_id)
        self.e_disconnect()

    def submit(self, instrument: Instrument, action: str) -> int | None:
        if self.next_order_id is None:
            log.warning("no order id yet; %s %s not placed", action, instrument.contract)
            return None
        order_id = self.next_order_id
        self.next_order_id += 1
        order = f"{action} {instrument.quantity} MKT"
        self.orders[order_id] = OrderRecord(instrument.contract, order, "PendingSubmit",
                                            remaining=Decimal(instrument.quantity))
        log.info("order %d: %s %s", order_id, order, instrument.contract)
        self.place_order(order_id, instrument.contract, order)
        return order_id

    # -- requests: what would go to the broker ---------------------------------

    def _send(self, method: str, *args: object) -> None:
        self.sent.append((method, *args))
        log.debug("send %s%r", method, args)

    @override
    def connect(self, host: str, port: int, client_id: int) -> None:
        self._send("connect", host, port, client_id)

    @override
    def disconnect(self) -> None:
        self._send("disconnect")

    @override
    def reqIds(self, num_ids: int) -> None:
        self._send("reqIds", num_ids)

    @override
    def reqCurrentTime(self) -> None:
        self._send("reqCurrentTime")

    @override
    def reqAccountUpdates(self, subscribe: bool, account: str) -> None:
        self._send("reqAccountUpdates", subscribe, account)

    @override
    def reqPositions(self) -> None:
        self._send("reqPositions")

    @override
    def reqOpenOrders(self) -> None:
        self._send("reqOpenOrders")

    @override
    def reqMktData(self, req_id: int, contract: str, generic_ticks: str, snapshot: bool,
                   regulatory: bool, options: str) -> None:
        self._send("reqMktData", req_id, contract, generic_ticks, snapshot, regulatory, options)

    @override
    def cancelMktData(self, req_id: int) -> None:
        self._send("cancelMktData", req_id)

    @override
    def reqHistoricalData(self, req_id: int, contract: str, end: str, duration: str,
                          bar_size: str, what_to_show: str, use_rth: int, format_date: int,
                          keep_up_to_date: bool, options: str) -> None:
        self._send("reqHistoricalData", req_id, contract, end, duration, bar_size,
                   what_to_show, use_rth, format_date, keep_up_to_date, options)

    @override
    def placeOrder(self, order_id: int, contract: str, order: str) -> None:
        self._send("placeOrder", order_id, contract, order)

    @override
    def cancelOrder(self, order_id: int, manual_cancel_time: str) -> None:
        self._send("cancelOrder", order_id, manual_cancel_time)

    # -- callbacks: what comes back ----------------------------------------------

    @override
    def tickPrice(self, req_id: int, tick_type: TickType, price: float, attrib: str) -> None:
        self.events["tickPrice"] += 1
        self.prices[req_id, tick_type] = price
        if tick_type == TickType.LAST and req_id in self.rules:
            action = self.rules[req_id].on_last(price)
            if action:
                self.submit(self.instruments[req_id], action)

    @override
    def tickSize(self, req_id: int, tick_type: TickType, size: str) -> None:
        self.events["tickSize"] += 1
        self.sizes[req_id, tick_type] = Decimal(size)

    @override
    def orderStatus(self, order_id: int, status: str, filled: str, remaining: str,
                    avg_fill_price: float, perm_id: int, parent_id: int,
                    last_fill_price: float, client_id: int, why_held: str,
                    mkt_cap_price: float) -> None:
        self.events["orderStatus"] += 1
        record = self.orders.setdefault(order_id, OrderRecord())
        record.status = status
        record.filled, record.remaining = Decimal(filled), Decimal(remaining)
        record.avg_fill_price, record.last_fill_price = avg_fill_price, last_fill_price
        record.perm_id = perm_id

    @override
    def openOrder(self, order_id: int, contract: str, order: str, order_state: str) -> None:
        self.events["openOrder"] += 1
        record = self.orders.setdefault(order_id, OrderRecord())
        record.contract, record.order, record.status = contract, order, order_state

    @override
    def openOrderEnd(self) -> None:
        self.events["openOrderEnd"] += 1
        self.open_orders_complete = True

    @override
    def execDetails(self, req_id: int, contract: str, execution: str) -> None:
        self.events["execDetails"] += 1
        # The execution text reads "key=value;key=value;..."; only orderId is needed here.
        fields = {key: value for key, _, value in
                  (part.partition("=") for part in execution.split(";"))}
        order_id = fields.get("orderId", "")
        if order_id.isdigit() and int(order_id) in self.orders:
            self.orders[int(order_id)].executions.append(execution)

    @override
    def position(self, account: str, contract: str, pos: str, avg_cost: float) -> None:
        self.events["position"] += 1
        self.positions[account][contract] = (Decimal(pos), avg_cost)

    @override
    def positionEnd(self) -> None:
        self.events["positionEnd"] += 1
        self.positions_complete = True

    @override
    def updateAccountValue(self, key: str, val: str, currency: str,
                           account_name: str) -> None:
        self.events["updateAccountValue"] += 1
        self.account_values[account_name, key, currency] = val

    @override
    def nextValidId(self, order_id: int) -> None:
        self.events["nextValidId"] += 1
        self.next_order_id = order_id

    @override
    def historicalData(self, req_id: int, bar: str) -> None:
        self.events["historicalData"] += 1
        self.bars[req_id].append(bar)

    @override
    def currentTime(self, time: int) -> None:
        self.events["currentTime"] += 1
        self.server_time = time

    @override
    def error(self, req_id: int, code: int, message: str, advanced: str) -> None:
        self.events["error"] += 1
        self.errors.append((req_id, code, message, advanced))
        log.warning("error %d for request %d: %s", code, req_id, message)
