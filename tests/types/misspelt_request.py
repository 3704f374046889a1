import zelkor5

zelkor5.order_send(
    {"action": zelkor5.TRADE_ACTION_DEAL, "symbol": "EURUSD", "volume": 0.1, "stoploss": 1.0}
)
