"""Connection and heartbeat entries, the replay feed, and the developer mode."""
import pytest

from OrvCpp import OrvClient, TickType
from conftest import Recorder, make_recorder_class, sample_arguments
from interface_table import METHODS, REQUESTS, SIMULATIONS

DEFAULT_TEXT = "default developerResponse"
RECORDING = {"e_connect", "req_account_updates", "req_account_summary"} | {
    entry for entry, *_, text in SIMULATIONS if text}


class Failing(Exception):
    pass


def raising_recorder(name):
    def fail(self, *args):
        self.calls.append((name, args))
        raise Failing(name)

    return type("RaisingRecorder", (Recorder,), {name: fail})


@pytest.mark.parametrize("developer", [False, True], ids=["normal", "developer"])
@pytest.mark.parametrize("entry,params,callback,passed,text", SIMULATIONS,
                         ids=[row[0] for row in SIMULATIONS])
def test_simulation_entry(entry, params, callback, passed, text, developer):
    client = Recorder()
    if developer:
        client.setDeveloper()
    args = sample_arguments(params)
    getattr(client, entry)(*args)
    assert client.calls == [(callback, tuple(args[:passed]))]
    recorded = text if developer and text else DEFAULT_TEXT
    assert client.getDeveloperResponse() == recorded

    # The trailing unused text may be anything, even empty or undecodable.
    if len(params) > passed:
        client.calls.clear()
        getattr(client, entry)(*args[:passed], b"\xff")
        assert client.calls == [(callback, tuple(args[:passed]))]


@pytest.mark.parametrize("entry,params,callback,passed,text", SIMULATIONS,
                         ids=[row[0] for row in SIMULATIONS])
def test_simulation_keeps_previous_text_when_callback_raises(entry, params, callback, passed,
                                                               text):
    client = raising_recorder(callback)()
    client.setDeveloper()
    client.e_connect("h", 1, 2)
    with pytest.raises(Failing):
        getattr(client, entry)(*sample_arguments(params))
    assert client.getDeveloperResponse() == "connect test 1 passed 1 2"


def test_simulation_without_callback_still_records():
    client = OrvClient()
    client.setDeveloper()
    client.simulatePositionEnd()
    assert client.getDeveloperResponse() == "simulatePositionEnd test 1 passed"


def test_next_valid_id_for_testing_delivers_one():
    client = Recorder()
    client.simulateNextValidIdForTesting()
    client.simulateNextValidId(0)
    assert client.calls == [("nextValidId", (1,)), ("nextValidId", (0,))]


@pytest.mark.parametrize("port,client_id,text", [
    (7, -3, "connect test 1 passed 7 -3"),
    (0, 0, "connect test 1 passed 0 0"),
    (2**31 - 1, -(2**31), f"connect test 1 passed {2**31 - 1} {-(2**31)}"),
])
def test_connect_in_developer_mode_records_instead(port, client_id, text):
    client = Recorder()
    client.setDeveloper()
    client.e_connect("host.example", port, client_id)
    assert client.calls == []
    assert client.getDeveloperResponse() == text


@pytest.mark.parametrize("entry,args,operation,text", [
    ("req_account_updates", (True, "DU1"), "reqAccountUpdates", "reqAccountUpdates test 1 passed"),
    ("req_account_summary", (9, "All", "NetLiquidation"), "reqAccountSummary",
     "reqAccountSummary test 1 passed"),
])
def test_account_requests_in_developer_mode(entry, args, operation, text):
    client = Recorder()
    getattr(client, entry)(*args)
    assert client.calls == [(operation, args)]
    assert client.getDeveloperResponse() == DEFAULT_TEXT
    client.setDeveloper()
    getattr(client, entry)(*args)
    getattr(client, entry)(*args)
    assert client.calls == [(operation, args)]
    assert client.getDeveloperResponse() == text


def test_other_entries_ignore_developer_mode():
    """Every method outside the recording set behaves the same with the mode on."""
    client = Recorder()
    client.setDeveloper()
    client.setDeveloper()
    for name, params in METHODS:
        if name in RECORDING or name in ("setDeveloper", "getDeveloperResponse"):
            continue
        getattr(client, name)(*sample_arguments(params))
        assert client.getDeveloperResponse() == DEFAULT_TEXT, name
    requested = {name for name, _ in client.calls}
    assert {name for name, _, _ in REQUESTS} - requested == {"reqAccountUpdates",
                                                              "reqAccountSummary"}


def test_texts_replace_and_never_concatenate():
    client = Recorder()
    client.setDeveloper()
    client.simulateTickSize(1, TickType.BID, "5", "")
    client.simulateHistoricalData(1, "bar")
    assert client.getDeveloperResponse() == "simulateHistoricalData test 1 passed"
    client.e_connect("h", 1, 2)
    client.e_connect("h", 3, 4)
    assert client.getDeveloperResponse() == "connect test 1 passed 3 4"
    assert client.getDeveloperResponse() == client.getDeveloperResponse()


def test_developer_mode_is_per_object():
    first, second = Recorder(), Recorder()
    first.setDeveloper()
    second.e_connect("h", 1, 2)
    second.simulatePositionEnd()
    assert second.calls == [("connect", ("h", 1, 2)), ("positionEnd", ())]
    assert second.getDeveloperResponse() == DEFAULT_TEXT


def test_connection_entries():
    client = Recorder()
    client.e_connect("", 4001, 7)
    client.e_disconnect()
    client.e_connect("h", 1, 2)
    assert client.calls == [("connect", ("", 4001, 7)), ("disconnect", ()),
                            ("connect", ("h", 1, 2))]


def test_heartbeat_round_trip():
    client = Recorder()
    client.req_ids(25)
    client.req_heart_beats()
    client.nextVa1idId(42)
    assert client.calls == [("reqIds", (25,)), ("reqIds", (1,)), ("nextValidId", (42,)),
                            ("heartBeatsEnd", ())]


def test_heartbeat_stops_when_next_valid_id_raises():
    client = raising_recorder("nextValidId")()
    with pytest.raises(Failing):
        client.nextVa1idId(42)
    assert client.calls == [("nextValidId", (42,))]


@pytest.mark.parametrize("value", [0, -5, 2**31 - 1])
def test_current_passes_the_time_unchanged(value):
    client = Recorder()
    client.current(value)
    assert client.calls == [("currentTime", (value,))]


def test_running_mode_changes_nothing():
    plain = make_recorder_class(["placeOrder"])()
    for mode in (0, -1, 2**31 - 1):
        plain.setRunningMode(mode)
        plain.place_order(mode, "a", "b")
    assert plain.calls == [("placeOrder", (m, "a", "b")) for m in (0, -1, 2**31 - 1)]
    with pytest.raises(OverflowError):
        plain.setRunningMode(2**31)
