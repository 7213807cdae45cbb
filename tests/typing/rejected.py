"""Mistakes that the stub lets mypy and pyright catch. Each line that must be rejected
ends in the error code each checker gives it, and the checkers must report nothing
else (scripts/typing_verdicts.py)."""

from typing_extensions import override

from OrvCpp import OrvClient, TickType
from OrvCpp import NamedTickType  # E: mypy[attr-defined] pyright[reportAttributeAccessIssue] pyright[reportUnknownVariableType] pyright[reportUnusedImport]


class Connection(OrvClient):
    @override
    def tickprice(self, req_id: int, field: TickType, price: float, attrib: str) -> None:  # E: mypy[misc] pyright[reportGeneralTypeIssues]
        pass

    @override
    def orderStatus(self, order_id: int) -> None:  # E: mypy[override] pyright[reportIncompatibleMethodOverride]
        pass

    @override
    def placeOrder(self, order_id: str, contract: str, order: str) -> None:  # E: mypy[override] pyright[reportIncompatibleMethodOverride]
        pass

    @override
    def tickSize(self, req_id: int, field: TickType, size: bytes) -> None:  # E: mypy[override] pyright[reportIncompatibleMethodOverride]
        pass

    @override
    def reqIds(self, count: int) -> int:  # E: mypy[override] pyright[reportIncompatibleMethodOverride]
        return count

    def position(self, account: str, contract: str, position: str, avg_cost: float) -> None:  # E: mypy[explicit-override] pyright[reportImplicitOverride]
        pass


client = Connection()
client.place_order(7, "contract")  # E: mypy[call-arg] pyright[reportCallIssue]
client.place_order(7, "contract", order="x")  # E: mypy[call-arg] pyright[reportCallIssue]
client.req_ids(1.5)  # E: mypy[arg-type] pyright[reportArgumentType]
client.tickPrice(1, 1, 1.0, "x")  # E: mypy[arg-type] pyright[reportArgumentType]
count: int = client.getDeveloperResponse()  # E: mypy[assignment] pyright[reportAssignmentType]
TickType.MISSING  # E: mypy[attr-defined] pyright[reportAttributeAccessIssue] pyright[reportUnknownMemberType]
TickType(4).name  # E: mypy[attr-defined] pyright[reportAttributeAccessIssue] pyright[reportUnknownMemberType]
