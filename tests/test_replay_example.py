"""The replay example: the shipped session, malformed sessions, and the sample
strategy's state after a small hand-written session."""

import csv
import re
import subprocess
import sys
from collections import Counter
from decimal import Decimal
from pathlib import Path

import pytest

import OrvCpp

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SESSION = EXAMPLES / "data" / "session.csv"
sys.path.insert(0, str(EXAMPLES))

import replay  # noqa: E402
from strategy import CrossingRule, OrderRecord, SampleStrategy  # noqa: E402

T = OrvCpp.TickType


def run(*args, cwd=None):
    return subprocess.run([sys.executable, str(EXAMPLES / "replay.py"), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


def session_rows(path):
    """The event rows of a session file, read without the example's parser."""
    with open(path, newline="", encoding="utf-8") as f:
        lines = [line for line in f if line.strip() and not line.startswith("#")]
    return list(csv.reader(lines))


# -- the shipped session --------------------------------------------------------

@pytest.fixture(scope="module")
def shipped():
    return run(SESSION)


def test_shipped_session_replays_every_event(shipped):
    assert shipped.returncode == 0, shipped.stderr
    assert shipped.stderr == ""
    expected = Counter(row[0] for row in session_rows(SESSION))
    reported = {m[1]: (int(m[2]), int(m[3])) for m in
                re.finditer(r"^  (\w+) +(\d+) +(\d+)$", shipped.stdout, re.MULTILINE)}
    assert reported == {kind: (n, n) for kind, n in expected.items()}
    assert f"replayed {sum(expected.values())} events" in shipped.stdout


def test_shipped_session_has_every_kind_and_thousands_of_ticks():
    kinds = Counter(row[0] for row in session_rows(SESSION))
    assert set(kinds) == set(replay.EVENT_KINDS)
    assert kinds["tick_price"] + kinds["tick_size"] >= 2000
    assert SESSION.stat().st_size < 400_000


def test_shipped_session_summary_sections(shipped):
    out = shipped.stdout
    for heading in ("final positions:", "last prices:", "order states:", "requests sent:"):
        assert heading in out
    rate = re.search(r"([\d,]+) events/s$", out, re.MULTILINE)
    assert rate and int(rate[1].replace(",", "")) > 0
    # The last recorded position of each contract is the final one.
    last = {row[2]: (row[3], row[4]) for row in session_rows(SESSION) if row[0] == "position"}
    for contract, (qty, avg_cost) in last.items():
        assert re.search(rf"{re.escape(contract)} +{qty} @ {float(avg_cost):.4f}$", out, re.MULTILINE)


def test_default_path_is_the_shipped_session(shipped):
    result = run(cwd="/")
    assert result.returncode == 0, result.stderr
    strip = lambda s: re.sub(r"replay took .*", "", s)  # noqa: E731
    assert strip(result.stdout) == strip(shipped.stdout)


def test_session_generator_reproduces_the_shipped_file(tmp_path):
    out = tmp_path / "session.csv"
    subprocess.run([sys.executable, str(EXAMPLES / "make_session.py"), str(out)],
                   check=True, capture_output=True, timeout=120)
    assert out.read_bytes() == SESSION.read_bytes()


@pytest.mark.parametrize("script", ["make_session.py", "replay.py"])
def test_example_help_prints_usage_and_writes_nothing(tmp_path, script):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), "--help"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage:")
    assert list(tmp_path.iterdir()) == []


def test_strategy_places_exactly_the_recorded_orders():
    rows = session_rows(SESSION)
    first_id = int(next(row[1] for row in rows if row[0] == "next_valid_id"))
    recorded = {int(row[1]): (row[2], row[3]) for row in rows
                if row[0] == "open_order" and int(row[1]) >= first_id}
    strategy = SampleStrategy()
    replay.replay(replay.bind(strategy, replay.parse_session(SESSION)))
    placed = {m[1]: (m[2], m[3]) for m in strategy.sent if m[0] == "placeOrder"}
    assert recorded and placed == recorded


# -- malformed sessions ---------------------------------------------------------

GOOD = "# a comment, with a comma\nnext_valid_id,1\n\ntick_price,1,LAST,100.5,\n"
BAD_LINE = 5  # the line after GOOD

MALFORMED = [
    ("too few fields", "tick_price,1,LAST,100.5", "takes 4 field"),
    ("too many fields", "next_valid_id,1,2", "takes 1 field"),
    ("fields on an end marker", "position_end,x", "takes no fields"),
    ("order status short", "order_status,1,Filled,1,0,1.0,2,0,1.0,7,", "takes 11 field"),
    ("bad whole number", "tick_size,one,BID_SIZE,100", "not a whole number"),
    ("real where whole expected", "next_valid_id,1.5", "not a whole number"),
    ("bad real number", "tick_price,1,LAST,100.5.1,", "not a number"),
    ("whole number beyond 32 bits", "current_time,4294967296", "32-bit"),
    ("bad quantity", "tick_size,1,BID_SIZE,lots", "not a quantity"),
    ("bad position", "position,A,ACME STK USD,ten,1.0", "not a quantity"),
    ("unknown kind", "tick_prize,1,LAST,100.5,", "unknown event kind"),
    ("empty kind", ",1", "unknown event kind"),
    ("unknown tick type", "tick_price,1,LASTPRICE,100.5,", "unknown tick type"),
    ("tick type in lower case", "tick_size,1,bid_size,100", "unknown tick type"),
    ("tick type by number", "tick_price,1,4,100.5,", "unknown tick type"),
    ("unterminated quote", 'historical_data,1,"bar', "bad CSV"),
]


@pytest.mark.parametrize("line, fragment", [m[1:] for m in MALFORMED],
                         ids=[m[0] for m in MALFORMED])
def test_malformed_line_is_reported_with_its_line_number(tmp_path, line, fragment):
    path = tmp_path / "broken.csv"
    path.write_text(GOOD + line + "\nnext_valid_id,2\n")
    result = run(path)
    assert result.returncode == 2
    assert f"{path}:{BAD_LINE}: " in result.stderr
    assert fragment in result.stderr
    assert "Traceback" not in result.stderr + result.stdout
    assert result.stdout == ""  # nothing was replayed


@pytest.mark.parametrize("name, content", [
    ("missing.csv", None),
    ("latin1.csv", b"account_value,Name,\xe9t\xe9,,A\n"),
])
def test_unreadable_file_is_reported(tmp_path, name, content):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    result = run(path)
    assert result.returncode == 2
    assert str(path) in result.stderr
    assert "Traceback" not in result.stderr + result.stdout


# -- the strategy's state -------------------------------------------------------

TINY = """\
# a small session written by hand
next_valid_id,500
current_time,1709303400
account_value,TotalCashValue,1000.00,USD,ACC9
account_value,TotalCashValue,950.50,USD,ACC9
position,ACC9,ACME STK USD,0,0.0
position,ACC9,ZENO STK USD,12.5,40.0
position_end
open_order,42,ZENO STK USD,"SELL 12.5 LMT 44.00, GTC",Submitted
open_order_end
historical_data,1,20240229 14:30:00;O=100;H=101;L=99.5;C=100.5;V=1200
tick_price,1,LAST,100.50,
tick_price,1,BID,100.49,
tick_size,1,BID_SIZE,300
tick_price,1,LAST,101.20,
order_status,500,Submitted,0,100,0.0,9500,0,0.0,7,,0.0
tick_price,2,LAST,48.55,
tick_price,2,LAST,48.70,
exec_details,-1,ACME STK USD,execId=E1;orderId=500;side=BOT;shares=100;price=101.20
order_status,500,Filled,100,0,101.2,9500,0,101.2,7,,0.0
position,ACC9,ACME STK USD,100,101.2
tick_price,1,LAST,100.90,
tick_size,1,BID_SIZE,250
tick_price,1,LAST,101.00,
order_status,42,Cancelled,0,12.5,0.0,9042,0,0.0,7,,0.0
current_time,1709303460
"""


@pytest.fixture
def tiny(tmp_path):
    path = tmp_path / "tiny.csv"
    path.write_text(TINY)
    strategy = SampleStrategy(account="ACC9")
    strategy.start()
    replay.replay(replay.bind(strategy, replay.parse_session(path)))
    return strategy


def test_tiny_session_positions(tiny):
    assert tiny.positions == {"ACC9": {"ACME STK USD": (Decimal(100), 101.2),
                                       "ZENO STK USD": (Decimal("12.5"), 40.0)}}
    assert tiny.positions_complete


def test_tiny_session_prices_and_sizes(tiny):
    assert tiny.prices == {(1, T.LAST): 101.0, (1, T.BID): 100.49, (2, T.LAST): 48.7}
    assert tiny.sizes == {(1, T.BID_SIZE): Decimal(250)}


def test_tiny_session_orders(tiny):
    execution = "execId=E1;orderId=500;side=BOT;shares=100;price=101.20"
    assert tiny.orders == {
        42: OrderRecord("ZENO STK USD", "SELL 12.5 LMT 44.00, GTC", "Cancelled",
                        Decimal(0), Decimal("12.5"), 0.0, 0.0, 9042),
        500: OrderRecord("ACME STK USD", "BUY 100 MKT", "Filled", Decimal(100), Decimal(0),
                         101.2, 101.2, 9500, [execution]),
        501: OrderRecord("BOLT STK USD", "BUY 200 MKT", "PendingSubmit",
                         remaining=Decimal(200)),
    }
    assert tiny.open_orders_complete
    assert tiny.next_order_id == 502


def test_tiny_session_account_time_bars_and_counts(tiny):
    assert tiny.account_values == {("ACC9", "TotalCashValue", "USD"): "950.50"}
    assert tiny.server_time == 1709303460
    assert tiny.bars == {1: ["20240229 14:30:00;O=100;H=101;L=99.5;C=100.5;V=1200"]}
    assert tiny.events == Counter(
        tickPrice=7, tickSize=2, orderStatus=3, execDetails=1, position=3, positionEnd=1,
        updateAccountValue=2, openOrder=1, openOrderEnd=1, nextValidId=1,
        historicalData=1, currentTime=2)


def test_tiny_session_requests(tiny):
    placed = [m for m in tiny.sent if m[0] == "placeOrder"]
    assert placed == [("placeOrder", 500, "ACME STK USD", "BUY 100 MKT"),
                      ("placeOrder", 501, "BOLT STK USD", "BUY 200 MKT")]
    before = len(tiny.sent)
    tiny.stop()
    # Only the order still working is cancelled; then every subscription, then the link.
    assert tiny.sent[before:] == [("cancelOrder", 501, "")] + [
        ("cancelMktData", n) for n in (1, 2, 3, 4)] + [("disconnect",)]
    assert tiny.sent[0] == ("connect", "127.0.0.1", 4100, 7)
    assert ("reqAccountUpdates", True, "ACC9") in tiny.sent


@pytest.mark.parametrize("prices, actions", [
    ([100.0, 101.0], [None, None]),                              # below the band
    ([101.0, 101.2], [None, "BUY"]),                             # rises through level + band
    ([101.2, 101.3], [None, None]),                              # starts above: no crossing
    ([101.0, 101.2, 101.0, 100.9, 100.8], [None, "BUY", None, None, "SELL"]),
    ([101.0, 101.2, 101.0, 101.2], [None, "BUY", None, None]),   # already holding
    ([100.8, 100.9, 100.8], [None, None, None]),                 # nothing held to sell
    ([101.0, 101.15, 100.85], [None, "BUY", "SELL"]),            # exactly on the band edges
])
def test_crossing_rule(prices, actions):
    rule = CrossingRule(level=101.0, band=0.15)
    assert [rule.on_last(p) for p in prices] == actions
