"""A connection written against the stub as intended: mypy and pyright, both strict
and both insisting on @override, must accept it as it is (scripts/typing_verdicts.py)."""

from typing_extensions import override

from OrvCpp import OrvClient, TickType


class Connection(OrvClient):
    def __init__(self) -> None:
        super().__init__()
        self.orders: list[tuple[int, str, str]] = []

    @override
    def placeOrder(self, order_id: int, contract: str, order: str) -> None:
        self.orders.append((order_id, contract, order))

    @override
    def tickPrice(self, req_id: int, field: TickType, price: float, attrib: str) -> None:
        named = TickType.values.get(field)
        print(req_id, named.name if named else str(field), price + 1, attrib.upper())

    @override
    def reqAccountUpdates(self, subscribe: bool, account: str) -> None:
        pass

    @override
    def currentTime(self, time: int) -> None:
        pass


class Wider(OrvClient):
    # Parameters wider than those the native side passes fit as well.
    @override
    def tickPrice(self, req_id: int, field: int, price: float, attrib: str) -> None:
        pass


client = Connection()
client.setDeveloper()
client.place_order(7, "contract", b"order")
client.req_account_updates(True, "U1")
client.simulateTickPrice(1, TickType.LAST, 101, "a", "b")
client.tickPrice(1, TickType.values[1], 1.5, "x")
response: str = client.getDeveloperResponse()
member: TickType = TickType.names["BID"]
value: int = TickType.NOT_SET + 1
name: str = TickType.BID.name
