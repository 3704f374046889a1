"""A week of hourly bars and an hour of ticks into pandas, the demo
account's deals as a table and its open profit: the recipes of the README.

Needs the pandas extra (pip install zelkor5[pandas]).
"""

import sys
from datetime import datetime, timedelta, timezone

import zelkor5
from zelkor5 import history
from zelkor5.terminal import DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER, terminal_path


def main() -> int:
    if not zelkor5.initialize(
        terminal_path(), login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER
    ):
        print("initialize failed:", zelkor5.last_error())
        return 1
    # Aware datetimes mean what they say; a naive one would be local time.
    end = datetime(2024, 3, 8, tzinfo=timezone.utc)
    bars = history.rates_range("EURUSD", zelkor5.TIMEFRAME_H1, end - timedelta(days=7), end)
    ticks = zelkor5.copy_ticks_range(
        "EURUSD", end - timedelta(hours=1), end, zelkor5.COPY_TICKS_ALL
    )
    deals = zelkor5.history_deals_get(0, int(datetime.now(timezone.utc).timestamp()))
    positions = zelkor5.positions_get()
    if bars is None or ticks is None or deals is None or positions is None:
        print("request failed:", zelkor5.last_error())
        zelkor5.shutdown()
        return 1
    print(zelkor5.frame(bars).tail())  # UTC DatetimeIndex
    print(zelkor5.frame(ticks)[["bid", "ask"]].head())
    # kind= gives a result that may be empty its columns.
    print(
        zelkor5.frame(deals, kind=zelkor5.TradeDeal)[
            ["ticket", "time", "type", "volume", "price", "profit"]  # time: UTC datetimes
        ]
    )
    print("open profit:", zelkor5.frame(positions, kind=zelkor5.TradePosition)["profit"].sum())
    print("{} bars, {} ticks, {} deals".format(len(bars), len(ticks), len(deals)))
    zelkor5.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
