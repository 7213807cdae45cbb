"""The Python-visible interface of OrvCpp, written out independently of the C++ table.

Parameter lists use one letter per parameter: i int, l long (32-bit), b bool, d double,
s text, t TickType.
"""

# Operations of OrvClient in declaration order: (name, parameters, request entry or None).
# The two operations marked DISPATCHER are not overridden and never looked up in Python.
DISPATCHER = "dispatcher"

OPERATIONS = [
    ("error", "iiss", None),
    ("connect", "sii", None),
    ("nextVa1idId", "i", DISPATCHER),
    ("nextValidId", "i", None),
    ("heartBeatsEnd", "", None),
    ("current", "i", DISPATCHER),
    ("currentTime", "l", None),
    ("disconnect", "", None),
    ("placeOrder", "iss", "place_order"),
    ("reqIds", "i", "req_ids"),
    ("reqCurrentTime", "", "req_current_time"),
    ("reqMktData", "issbbs", "req_mkt_data"),
    ("reqHistoricalData", "isssssiibs", "req_historical_data"),
    ("reqPositions", "", "req_positions"),
    ("cancelPositions", "", "cancel_positions"),
    ("reqOpenOrders", "", "req_open_orders"),
    ("reqAllOpenOrders", "", "req_all_open_orders"),
    ("reqScannerParameters", "", "req_scanner_parameters"),
    ("cancelNewsBulletins", "", "cancel_news_bulletins"),
    ("reqManagedAccts", "", "req_managed_accts"),
    ("reqGlobalCancel", "", "req_global_cancel"),
    ("reqFamilyCodes", "", "req_family_codes"),
    ("reqNewsProviders", "", "req_news_providers"),
    ("reqContractDetails", "is", "req_contract_details"),
    ("cancelMktData", "i", "cancel_mkt_data"),
    ("cancelOrder", "is", "cancel_order"),
    ("reqAccountUpdates", "bs", "req_account_updates"),
    ("reqExecutions", "is", "req_executions"),
    ("reqMktDepth", "isibs", "req_mkt_depth"),
    ("cancelMktDepth", "ib", "cancel_mkt_depth"),
    ("reqAutoOpenOrders", "b", "req_auto_open_orders"),
    ("requestFA", "s", "request_f_a"),
    ("replaceFA", "iss", "replace_f_a"),
    ("exerciseOptions", "isiisi", "exercise_options"),
    ("cancelHistoricalData", "i", "cancel_historical_data"),
    ("reqRealTimeBars", "isisbs", "req_real_time_bars"),
    ("cancelRealTimeBars", "i", "cancel_real_time_bars"),
    ("cancelScannerSubscription", "i", "cancel_scanner_subscription"),
    ("reqScannerSubscription", "isss", "req_scanner_subscription"),
    ("reqFundamentalData", "isss", "req_fundamental_data"),
    ("cancelFundamentalData", "i", "cancel_fundamental_data"),
    ("calculateImpliedVolatility", "isdds", "calculate_implied_volatility"),
    ("calculateOptionPrice", "isdds", "calculate_option_price"),
    ("cancelCalculateImpliedVolatility", "i", "cancel_calculate_implied_volatility"),
    ("cancelCalculateOptionPrice", "i", "cancel_calculate_option_price"),
    ("reqMarketDataType", "i", "req_market_data_type"),
    ("reqAccountSummary", "iss", "req_account_summary"),
    ("cancelAccountSummary", "i", "cancel_account_summary"),
    ("reqPositionsMulti", "iss", "req_positions_multi"),
    ("cancelPositionsMulti", "i", "cancel_positions_multi"),
    ("reqAccountUpdatesMulti", "issb", "req_account_updates_multi"),
    ("cancelAccountUpdatesMulti", "i", "cancel_account_updates_multi"),
    ("reqSecDefOptParams", "isssi", "req_sec_def_opt_params"),
    ("reqSoftDollarTiers", "i", "req_soft_dollar_tiers"),
    ("reqMatchingSymbols", "is", "req_matching_symbols"),
    ("reqMktDepthExchanges", "", "req_mkt_depth_exchanges"),
    ("reqSmartComponents", "is", "req_smart_components"),
    ("reqNewsArticle", "isss", "req_news_article"),
    ("reqHistoricalNews", "iisssis", "req_historical_news"),
    ("reqHeadTimestamp", "issii", "req_head_timestamp"),
    ("cancelHeadTimestamp", "i", "cancel_head_timestamp"),
    ("reqHistogramData", "isbs", "req_histogram_data"),
    ("cancelHistogramData", "i", "cancel_histogram_data"),
    ("reqMarketRule", "i", "req_market_rule"),
    ("reqPnL", "iss", "req_pn_l"),
    ("cancelPnL", "i", "cancel_pn_l"),
    ("reqPnLSingle", "issi", "req_pn_l_single"),
    ("cancelPnLSingle", "i", "cancel_pn_l_single"),
    ("reqHistoricalTicks", "isssisibs", "req_historical_ticks"),
    ("reqTickByTickData", "issib", "req_tick_by_tick_data"),
    ("cancelTickByTickData", "i", "cancel_tick_by_tick_data"),
    ("reqCompletedOrders", "b", "req_completed_orders"),
    ("reqWshMetaData", "i", "req_wsh_meta_data"),
    ("reqWshEventData", "is", "req_wsh_event_data"),
    ("cancelWshMetaData", "i", "cancel_wsh_meta_data"),
    ("cancelWshEventData", "i", "cancel_wsh_event_data"),
    ("reqUserInfo", "i", "req_user_info"),
    ("reqNewsBulletins", "b", "req_news_bulletins"),
    ("setServerLogLevel", "i", "set_server_log_level"),
    ("verifyRequest", "ss", "verify_request"),
    ("verifyAndAuthRequest", "sss", "verify_and_auth_request"),
    ("verifyAndAuthMessage", "ss", "verify_and_auth_message"),
    ("queryDisplayGroups", "i", "query_display_groups"),
    ("subscribeToGroupEvents", "ii", "subscribe_to_group_events"),
    ("updateDisplayGroup", "is", "update_display_group"),
    ("unsubscribeFromGroupEvents", "i", "unsubscribe_from_group_events"),
    ("tickPrice", "itds", None),
    ("tickSize", "its", None),
    ("openOrder", "isss", None),
    ("positionEnd", "", None),
    ("openOrderEnd", "", None),
    ("updateAccountValue", "ssss", None),
    ("orderStatus", "isssdiidisd", None),
    ("historicalData", "is", None),
    ("position", "sssd", None),
    ("execDetails", "iss", None),
]

REQUESTS = [(name, params, entry) for name, params, entry in OPERATIONS
            if entry not in (None, DISPATCHER)]
OVERRIDDEN = [(name, params) for name, params, entry in OPERATIONS if entry != DISPATCHER]

# Camel-case operations registered on the class under their own names.
DIRECT = ["error", "nextVa1idId", "heartBeatsEnd", "current", "tickPrice", "tickSize",
          "openOrder", "positionEnd", "openOrderEnd", "updateAccountValue", "orderStatus",
          "historicalData", "position", "execDetails"]

# Replay entries: (entry, parameters, callback fed, number of leading arguments passed on,
# developer text recorded in developer mode or None).
SIMULATIONS = [
    ("simulateCurrentTime", "l", "currentTime", 1, None),
    ("simulateTickPrice", "itdss", "tickPrice", 4, "simulateTickPrice test 1 passed"),
    ("simulateTickSize", "itss", "tickSize", 3, "simulateTickSize test 1 passed"),
    ("simulateOpenOrder", "issss", "openOrder", 4, "simulateOpenOrder test 1 passed"),
    ("simulateOrderStatus", "isssdiidisd", "orderStatus", 11, "simulateOrderStatus test 1 passed"),
    ("simulatePosition", "sssds", "position", 4, "simulatePosition test 1 passed"),
    ("simulatePositionEnd", "", "positionEnd", 0, "simulatePositionEnd test 1 passed"),
    ("simulateOpenOrderEnd", "", "openOrderEnd", 0, "simulateOpenOrderEnd test 1 passed"),
    ("simulateExecDetails", "isss", "execDetails", 3, "simulateExecDetails test 1 passed"),
    ("simulateNextValidId", "i", "nextValidId", 1, "simulateNextValidId test 1 passed"),
    ("simulateUpdateAccountValue", "ssss", "updateAccountValue", 4,
     "simulateUpdateAccountValue test 1 passed"),
    ("simulateHistoricalData", "is", "historicalData", 2, "simulateHistoricalData test 1 passed"),
]

# All methods of the class in registration order: (name, parameters).
METHODS = (
    [("setRunningMode", "i"), ("setDeveloper", ""), ("error", "iiss"), ("req_heart_beats", ""),
     ("nextVa1idId", "i"), ("heartBeatsEnd", ""), ("current", "i"),
     ("getDeveloperResponse", "")]
    + [(entry, params) for entry, params, *_ in SIMULATIONS]
    + [("simulateNextValidIdForTesting", "")]
    + [(entry, params) for _, params, entry in REQUESTS]
    + [("e_connect", "sii"), ("tickPrice", "itds"), ("e_disconnect", ""), ("tickSize", "its"),
       ("openOrder", "isss"), ("positionEnd", ""), ("openOrderEnd", ""),
       ("updateAccountValue", "ssss"), ("orderStatus", "isssdiidisd"), ("historicalData", "is"),
       ("position", "sssd"), ("execDetails", "iss")]
)

TICK_TYPES = [
    "BID_SIZE", "BID", "ASK", "ASK_SIZE", "LAST", "LAST_SIZE", "HIGH", "LOW", "VOLUME", "CLOSE",
    "BID_OPTION_COMPUTATION", "ASK_OPTION_COMPUTATION", "LAST_OPTION_COMPUTATION",
    "MODEL_OPTION", "OPEN", "LOW_13_WEEK", "HIGH_13_WEEK", "LOW_26_WEEK", "HIGH_26_WEEK",
    "LOW_52_WEEK", "HIGH_52_WEEK", "AVG_VOLUME", "OPEN_INTEREST", "OPTION_HISTORICAL_VOL",
    "OPTION_IMPLIED_VOL", "OPTION_BID_EXCH", "OPTION_ASK_EXCH", "OPTION_CALL_OPEN_INTEREST",
    "OPTION_PUT_OPEN_INTEREST", "OPTION_CALL_VOLUME", "OPTION_PUT_VOLUME",
    "INDEX_FUTURE_PREMIUM", "BID_EXCH", "ASK_EXCH", "AUCTION_VOLUME", "AUCTION_PRICE",
    "AUCTION_IMBALANCE", "MARK_PRICE", "BID_EFP_COMPUTATION", "ASK_EFP_COMPUTATION",
    "LAST_EFP_COMPUTATION", "OPEN_EFP_COMPUTATION", "HIGH_EFP_COMPUTATION",
    "LOW_EFP_COMPUTATION", "CLOSE_EFP_COMPUTATION", "LAST_TIMESTAMP", "SHORTABLE",
    "FUNDAMENTAL_RATIOS", "RT_VOLUME", "HALTED", "BID_YIELD", "ASK_YIELD", "LAST_YIELD",
    "CUST_OPTION_COMPUTATION", "TRADE_COUNT", "TRADE_RATE", "VOLUME_RATE", "LAST_RTH_TRADE",
]
# Values 0 to 57 in order, then NOT_SET at 103.
TICK_TYPE_VALUES = dict({name: value for value, name in enumerate(TICK_TYPES)}, NOT_SET=103)
