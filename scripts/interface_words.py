"""The words of the Python interface: one-line summaries, what each callback argument
means, and the parameter names of the methods that derive from no operation.

scripts/gen_stubs.py puts them into the stubs (docstrings) and into docs/api.md. The
operations, their parameter types and their parameter names come from
src/client/operations.def and src/client/parameter_names.def, which the module's own
argument errors use as well; the generator refuses words for an operation that is not
in the table, and meanings that do not follow an operation's parameter names.
"""

# Every operation of the table: a one-line summary.
OPERATIONS = {
    # Error report, then the connection, id and time group.
    "error": "An error or notice from the broker connection.",
    "connect": "Opens the broker connection.",
    "nextVa1idId": "Heartbeat answer: delivers the id, then ends the round trip.",
    "nextValidId": "The next order id the broker accepts.",
    "heartBeatsEnd": "The heartbeat round trip has ended.",
    "current": "Passes a time value on.",
    "currentTime": "The broker's current time.",
    "disconnect": "Closes the broker connection.",
    # Broker requests.
    "placeOrder": "Places or modifies an order.",
    "reqIds": "Asks for the next valid order id.",
    "reqCurrentTime": "Asks for the broker's current time.",
    "reqMktData": "Subscribes to market data for a contract.",
    "reqHistoricalData": "Asks for historical bars.",
    "reqPositions": "Subscribes to the positions of all accounts.",
    "cancelPositions": "Cancels the positions subscription.",
    "reqOpenOrders": "Asks for the open orders placed by this client.",
    "reqAllOpenOrders": "Asks for the open orders of all clients.",
    "reqScannerParameters": "Asks for the market scanner's parameters.",
    "cancelNewsBulletins": "Cancels the news bulletins subscription.",
    "reqManagedAccts": "Asks for the accounts this login manages.",
    "reqGlobalCancel": "Cancels all open orders.",
    "reqFamilyCodes": "Asks for the account family codes.",
    "reqNewsProviders": "Asks for the news providers.",
    "reqContractDetails": "Asks for a contract's details.",
    "cancelMktData": "Cancels a market data subscription.",
    "cancelOrder": "Cancels an order.",
    "reqAccountUpdates": "Subscribes to, or unsubscribes from, an account's values.",
    "reqExecutions": "Asks for executions matching a filter.",
    "reqMktDepth": "Subscribes to market depth for a contract.",
    "cancelMktDepth": "Cancels a market depth subscription.",
    "reqAutoOpenOrders": "Binds orders placed elsewhere to this client.",
    "requestFA": "Asks for financial-advisor configuration data.",
    "replaceFA": "Replaces financial-advisor configuration data.",
    "exerciseOptions": "Exercises or lets lapse an option.",
    "cancelHistoricalData": "Cancels a historical data request.",
    "reqRealTimeBars": "Subscribes to real-time bars.",
    "cancelRealTimeBars": "Cancels a real-time bars subscription.",
    "cancelScannerSubscription": "Cancels a market scanner subscription.",
    "reqScannerSubscription": "Subscribes to a market scanner.",
    "reqFundamentalData": "Asks for a contract's fundamental data.",
    "cancelFundamentalData": "Cancels a fundamental data request.",
    "calculateImpliedVolatility": "Asks for the implied volatility of an option.",
    "calculateOptionPrice": "Asks for the price of an option.",
    "cancelCalculateImpliedVolatility": "Cancels an implied volatility calculation.",
    "cancelCalculateOptionPrice": "Cancels an option price calculation.",
    "reqMarketDataType": "Chooses live, frozen or delayed market data.",
    "reqAccountSummary": "Subscribes to an account summary.",
    "cancelAccountSummary": "Cancels an account summary subscription.",
    "reqPositionsMulti": "Subscribes to positions of an account or model.",
    "cancelPositionsMulti": "Cancels a positions-by-model subscription.",
    "reqAccountUpdatesMulti": "Subscribes to account values by account or model.",
    "cancelAccountUpdatesMulti": "Cancels an account-values-by-model subscription.",
    "reqSecDefOptParams": "Asks for the option chain parameters of an underlying.",
    "reqSoftDollarTiers": "Asks for the soft-dollar tiers.",
    "reqMatchingSymbols": "Asks for contracts whose symbol matches a pattern.",
    "reqMktDepthExchanges": "Asks for the exchanges that offer market depth.",
    "reqSmartComponents": "Asks for the exchanges behind a smart-routing code.",
    "reqNewsArticle": "Asks for a news article.",
    "reqHistoricalNews": "Asks for historical news headlines.",
    "reqHeadTimestamp": "Asks for the time of a contract's earliest data.",
    "cancelHeadTimestamp": "Cancels an earliest-data-time request.",
    "reqHistogramData": "Asks for a price histogram.",
    "cancelHistogramData": "Cancels a histogram request.",
    "reqMarketRule": "Asks for a market rule's price increments.",
    "reqPnL": "Subscribes to an account's profit and loss.",
    "cancelPnL": "Cancels a profit-and-loss subscription.",
    "reqPnLSingle": "Subscribes to one position's profit and loss.",
    "cancelPnLSingle": "Cancels a single-position profit-and-loss subscription.",
    "reqHistoricalTicks": "Asks for historical ticks.",
    "reqTickByTickData": "Subscribes to tick-by-tick data.",
    "cancelTickByTickData": "Cancels a tick-by-tick subscription.",
    "reqCompletedOrders": "Asks for the completed orders.",
    "reqWshMetaData": "Asks for the event calendar's metadata.",
    "reqWshEventData": "Asks for event calendar data.",
    "cancelWshMetaData": "Cancels an event calendar metadata request.",
    "cancelWshEventData": "Cancels an event calendar data request.",
    "reqUserInfo": "Asks for the user's information.",
    "reqNewsBulletins": "Subscribes to news bulletins.",
    "setServerLogLevel": "Sets the broker server's log level.",
    "verifyRequest": "Starts the verification of an application.",
    "verifyAndAuthRequest": "Starts the verification and authorisation of an application.",
    "verifyAndAuthMessage": "Answers the verification and authorisation challenge.",
    "queryDisplayGroups": "Asks for the display groups.",
    "subscribeToGroupEvents": "Subscribes to a display group's events.",
    "updateDisplayGroup": "Changes the contract shown by a display group.",
    "unsubscribeFromGroupEvents": "Cancels a display group subscription.",
    # Event callbacks.
    "tickPrice": "A price tick of a market data subscription.",
    "tickSize": "A size tick of a market data subscription.",
    "openOrder": "An open order, as listed by the broker.",
    "positionEnd": "The positions listing has ended.",
    "openOrderEnd": "The open orders listing has ended.",
    "updateAccountValue": "One value of a subscribed account.",
    "orderStatus": "A change of an order's state.",
    "historicalData": "One bar of historical data.",
    "position": "One position of an account.",
    "execDetails": "One execution of an order.",
}

# What each argument of the operations that the broker side calls means: the callbacks,
# and the calls that open and close the connection. Texts are passed through unread.
CALLBACK_ARGUMENTS = {
    "error": {
        "req_id": "the id of the request the report is about",
        "code": "the error or notice code",
        "message": "the text of the report",
        "extra": "further text, often empty",
    },
    "connect": {
        "host": "the host to connect to",
        "port": "the port to connect to",
        "client_id": "the number this client connects as",
    },
    "nextValidId": {"order_id": "the next order id the broker accepts"},
    "currentTime": {"time": "the broker's time, in seconds since the epoch"},
    "tickPrice": {
        "req_id": "the `req_id` of the market data subscription",
        "tick_type": "which price this is (`TickType.BID`, `TickType.LAST`, ...)",
        "price": "the price",
        "attrib": "the tick's attributes, as a text",
    },
    "tickSize": {
        "req_id": "the `req_id` of the market data subscription",
        "tick_type": "which size this is (`TickType.BID_SIZE`, `TickType.VOLUME`, ...)",
        "size": "the size, as a text (sizes may be fractional)",
    },
    "openOrder": {
        "order_id": "the order's id",
        "contract": "the contract, as a text",
        "order": "the order, as a text",
        "order_state": "the order's state, as a text",
    },
    "updateAccountValue": {
        "key": "the name of the value",
        "value": "the value, as a text",
        "currency": "its currency",
        "account_name": "the account it belongs to",
    },
    "orderStatus": {
        "order_id": "the order's id",
        "status": "the order's state, as a text (`Submitted`, `Filled`, ...)",
        "filled": "the quantity filled so far, as a text",
        "remaining": "the quantity still open, as a text",
        "avg_fill_price": "the average price of the fills so far",
        "perm_id": "the broker's permanent id of the order",
        "parent_id": "the id of the parent order, if any",
        "last_fill_price": "the price of the last fill",
        "client_id": "the id of the client that placed the order",
        "why_held": "why the order is held, if it is",
        "mkt_cap_price": "the price the order is capped at, if any",
    },
    "historicalData": {
        "req_id": "the `req_id` of the historical data request",
        "bar": "the bar, as a text",
    },
    "position": {
        "account": "the account that holds the position",
        "contract": "the contract, as a text",
        "position": "the position, as a text (a quantity, negative when short)",
        "avg_cost": "the average cost of the position",
    },
    "execDetails": {
        "req_id": "the `req_id` of the executions request",
        "contract": "the contract, as a text",
        "execution": "the execution, as a text",
    },
}

# The methods of OrvClient whose names derive from no operation's name: a summary and
# the parameter names the module's argument errors use. For the three that reach no
# operation, the summary is all they do ({initial}: the text a new object holds).
METHODS = {
    "setRunningMode": ("Stores the value in the object; nothing reads it.", "mode"),
    "setDeveloper": ("Turns developer mode on for this object, for good (nothing turns it "
                     "off).", ""),
    "getDeveloperResponse": ("Returns the text recorded last in developer mode; "
                             "`{initial}` before the first.", ""),
    "req_heart_beats": ("Starts a heartbeat round trip.", ""),
    "e_connect": ("Opens the broker connection.", "host port client_id"),
    "e_disconnect": ("Closes the broker connection.", ""),
    "simulateNextValidIdForTesting": ("Replays a next-valid-id event with the id 1.", ""),
}

# The name of the text a replay entry accepts after its callback's arguments and drops.
DROPPED_TEXT = "unused"
