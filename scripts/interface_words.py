"""The words of the Python interface: parameter names, one-line summaries, and what each
callback argument means.

scripts/gen_stubs.py puts them into the stubs (parameter names and docstrings) and into
docs/api.md. The operation table, src/client/operations.def, gives the operations and
their parameter types; this file names the parameters of each row, in the same order,
and the generator refuses a row whose count differs.
"""

# Every operation of the table: a one-line summary and its parameter names, in order.
OPERATIONS = {
    # Error report, then the connection, id and time group.
    "error": ("An error or notice from the broker connection.",
              "req_id code message extra"),
    "connect": ("Opens the broker connection.", "host port client_id"),
    "nextVa1idId": ("Heartbeat answer: delivers the id, then ends the round trip.", "order_id"),
    "nextValidId": ("The next order id the broker accepts.", "order_id"),
    "heartBeatsEnd": ("The heartbeat round trip has ended.", ""),
    "current": ("Passes a time value on.", "time"),
    "currentTime": ("The broker's current time.", "time"),
    "disconnect": ("Closes the broker connection.", ""),
    # Broker requests.
    "placeOrder": ("Places or modifies an order.", "order_id contract order"),
    "reqIds": ("Asks for the next valid order id.", "num_ids"),
    "reqCurrentTime": ("Asks for the broker's current time.", ""),
    "reqMktData": ("Subscribes to market data for a contract.",
                   "req_id contract generic_tick_list snapshot regulatory_snapshot "
                   "mkt_data_options"),
    "reqHistoricalData": ("Asks for historical bars.",
                          "req_id contract end_date_time duration bar_size what_to_show "
                          "use_rth format_date keep_up_to_date chart_options"),
    "reqPositions": ("Subscribes to the positions of all accounts.", ""),
    "cancelPositions": ("Cancels the positions subscription.", ""),
    "reqOpenOrders": ("Asks for the open orders placed by this client.", ""),
    "reqAllOpenOrders": ("Asks for the open orders of all clients.", ""),
    "reqScannerParameters": ("Asks for the market scanner's parameters.", ""),
    "cancelNewsBulletins": ("Cancels the news bulletins subscription.", ""),
    "reqManagedAccts": ("Asks for the accounts this login manages.", ""),
    "reqGlobalCancel": ("Cancels all open orders.", ""),
    "reqFamilyCodes": ("Asks for the account family codes.", ""),
    "reqNewsProviders": ("Asks for the news providers.", ""),
    "reqContractDetails": ("Asks for a contract's details.", "req_id contract"),
    "cancelMktData": ("Cancels a market data subscription.", "req_id"),
    "cancelOrder": ("Cancels an order.", "order_id manual_cancel_order_time"),
    "reqAccountUpdates": ("Subscribes to, or unsubscribes from, an account's values.",
                          "subscribe account"),
    "reqExecutions": ("Asks for executions matching a filter.", "req_id exec_filter"),
    "reqMktDepth": ("Subscribes to market depth for a contract.",
                    "req_id contract num_rows is_smart_depth mkt_depth_options"),
    "cancelMktDepth": ("Cancels a market depth subscription.", "req_id is_smart_depth"),
    "reqAutoOpenOrders": ("Binds orders placed elsewhere to this client.", "auto_bind"),
    "requestFA": ("Asks for financial-advisor configuration data.", "fa_data_type"),
    "replaceFA": ("Replaces financial-advisor configuration data.",
                  "req_id fa_data_type xml"),
    "exerciseOptions": ("Exercises or lets lapse an option.",
                        "req_id contract exercise_action exercise_quantity account "
                        "override"),
    "cancelHistoricalData": ("Cancels a historical data request.", "req_id"),
    "reqRealTimeBars": ("Subscribes to real-time bars.",
                        "req_id contract bar_size what_to_show use_rth "
                        "real_time_bars_options"),
    "cancelRealTimeBars": ("Cancels a real-time bars subscription.", "req_id"),
    "cancelScannerSubscription": ("Cancels a market scanner subscription.", "req_id"),
    "reqScannerSubscription": ("Subscribes to a market scanner.",
                               "req_id subscription scanner_subscription_options "
                               "scanner_subscription_filter_options"),
    "reqFundamentalData": ("Asks for a contract's fundamental data.",
                           "req_id contract report_type fundamental_data_options"),
    "cancelFundamentalData": ("Cancels a fundamental data request.", "req_id"),
    "calculateImpliedVolatility": ("Asks for the implied volatility of an option.",
                                   "req_id contract option_price under_price options"),
    "calculateOptionPrice": ("Asks for the price of an option.",
                             "req_id contract volatility under_price options"),
    "cancelCalculateImpliedVolatility": ("Cancels an implied volatility calculation.",
                                         "req_id"),
    "cancelCalculateOptionPrice": ("Cancels an option price calculation.", "req_id"),
    "reqMarketDataType": ("Chooses live, frozen or delayed market data.", "market_data_type"),
    "reqAccountSummary": ("Subscribes to an account summary.", "req_id group_name tags"),
    "cancelAccountSummary": ("Cancels an account summary subscription.", "req_id"),
    "reqPositionsMulti": ("Subscribes to positions of an account or model.",
                          "req_id account model_code"),
    "cancelPositionsMulti": ("Cancels a positions-by-model subscription.", "req_id"),
    "reqAccountUpdatesMulti": ("Subscribes to account values by account or model.",
                               "req_id account model_code ledger_and_nlv"),
    "cancelAccountUpdatesMulti": ("Cancels an account-values-by-model subscription.",
                                  "req_id"),
    "reqSecDefOptParams": ("Asks for the option chain parameters of an underlying.",
                           "req_id underlying_symbol fut_fop_exchange underlying_sec_type "
                           "underlying_con_id"),
    "reqSoftDollarTiers": ("Asks for the soft-dollar tiers.", "req_id"),
    "reqMatchingSymbols": ("Asks for contracts whose symbol matches a pattern.",
                           "req_id pattern"),
    "reqMktDepthExchanges": ("Asks for the exchanges that offer market depth.", ""),
    "reqSmartComponents": ("Asks for the exchanges behind a smart-routing code.",
                           "req_id bbo_exchange"),
    "reqNewsArticle": ("Asks for a news article.",
                       "req_id provider_code article_id news_article_options"),
    "reqHistoricalNews": ("Asks for historical news headlines.",
                          "req_id con_id provider_codes start_date_time end_date_time "
                          "total_results historical_news_options"),
    "reqHeadTimestamp": ("Asks for the time of a contract's earliest data.",
                         "req_id contract what_to_show use_rth format_date"),
    "cancelHeadTimestamp": ("Cancels an earliest-data-time request.", "req_id"),
    "reqHistogramData": ("Asks for a price histogram.",
                         "req_id contract use_rth time_period"),
    "cancelHistogramData": ("Cancels a histogram request.", "req_id"),
    "reqMarketRule": ("Asks for a market rule's price increments.", "market_rule_id"),
    "reqPnL": ("Subscribes to an account's profit and loss.", "req_id account model_code"),
    "cancelPnL": ("Cancels a profit-and-loss subscription.", "req_id"),
    "reqPnLSingle": ("Subscribes to one position's profit and loss.",
                     "req_id account model_code con_id"),
    "cancelPnLSingle": ("Cancels a single-position profit-and-loss subscription.",
                        "req_id"),
    "reqHistoricalTicks": ("Asks for historical ticks.",
                           "req_id contract start_date_time end_date_time number_of_ticks "
                           "what_to_show use_rth ignore_size misc_options"),
    "reqTickByTickData": ("Subscribes to tick-by-tick data.",
                          "req_id contract tick_type number_of_ticks ignore_size"),
    "cancelTickByTickData": ("Cancels a tick-by-tick subscription.", "req_id"),
    "reqCompletedOrders": ("Asks for the completed orders.", "api_only"),
    "reqWshMetaData": ("Asks for the event calendar's metadata.", "req_id"),
    "reqWshEventData": ("Asks for event calendar data.", "req_id wsh_event_data"),
    "cancelWshMetaData": ("Cancels an event calendar metadata request.", "req_id"),
    "cancelWshEventData": ("Cancels an event calendar data request.", "req_id"),
    "reqUserInfo": ("Asks for the user's information.", "req_id"),
    "reqNewsBulletins": ("Subscribes to news bulletins.", "all_msgs"),
    "setServerLogLevel": ("Sets the broker server's log level.", "log_level"),
    "verifyRequest": ("Starts the verification of an application.", "api_name api_version"),
    "verifyAndAuthRequest": ("Starts the verification and authorisation of an application.",
                             "api_name api_version opaque_isv_key"),
    "verifyAndAuthMessage": ("Answers the verification and authorisation challenge.",
                             "api_data xyz_response"),
    "queryDisplayGroups": ("Asks for the display groups.", "req_id"),
    "subscribeToGroupEvents": ("Subscribes to a display group's events.", "req_id group_id"),
    "updateDisplayGroup": ("Changes the contract shown by a display group.",
                           "req_id contract_info"),
    "unsubscribeFromGroupEvents": ("Cancels a display group subscription.", "req_id"),
    # Event callbacks.
    "tickPrice": ("A price tick of a market data subscription.",
                  "req_id tick_type price attrib"),
    "tickSize": ("A size tick of a market data subscription.", "req_id tick_type size"),
    "openOrder": ("An open order, as listed by the broker.",
                  "order_id contract order order_state"),
    "positionEnd": ("The positions listing has ended.", ""),
    "openOrderEnd": ("The open orders listing has ended.", ""),
    "updateAccountValue": ("One value of a subscribed account.", "key value currency account"),
    "orderStatus": ("A change of an order's state.",
                    "order_id status filled remaining avg_fill_price perm_id parent_id "
                    "last_fill_price client_id why_held mkt_cap_price"),
    "historicalData": ("One bar of historical data.", "req_id bar"),
    "position": ("One position of an account.", "account contract position avg_cost"),
    "execDetails": ("One execution of an order.", "req_id contract execution"),
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
        "account": "the account it belongs to",
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

# The methods of OrvClient whose names derive from no operation's name. For the three
# that reach no operation, the summary is all they do ({initial}: the text a new object
# holds).
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
DROPPED_TEXT = "ignored"
