"""A bot written with the opt-in layers: calls that raise, the zelkor5
logger, streams of closed bars and trade events, reconnection.

Runs against a private copy of the bundled terminal, as a replay of
2024-03-05 from 14:00 whose clock moves 10 market seconds per request, so
that it ends in seconds. On each closed minute of BTCUSD it compares the
closes with their 10-minute average: it buys 0.1 lot when the close
crosses above and closes the position when it crosses back; the trade
events stream reports every fill once.

    python examples/live_bot.py
"""

import logging
import os
import shutil
import tempfile
from typing import List

import zelkor5
from zelkor5 import TradeDeal, reconnect, stream
from zelkor5 import strict as zk
from zelkor5.constants import ORDER_TYPE_BUY, ORDER_TYPE_SELL, TIMEFRAME_M1, TRADE_ACTION_DEAL
from zelkor5.errors import TradeRejected
from zelkor5.terminal import replay, stop, terminal_path

SYMBOL = "BTCUSD"
BARS = 60


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    logging.getLogger("zelkor5").setLevel(logging.WARNING)  # INFO logs every trade
    work = tempfile.mkdtemp(prefix="zk5bot")
    os.environ["XDG_DATA_HOME"] = os.path.join(work, "data")
    exe = os.path.join(work, "terminal64.exe")
    shutil.copy2(terminal_path(), exe)
    try:
        if not replay("2024-03-05 14:00", step=10000, path=exe, portable=True):
            raise SystemExit("the replay did not start: %r" % (zelkor5.last_error(),))
        zk.shutdown()
        zk.initialize(exe, portable=True)  # through the facade: reconnection needs it
        reconnect.enable()
        bars = stream.bars(SYMBOL, TIMEFRAME_M1)
        events = stream.trades()
        closes: List[float] = []
        position = 0
        while len(closes) < BARS:
            for bar in bars.poll():  # the replay's clock moves with each request
                closes.append(bar.close)
                if len(closes) < 11:
                    continue
                average = sum(closes[-11:-1]) / 10
                above = bar.close > average
                try:
                    if above and not position:
                        position = zk.order_send(
                            {
                                "action": TRADE_ACTION_DEAL,
                                "symbol": SYMBOL,
                                "volume": 0.1,
                                "type": ORDER_TYPE_BUY,
                                "magic": 11,
                                "comment": "bot",
                            }
                        ).order
                    elif not above and position:
                        zk.order_send(
                            {
                                "action": TRADE_ACTION_DEAL,
                                "symbol": SYMBOL,
                                "volume": 0.1,
                                "type": ORDER_TYPE_SELL,
                                "position": position,
                                "magic": 11,
                                "comment": "bot",
                            }
                        )
                        position = 0
                except TradeRejected as e:
                    print("rejected:", e.result.retcode, e.result.comment)
            for event in events.poll():
                if isinstance(event.record, TradeDeal):
                    print("deal %d at %.2f" % (event.ticket, event.record.price))
        print("balance %.2f" % zk.account_info().balance)
    finally:
        reconnect.disable()
        zelkor5.shutdown()
        stop(exe)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
