"""A report of an account's trading: balance and equity curves at bar
resolution, drawdown, every trade, monthly returns and the usual
statistics.

    import zelkor5
    zelkor5.initialize(...)
    result = zelkor5.report(html="report.html")   # the current account
    print(result.statistics)                       # a pandas Series
    result                                         # in Jupyter: the page, inline

``report()`` reads the account's deals and the bars of the symbols it
traded through the module's connection, and builds ``Report.curve`` (a
pandas DataFrame: balance, equity, drawdown and whether a position was open,
one row per bar of the chosen timeframe), ``Report.statistics`` (a pandas
Series), ``Report.trades`` (every closed trade), ``Report.monthly`` (the
monthly returns) and ``Report.drawdowns`` (the five worst drawdown periods);
on request it writes one self-contained HTML page (plots drawn with
matplotlib, embedded as PNG: no script, no network needed to view it) and
the plots as PNG files. In Jupyter a ``Report`` shows as that page. The
plots are drawn on figures of their own: matplotlib's backend and pyplot's
figures are left as they were.

(The module is ``zelkor5.reporting``; ``zelkor5.report`` is its
``report`` function.) ``statistics(deals, curve)`` computes the statistics
alone, as a plain dict, from deals (records with the fields of TradeDeal)
and optionally a curve; ``equity_curve(deals, bars, values)`` builds the
curve from given bars. Neither needs a terminal, pandas aside for the
curve. Every statistic is defined in the guide "The report of an account".
Needs pandas and matplotlib: ``pip install "zelkor5[report]"``.
"""

import base64
import datetime
import html as _html
import io
import math
import os
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _core, history, replay
from .constants import DealEntry, DealReason, DealType, OrderType, Timeframe

__all__ = [
    "report",
    "statistics",
    "equity_curve",
    "trades",
    "trade_table",
    "monthly_returns",
    "drawdown_periods",
    "Report",
    "ReportError",
    "STATISTICS",
]

_UTC = datetime.timezone.utc
# Trading days in a year: the ratios of daily returns are annualised with
# its square root.
TRADING_DAYS = 252
# Fewer daily returns than this give no Sharpe or Sortino ratio: annualised
# from a handful of days they say nothing.
MIN_DAILY_RETURNS = 20
# The extra that installs what the report needs.
EXTRA = 'pip install "zelkor5[report]"'

# The statistics, in the order of the page's table, with their labels.
STATISTICS = {
    "initial_balance": "Initial balance",
    "final_balance": "Final balance",
    "final_equity": "Final equity",
    "deposits": "Deposits and withdrawals",
    "net_profit": "Net profit",
    "gross_profit": "Gross profit",
    "gross_loss": "Gross loss",
    "profit_factor": "Profit factor",
    "trades": "Number of trades",
    "wins": "Winning trades",
    "losses": "Losing trades",
    "win_rate": "Win rate (%)",
    "average_win": "Average win",
    "average_loss": "Average loss",
    "largest_win": "Largest win",
    "largest_loss": "Largest loss",
    "max_drawdown": "Largest drawdown",
    "max_drawdown_pct": "Largest drawdown (%)",
    "daily_returns": "Daily returns",
    "sharpe": "Sharpe ratio (daily, annualised)",
    "sortino": "Sortino ratio (daily, annualised)",
    "exposure_pct": "Exposure (%)",
}
# The statistics in money of the account's currency.
MONEY = (
    "initial_balance",
    "final_balance",
    "final_equity",
    "deposits",
    "net_profit",
    "gross_profit",
    "gross_loss",
    "average_win",
    "average_loss",
    "largest_win",
    "largest_loss",
    "max_drawdown",
)
_AVERAGES = ("average_win", "average_loss")
_COUNTS = ("trades", "wins", "losses", "daily_returns")

# How a trade's closing deal came about, by its reason.
CLOSED_BY = {
    int(DealReason.CLIENT): "by hand",
    int(DealReason.MOBILE): "by hand",
    int(DealReason.WEB): "by hand",
    int(DealReason.EXPERT): "by program",
    int(DealReason.SL): "stop-loss",
    int(DealReason.TP): "take-profit",
    int(DealReason.SO): "stop-out",
    int(DealReason.ROLLOVER): "rollover",
    int(DealReason.VMARGIN): "variation margin",
    int(DealReason.SPLIT): "split",
    int(DealReason.CORPORATE_ACTION): "corporate action",
}


class ReportError(RuntimeError):
    """The account's deals or prices could not be read."""


class Report(NamedTuple):
    """What report() built: `statistics` (pandas Series, in the order of
    STATISTICS), `curve` (pandas DataFrame indexed by UTC time, one row per
    bar), `trades` (pandas DataFrame, one row per closed trade), the files
    written (`html`, `png`), `monthly` (monthly returns in percent, a row
    per year), `drawdowns` (the five worst drawdown periods), `prices` (the
    bars of each traded symbol) and `heading` (the page's title and
    subtitle). In Jupyter it shows as the report's page."""

    statistics: Any
    curve: Any
    trades: Any
    html: Optional[str]
    png: Tuple[str, ...]
    monthly: Any = None
    drawdowns: Any = None
    prices: Any = None
    heading: Tuple[str, str] = ("Trading report", "")

    def __repr__(self) -> str:
        stats = self.statistics
        return "<Report: %d trades, net profit %s, %d bars%s>" % (
            int(stats["trades"]),
            _plain(float(stats["net_profit"])),
            len(self.curve),
            (", page " + self.html) if self.html else "",
        )

    def _repr_html_(self) -> str:
        return _fragment(self, _figures(self))


def rounded(stats: Mapping[str, float], digits: int) -> Dict[str, float]:
    """`stats` as a file gets them: money in the currency's `digits`,
    counts whole, ratios and percentages to 4 decimals."""
    out = {}
    for k, v in stats.items():
        v = float(v)
        if math.isfinite(v):
            v = round(v, digits if k in MONEY else 0 if k in _COUNTS else 4)
        out[k] = v
    return out


def _plain(value: float) -> str:
    return "nan" if math.isnan(value) else "{:,.2f}".format(value)


def _money(deal: Any) -> float:
    return float(deal.profit) + float(deal.swap) + float(deal.commission) + float(deal.fee)


def _is_trade(deal: Any) -> bool:
    return int(deal.type) in (DealType.BUY, DealType.SELL)


def _in_order(deals: Sequence[Any]) -> List[Any]:
    return sorted(deals, key=lambda d: (int(d.time_msc), int(d.ticket)))


def trades(deals: Sequence[Any]) -> List[Tuple[int, str, float]]:
    """The closed trades: (time, symbol, result) of every deal that closes
    a position (entry OUT, INOUT or OUT_BY), in time order. A trade's
    result is its deal's profit, swap, commission and fee, plus the
    commission and fee of the deals that opened its position, which go to
    the position's first closing deal."""
    return [(int(r["close_msc"]) // 1000, r["symbol"], r["result"]) for r in _trade_rows(deals)]


def _trade_rows(deals: Sequence[Any]) -> List[Dict[str, Any]]:
    """Each closing deal with the position it closes (side, volume, the
    opening time and average price) and its money, in time order."""
    opening_costs: Dict[int, float] = {}
    # position id -> [signed volume, average price, opening time in ms]
    held: Dict[int, List[float]] = {}
    out: List[Dict[str, Any]] = []
    for d in _in_order(deals):
        if not _is_trade(d):
            continue
        pid, volume, price = int(d.position_id), float(d.volume), float(d.price)
        signed = volume if int(d.type) == DealType.BUY else -volume
        pos = held.get(pid)
        if int(d.entry) == DealEntry.IN:
            opening_costs[pid] = opening_costs.get(pid, 0.0) + float(d.commission) + float(d.fee)
            if pos is None or pos[0] == 0:
                held[pid] = [signed, price, float(d.time_msc)]
            else:
                total = abs(pos[0]) + volume
                pos[1] = (pos[1] * abs(pos[0]) + price * volume) / total
                pos[0] += signed
            continue
        side_volume, open_price, open_msc = (
            pos if pos is not None else [-signed, math.nan, math.nan]
        )
        closed = min(volume, abs(side_volume)) if pos is not None else volume
        costs = opening_costs.pop(pid, 0.0)
        out.append(
            {
                "symbol": str(d.symbol),
                "side": "buy" if side_volume > 0 else "sell",
                "volume": closed,
                "open_msc": open_msc,
                "open_price": open_price,
                "close_msc": int(d.time_msc),
                "close_price": price,
                "profit": float(d.profit),
                "commission": float(d.commission) + float(d.fee) + costs,
                "swap": float(d.swap),
                "result": _money(d) + costs,
                "closed_by": CLOSED_BY.get(int(d.reason), "reason %d" % int(d.reason)),
            }
        )
        if pos is not None:
            rest = pos[0] + signed
            if abs(rest) < 1e-9:
                del held[pid]
            elif (rest > 0) == (pos[0] > 0):
                pos[0] = rest
            else:  # reversed: the rest opens a position at the deal's price
                held[pid] = [rest, price, float(d.time_msc)]
    return out


def trade_table(deals: Sequence[Any]) -> Any:
    """Every closed trade as a pandas DataFrame numbered from 1: symbol,
    side (of the position), volume (closed), open_time and open_price (the
    position's first opening deal and average price), close_time and
    close_price (the closing deal's), duration, profit, commission (with
    fees, and the opening deals' for the first closing deal), swap,
    result (the trade's result, as in statistics) and closed_by (from the
    closing deal's reason: stop-loss, take-profit, stop-out, by hand, by
    program, ...). Times are UTC."""
    import pandas as pd  # type: ignore[import-untyped]

    rows = _trade_rows(deals)
    columns = [
        "symbol",
        "side",
        "volume",
        "open_time",
        "open_price",
        "close_time",
        "close_price",
        "duration",
        "profit",
        "commission",
        "swap",
        "result",
        "closed_by",
    ]
    opened = pd.to_datetime([r["open_msc"] for r in rows], unit="ms", utc=True)
    closed = pd.to_datetime([r["close_msc"] for r in rows], unit="ms", utc=True)
    frame = pd.DataFrame(
        {
            "symbol": [r["symbol"] for r in rows],
            "side": [r["side"] for r in rows],
            "volume": [r["volume"] for r in rows],
            "open_time": opened,
            "open_price": [r["open_price"] for r in rows],
            "close_time": closed,
            "close_price": [r["close_price"] for r in rows],
            "duration": closed - opened,
            "profit": [r["profit"] for r in rows],
            "commission": [r["commission"] for r in rows],
            "swap": [r["swap"] for r in rows],
            "result": [r["result"] for r in rows],
            "closed_by": [r["closed_by"] for r in rows],
        },
        columns=columns,
        index=pd.RangeIndex(1, len(rows) + 1, name="trade"),
    )
    return frame


def _daily_returns(curve: Any) -> Any:
    """Each UTC day's return: its last equity, less the deposits and
    withdrawals since the day before, over the day before's last equity,
    less 1."""
    equity = np.asarray(curve["equity"], dtype=float)
    times = np.asarray(curve["time"], dtype=np.int64)
    if len(times) == 0:
        return np.zeros(0)
    days = times // 86400
    last = np.flatnonzero(np.r_[days[1:] != days[:-1], True])
    daily = equity[last]
    flows = np.asarray(curve["deposits"], dtype=float)[last]
    with np.errstate(divide="ignore", invalid="ignore"):
        return (daily[1:] - (flows[1:] - flows[:-1])) / daily[:-1] - 1.0


def _exposure_and_curve_stats(curve: Any) -> Dict[str, float]:
    equity = np.asarray(curve["equity"], dtype=float)
    peak = np.maximum.accumulate(equity) if len(equity) else equity
    drawdown = peak - equity
    with np.errstate(divide="ignore", invalid="ignore"):
        pct = np.where(peak > 0, drawdown / peak * 100.0, 0.0)
    stats = {
        "max_drawdown": float(drawdown.max()) if len(equity) else 0.0,
        "max_drawdown_pct": float(pct.max()) if len(equity) else 0.0,
        "exposure_pct": float(np.mean(np.asarray(curve["exposed"], dtype=bool)) * 100.0)
        if len(equity)
        else float("nan"),
    }
    returns = _daily_returns(curve)
    stats["daily_returns"] = float(len(returns))
    stats["sharpe"] = stats["sortino"] = float("nan")
    if len(returns) >= MIN_DAILY_RETURNS and np.all(np.isfinite(returns)):
        mean = float(np.mean(returns))
        sd = float(np.std(returns, ddof=1))
        downside = math.sqrt(float(np.mean(np.minimum(returns, 0.0) ** 2)))
        root = math.sqrt(TRADING_DAYS)
        stats["sharpe"] = mean / sd * root if sd > 0 else float("nan")
        stats["sortino"] = mean / downside * root if downside > 0 else float("nan")
    return stats


def statistics(deals: Sequence[Any], curve: Any = None) -> Dict[str, float]:
    """The statistics of the guide "The report of an account" as a plain
    dict, from `deals` (records with the fields of TradeDeal, such as
    history_deals_get returns) and `curve` (a mapping or DataFrame with
    columns time, equity, deposits and exposed, as equity_curve builds;
    without it the balance after each deal stands for the equity and
    exposure is NaN). The Sharpe and Sortino ratios are NaN with fewer
    than MIN_DAILY_RETURNS daily returns (`daily_returns` tells how many)."""
    ordered = _in_order(deals)
    balance_deals = [d for d in ordered if int(d.type) == DealType.BALANCE]
    trade_deals = [d for d in ordered if _is_trade(d)]
    results = [r for _, _, r in trades(ordered)]
    wins = [r for r in results if r > 0]
    losses = [r for r in results if r < 0]
    gross_profit, gross_loss = float(sum(wins)), float(sum(losses))
    # The first balance deals before any trade are the initial balance;
    # later ones are deposits and withdrawals.
    first_trade = int(trade_deals[0].time_msc) if trade_deals else None
    initial = sum(
        _money(d) for d in balance_deals if first_trade is None or int(d.time_msc) <= first_trade
    )
    flows = sum(_money(d) for d in balance_deals) - initial
    net = float(sum(_money(d) for d in trade_deals))
    final_balance = initial + flows + net
    if gross_loss < 0:
        factor = gross_profit / -gross_loss
    else:
        factor = float("inf") if gross_profit > 0 else float("nan")
    stats: Dict[str, float] = {
        "initial_balance": float(initial),
        "final_balance": float(final_balance),
        "final_equity": float(final_balance),
        "deposits": float(flows),
        "net_profit": net,
        "gross_profit": gross_profit,
        "gross_loss": gross_loss,
        "profit_factor": factor,
        "trades": float(len(results)),
        "wins": float(len(wins)),
        "losses": float(len(losses)),
        "win_rate": len(wins) / len(results) * 100.0 if results else float("nan"),
        "average_win": gross_profit / len(wins) if wins else float("nan"),
        "average_loss": gross_loss / len(losses) if losses else float("nan"),
        "largest_win": max(wins) if wins else float("nan"),
        "largest_loss": min(losses) if losses else float("nan"),
    }
    if curve is None:
        running = flows_so_far = 0.0
        times: List[int] = []
        equity: List[float] = []
        deposits: List[float] = []
        for d in ordered:
            running += _money(d)
            if int(d.type) == DealType.BALANCE:
                flows_so_far += _money(d)
            times.append(int(d.time))
            equity.append(running)
            deposits.append(flows_so_far)
        stats.update(
            _exposure_and_curve_stats(
                {
                    "time": times,
                    "equity": equity,
                    "deposits": deposits,
                    "exposed": [False] * len(times),
                }
            )
        )
        stats["exposure_pct"] = float("nan")
    else:
        stats.update(_exposure_and_curve_stats(curve))
        if len(curve["equity"]):
            stats["final_equity"] = float(np.asarray(curve["equity"], dtype=float)[-1])
    return {k: stats[k] for k in STATISTICS}


class _Position:
    """A position rebuilt from its deals: signed volume and average price."""

    __slots__ = ("symbol", "volume", "price")

    def __init__(self, symbol: str) -> None:
        self.symbol, self.volume, self.price = symbol, 0.0, 0.0

    def apply(self, deal: Any) -> None:
        v = float(deal.volume) * (1.0 if int(deal.type) == DealType.BUY else -1.0)
        price = float(deal.price)
        if self.volume == 0 or (self.volume > 0) == (v > 0):
            total = abs(self.volume) + abs(v)
            self.price = (self.price * abs(self.volume) + price * abs(v)) / total
            self.volume += v
        elif abs(v) <= abs(self.volume) + 1e-12:
            self.volume += v
            if abs(self.volume) < 1e-9:
                self.volume = 0.0
        else:  # reversed: the rest opens at the deal's price
            self.volume += v
            self.price = price


_CURVE_COLUMNS = ("time", "balance", "equity", "deposits", "drawdown", "drawdown_pct", "exposed")


def equity_curve(
    deals: Sequence[Any],
    bars: Mapping[str, Any],
    values: Mapping[str, Tuple[float, float]],
    seconds: Optional[int] = None,
) -> Any:
    """The balance and equity at the close of every bar (a pandas
    DataFrame indexed by UTC time, columns time, balance, equity, deposits,
    drawdown, drawdown_pct, exposed): one row per bar time of the traded
    symbols, and no other.

    `bars` maps each traded symbol to its bars (fields time, close,
    spread), all of one timeframe of `seconds` (default: the shortest step
    between two bars); `values` maps it to (money per 1.0 of price per
    lot, point). A bar's close is the bid; a sell position is valued at the
    ask, the close plus the bar's spread. A deal counts in the row of the
    bar it falls in (one before the first bar in the first row, one after
    the last bar's end or between two bars in the next row), so a position
    a stop closed inside a bar is closed at that bar's close; a bar is
    exposed when a position was open at any moment of it. Without bars the
    rows are the deals' own times."""
    import pandas as pd

    ordered = _in_order(deals)
    series = [np.asarray(b["time"], dtype=np.int64) for b in bars.values()]
    times = np.unique(np.concatenate(series)) if series else np.zeros(0, dtype=np.int64)
    if len(times):
        if seconds is None:
            seconds = int(np.min(np.diff(times))) if len(times) > 1 else 60
        ends = times + int(seconds)
    else:
        # No prices: the balance after the deals of each time.
        times = np.unique(np.asarray([int(d.time) for d in ordered], dtype=np.int64))
        ends = times + 1
    # The bars' closes, carried forward over bars a symbol lacks.
    close: Dict[str, Any] = {}
    spread: Dict[str, Any] = {}
    for sym, b in bars.items():
        t = np.asarray(b["time"], dtype=np.int64)
        if len(t) == 0:
            close[sym] = np.full(len(times), np.nan)
            spread[sym] = np.zeros(len(times))
            continue
        at = np.searchsorted(t, times, side="right") - 1
        c = np.asarray(b["close"], dtype=float)
        s = np.asarray(b["spread"], dtype=float)
        close[sym] = np.where(at >= 0, c[np.maximum(at, 0)], np.nan)
        spread[sym] = np.where(at >= 0, s[np.maximum(at, 0)], 0.0)
    balance = np.zeros(len(times))
    equity = np.zeros(len(times))
    deposits = np.zeros(len(times))
    exposed = np.zeros(len(times), dtype=bool)
    positions: Dict[int, _Position] = {}
    running = flows = 0.0
    k = 0
    for i in range(len(times)):
        # A position held from the bar before makes this bar exposed.
        held = bool(positions)
        # The deals up to the end of this bar; the last bar takes the rest.
        last = i == len(times) - 1
        while k < len(ordered) and (last or int(ordered[k].time) < ends[i]):
            d = ordered[k]
            running += _money(d)
            if int(d.type) == DealType.BALANCE:
                flows += _money(d)
            elif _is_trade(d):
                # Any trade deal means a position open during the bar.
                held = True
                pos = positions.setdefault(int(d.position_id), _Position(str(d.symbol)))
                pos.apply(d)
                if pos.volume == 0:
                    del positions[int(d.position_id)]
            k += 1
        floating = 0.0
        for pos in positions.values():
            price = close.get(pos.symbol)
            per_price, point = values.get(pos.symbol, (0.0, 0.0))
            if price is None or np.isnan(price[i]):
                continue
            if pos.volume > 0:
                floating += (price[i] - pos.price) * pos.volume * per_price
            else:
                ask = price[i] + spread[pos.symbol][i] * point
                floating += (pos.price - ask) * -pos.volume * per_price
        balance[i] = running
        equity[i] = running + floating
        deposits[i] = flows
        exposed[i] = held or bool(positions)
    peak = np.maximum.accumulate(equity) if len(equity) else equity
    frame = pd.DataFrame(
        {
            "time": times,
            "balance": balance,
            "equity": equity,
            "deposits": deposits,
            "drawdown": peak - equity,
            "drawdown_pct": np.where(
                peak > 0, (peak - equity) / np.where(peak > 0, peak, 1) * 100, 0.0
            ),
            "exposed": exposed,
        },
        index=pd.to_datetime(times, unit="s", utc=True),
        columns=list(_CURVE_COLUMNS),
    )
    frame.index.name = "when"
    return frame


def monthly_returns(curve: Any) -> Any:
    """The return of each calendar month (UTC) in percent, a row per year
    and a column per month (1 to 12) and "year" (the months compounded):
    the month's last equity, less the deposits and withdrawals in it, over
    the last equity before it (the first month: the deposits at the curve's
    first bar), less 1. Months without bars are empty."""
    import pandas as pd

    columns: List[Any] = list(range(1, 13)) + ["year"]
    if not len(curve):
        return pd.DataFrame(columns=columns, index=pd.Index([], name="year"), dtype=float)
    when = curve.index.tz_convert(None)
    months = when.year * 12 + (when.month - 1)
    equity = np.asarray(curve["equity"], dtype=float)
    flows = np.asarray(curve["deposits"], dtype=float)
    last = np.flatnonzero(np.r_[months[1:] != months[:-1], True])
    before_equity = np.r_[flows[0], equity[last][:-1]]
    before_flows = np.r_[flows[0], flows[last][:-1]]
    with np.errstate(divide="ignore", invalid="ignore"):
        r = (equity[last] - (flows[last] - before_flows)) / before_equity - 1.0
    table: Dict[int, Dict[Any, float]] = {}
    for month, value in zip(np.asarray(months)[last], r):
        table.setdefault(int(month) // 12, {})[int(month) % 12 + 1] = float(value) * 100.0
    for row in table.values():
        row["year"] = (float(np.prod([1 + v / 100.0 for v in row.values()])) - 1.0) * 100.0
    frame = pd.DataFrame.from_dict(table, orient="index").reindex(columns=columns)
    frame.index.name = "year"
    return frame


def drawdown_periods(curve: Any, count: int = 5) -> Any:
    """The `count` deepest drawdown periods of the curve, deepest first: a
    period runs from the bar of an equity peak (start) through its lowest
    bar (trough) to the first bar whose equity is back at the peak
    (recovery, NaT while it is not); length is recovery less start (to the
    last bar when not recovered); depth in money and in percent of the
    peak."""
    import pandas as pd

    equity = np.asarray(curve["equity"], dtype=float)
    when = curve.index
    periods = []
    i, n = 0, len(equity)
    peak_at = 0
    while i < n:
        if equity[i] >= equity[peak_at]:
            peak_at = i
            i += 1
            continue
        # Under water from the peak at peak_at until the equity is back.
        j = i
        while j < n and equity[j] < equity[peak_at]:
            j += 1
        trough = i + int(np.argmin(equity[i:j]))
        depth = float(equity[peak_at] - equity[trough])
        periods.append(
            {
                "start": when[peak_at],
                "trough": when[trough],
                "recovery": when[j] if j < n else pd.NaT,
                "length": (when[j] if j < n else when[n - 1]) - when[peak_at],
                "depth": depth,
                "depth_pct": depth / equity[peak_at] * 100.0 if equity[peak_at] > 0 else math.nan,
            }
        )
        peak_at = j if j < n else peak_at
        i = j + 1 if j < n else n
    periods.sort(key=lambda p: -p["depth"])
    frame = pd.DataFrame(
        periods[:count], columns=["start", "trough", "recovery", "length", "depth", "depth_pct"]
    )
    frame.index = pd.RangeIndex(1, len(frame) + 1)
    return frame


def _timeframe_seconds(tf: int) -> Optional[int]:
    """The length of a bar of `tf`; None for a month (of varying length)."""
    if tf == Timeframe.MN1:
        return None
    if tf == Timeframe.W1:
        return 7 * 86400
    if tf & 0x4000:
        return (tf & 0x3FFF) * 3600
    return tf * 60


def _auto_timeframe(span_seconds: int) -> int:
    """The smallest timeframe that keeps the curve under ~20000 bars."""
    for tf, seconds in (
        (Timeframe.M1, 60),
        (Timeframe.M5, 300),
        (Timeframe.M15, 900),
        (Timeframe.H1, 3600),
        (Timeframe.H4, 14400),
    ):
        if span_seconds / seconds <= 20000:
            return int(tf)
    return int(Timeframe.D1)


def _seconds(value: Union[None, int, float, datetime.datetime], default: int) -> int:
    if value is None:
        return default
    if isinstance(value, datetime.datetime):
        return int(value.timestamp())
    return int(value)


def _figures(result: Report) -> Dict[str, bytes]:
    """The plots as PNG bytes: equity and balance, drawdown, trade results
    and the price of each traded symbol with its trades. Each is a
    matplotlib Figure of its own, drawn without pyplot: the user's backend
    and pyplot's figures are left alone."""
    try:
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError("the report's plots need matplotlib: " + EXTRA) from e

    curve, table = result.curve, result.trades
    out: Dict[str, bytes] = {}
    if not len(curve):
        return out

    def save(fig: Any, name: str) -> None:
        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=100)
        out[name] = buf.getvalue()

    def legend_above(ax: Any) -> None:
        # Above the plot, right of the title: never over the data.
        ax.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=4, frameon=False, fontsize=9)

    when = curve.index.tz_convert(None).to_numpy()
    fig = Figure(figsize=(10, 3.6), layout="constrained")
    ax = fig.add_subplot()
    ax.plot(when, curve["equity"], color="#1f6fb2", linewidth=1.2, label="Equity")
    ax.plot(
        when,
        curve["balance"],
        color="#d9822b",
        linewidth=1.2,
        label="Balance",
        drawstyle="steps-post",
    )
    ax.set_title("Balance and equity", loc="left")
    legend_above(ax)
    ax.grid(alpha=0.3)
    save(fig, "equity")

    fig = Figure(figsize=(10, 2.4), layout="constrained")
    ax = fig.add_subplot()
    ax.fill_between(when, -curve["drawdown"], 0, color="#c0392b", alpha=0.45, step="post")
    ax.set_title("Drawdown (money below the highest equity so far)", loc="left")
    ax.grid(alpha=0.3)
    save(fig, "drawdown")

    fig = Figure(figsize=(10, 2.4), layout="constrained")
    ax = fig.add_subplot()
    results = list(table["result"])
    ax.bar(
        range(1, len(results) + 1),
        results,
        color=["#2e8b57" if r > 0 else "#c0392b" for r in results],
    )
    ax.axhline(0, color="#555555", linewidth=0.8)
    ax.set_title("Result of each trade", loc="left")
    ax.set_xlabel("trade")
    ax.grid(alpha=0.3, axis="y")
    save(fig, "trades")

    for sym, bars in sorted((result.prices or {}).items()):
        if not len(bars):
            continue
        fig = Figure(figsize=(10, 3.2), layout="constrained")
        ax = fig.add_subplot()
        bar_time = bars.index.tz_convert(None).to_numpy()
        ax.plot(bar_time, bars["close"], color="#7f8c8d", linewidth=0.8, label="Close")
        mine = table[table["symbol"] == sym]
        opened = mine["open_time"].dt.tz_convert(None).to_numpy()
        closed = mine["close_time"].dt.tz_convert(None).to_numpy()
        for o, c, po, pc, r in zip(
            opened, closed, mine["open_price"], mine["close_price"], mine["result"]
        ):
            ax.plot([o, c], [po, pc], color="#2e8b57" if r > 0 else "#c0392b", linewidth=1.4)
        buys = (mine["side"] == "buy").to_numpy()
        open_price = mine["open_price"].to_numpy()
        for chosen, marker, color, label in (
            (buys, "^", "#2e8b57", "Buy"),
            (~buys, "v", "#c0392b", "Sell"),
        ):
            ax.scatter(
                opened[chosen],
                open_price[chosen],
                marker=marker,
                color=color,
                s=36,
                label=label,
                zorder=3,
            )
        ax.scatter(
            closed, mine["close_price"], marker="x", color="#222222", s=30, label="Exit", zorder=3
        )
        ax.set_title("%s: trades on the price (bid close)" % sym, loc="left")
        legend_above(ax)
        ax.grid(alpha=0.3)
        save(fig, "price_" + sym)
    return out


def _format(key: str, value: float, stats: Mapping[str, float], digits: int) -> str:
    if key in ("sharpe", "sortino") and math.isnan(value):
        n = int(stats.get("daily_returns", 0))
        if n < MIN_DAILY_RETURNS:
            return "n/a: %d daily returns, needs %d" % (n, MIN_DAILY_RETURNS)
        return "n/a: no return below 0" if key == "sortino" else "n/a: the returns do not vary"
    if isinstance(value, float) and math.isnan(value):
        return "&ndash;"
    if math.isinf(value):
        return "&infin;"
    if key in _COUNTS:
        return "%d" % value
    if key in ("profit_factor", "sharpe", "sortino"):
        return "%.3f" % value
    if key in MONEY:
        return "{:,.{}f}".format(value, digits)
    return "{:,.2f}".format(value)


def _when(value: Any) -> str:
    if value is None or value != value:  # NaT
        return "&ndash;"
    return str(value.strftime("%Y-%m-%d %H:%M"))


def _span(delta: Any) -> str:
    if delta is None or delta != delta:
        return "&ndash;"
    minutes = int(delta.total_seconds()) // 60
    days, minutes = divmod(minutes, 1440)
    hours, minutes = divmod(minutes, 60)
    return ("%dd " % days if days else "") + "%d:%02d" % (hours, minutes)


def _signed(value: float, digits: int) -> str:
    if value != value:
        return "<td></td>"
    css = "win" if value > 0 else "loss" if value < 0 else ""
    return '<td class="%s">%s</td>' % (css, "{:,.{}f}".format(value, digits))


_STYLE = """
.zk5-report { font-family: sans-serif; color: #222; max-width: 1080px; }
.zk5-report h1 { font-size: 22px; margin: 0 0 2px 0; }
.zk5-report h2 { font-size: 16px; margin: 18px 0 6px 0; }
.zk5-report p.sub { color: #666; margin-top: 0; }
.zk5-report .grid { display: flex; gap: 28px; align-items: flex-start; flex-wrap: wrap; }
.zk5-report table { border-collapse: collapse; font-size: 13px; }
.zk5-report th, .zk5-report td { padding: 3px 8px; border-bottom: 1px solid #e4e4e4; }
.zk5-report th { text-align: left; }
.zk5-report td { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.zk5-report td.text { text-align: left; }
.zk5-report td.win { color: #2e8b57; } .zk5-report td.loss { color: #c0392b; }
.zk5-report figure { margin: 0 0 10px 0; } .zk5-report img { max-width: 100%; }
.zk5-report .scroll { max-height: 480px; overflow-y: auto; border-bottom: 1px solid #bbb; }
.zk5-report p.foot { margin-top: 14px; }
"""


def _body(result: Report, pngs: Mapping[str, bytes]) -> str:
    stats = result.statistics
    digits = int(getattr(result.statistics, "attrs", {}).get("currency_digits", 2))
    price_digits: Mapping[str, int] = getattr(result.trades, "attrs", {}).get("price_digits", {})
    title, subtitle = result.heading
    parts = ["<h1>%s</h1>" % _html.escape(title), '<p class="sub">%s</p>' % _html.escape(subtitle)]
    stat_rows = "\n".join(
        "<tr><th>%s</th><td>%s</td></tr>"
        % (_html.escape(STATISTICS[k]), _format(k, float(v), stats, digits))
        for k, v in stats.items()
    )
    side = []
    if result.drawdowns is not None:
        rows = "\n".join(
            "<tr><td>%d</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td>%s<td>%s</td></tr>"
            % (
                n,
                _when(p.start),
                _when(p.trough),
                _when(p.recovery) if p.recovery == p.recovery else "not yet",
                _span(p.length),
                _signed(-p.depth, digits),
                "%.2f" % p.depth_pct,
            )
            for n, p in result.drawdowns.iterrows()
        )
        side.append(
            '<h2>Worst drawdown periods</h2><table class="drawdowns"><tr><th>#</th>'
            "<th>start (peak)</th><th>trough</th><th>recovery</th><th>length</th>"
            "<th>depth</th><th>%%</th></tr>\n%s</table>" % (rows or "<tr><td>none</td></tr>")
        )
    if result.monthly is not None:
        head = "".join("<th>%s</th>" % c for c in ("", *"JFMAMJJASOND", "Year"))
        rows = "\n".join(
            "<tr><th>%d</th>%s</tr>" % (year, "".join(_signed(float(v), 2) for v in row.tolist()))
            for year, row in result.monthly.iterrows()
        )
        side.append(
            '<h2>Monthly returns (%%)</h2><table class="monthly"><tr>%s</tr>\n%s</table>'
            % (head, rows)
        )
    parts.append(
        '<div class="grid"><div><h2>Statistics</h2><table class="stats">%s</table></div>'
        "<div>%s</div></div>" % (stat_rows, "\n".join(side))
    )
    parts += [
        '<figure><img alt="%s" src="data:image/png;base64,%s"></figure>'
        % (name, base64.b64encode(data).decode("ascii"))
        for name, data in pngs.items()
    ]
    t = result.trades
    trade_rows = []
    for n, r in t.iterrows():
        pd_ = int(price_digits.get(r.symbol, 5))
        trade_rows.append(
            "<tr><td>%d</td><td class=text>%s</td><td class=text>%s</td><td>%s</td>"
            "<td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td>%s%s%s%s"
            "<td class=text>%s</td></tr>"
            % (
                n,
                _html.escape(r.symbol),
                r.side,
                "%g" % r.volume,
                _when(r.open_time),
                "%.*f" % (pd_, r.open_price) if r.open_price == r.open_price else "&ndash;",
                _when(r.close_time),
                "%.*f" % (pd_, r.close_price),
                _span(r.duration),
                _signed(r.profit, digits),
                _signed(r.commission, digits),
                _signed(r.swap, digits),
                _signed(r.result, digits),
                _html.escape(r.closed_by),
            )
        )
    parts.append(
        '<h2>Trades (%d)</h2><div class="scroll"><table class="trades"><tr><th>#</th>'
        "<th>symbol</th><th>side</th><th>volume</th><th>opened (UTC)</th><th>price</th>"
        "<th>closed (UTC)</th><th>price</th><th>duration</th><th>profit</th>"
        "<th>commission</th><th>swap</th><th>result</th><th>closed by</th></tr>\n%s"
        "</table></div>" % (len(t), "\n".join(trade_rows) or "<tr><td>none</td></tr>")
    )
    parts.append(
        '<p class="sub foot">Made by zelkor5. Every statistic is defined in its documentation, '
        'in the guide "The report of an account".</p>'
    )
    return "\n".join(parts)


def _fragment(result: Report, pngs: Mapping[str, bytes]) -> str:
    """The page's content for a notebook: its styles apply inside it alone."""
    return '<div class="zk5-report"><style>%s</style>\n%s\n</div>' % (_STYLE, _body(result, pngs))


def _page(result: Report, pngs: Mapping[str, bytes]) -> str:
    return """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>%s</title>
<style>body { margin: 24px auto; max-width: 1080px; }%s</style></head>
<body><div class="zk5-report">
%s
</div></body></html>
""" % (_html.escape(result.heading[0]), _STYLE, _body(result, pngs))


def _empty_curve() -> Any:
    import pandas as pd

    frame = pd.DataFrame(
        {c: pd.Series(dtype="bool" if c == "exposed" else "float64") for c in _CURVE_COLUMNS},
        index=pd.DatetimeIndex([], tz="UTC", name="when"),
    )
    frame["time"] = frame["time"].astype("int64")
    return frame


def report(
    start: Union[None, int, float, datetime.datetime] = None,
    end: Union[None, int, float, datetime.datetime] = None,
    *,
    html: Optional[str] = None,
    png_dir: Optional[str] = None,
    timeframe: Optional[int] = None,
    title: Optional[str] = None,
) -> Report:
    """The report of the connected account from `start` (default: its
    first deal) to `end` (default: now by the terminal's clock), dates as
    the module takes them. Writes the page to `html` and the plots as PNG
    files into `png_dir` when given. The curve's bars are of `timeframe`
    (default: the smallest keeping it under ~20000 bars). Money is rounded
    to the account currency's digits, prices to the symbol's. Raises
    ReportError when the deals or prices cannot be read, ImportError
    (naming the extra to install) without pandas or matplotlib."""
    try:
        import pandas as pd
    except ImportError as e:
        raise ImportError("the report needs pandas and matplotlib: " + EXTRA) from e

    account = _core.account_info()
    if account is None:
        raise ReportError("no account: %s (%d)" % (_core.last_error()[1], _core.last_error()[0]))
    lo = _seconds(start, 0)
    if end is None:
        # Now by the terminal's clock (a replay's), else the system's.
        try:
            hi = int(replay.now())
        except replay.ReplayError:
            hi = int(datetime.datetime.now(_UTC).timestamp())
    else:
        hi = _seconds(end, 0)
    deals = _core.history_deals_get(lo, hi)
    if deals is None:
        raise ReportError("deals: %s (%d)" % (_core.last_error()[1], _core.last_error()[0]))
    deals = tuple(deals)
    if start is None and deals:
        lo = min(int(d.time) for d in deals)
    symbols = sorted({str(d.symbol) for d in deals if _is_trade(d)})
    tf = timeframe if timeframe is not None else _auto_timeframe(max(hi - lo, 60))
    seconds = _timeframe_seconds(tf)
    # From the bar the first deal falls in, which opens before it.
    first_bar = lo - seconds + 1 if seconds else lo - 31 * 86400
    digits = int(account.currency_digits)
    bars: Dict[str, Any] = {}
    values: Dict[str, Tuple[float, float]] = {}
    price_digits: Dict[str, int] = {}
    for sym in symbols:
        got = history.rates_range(sym, tf, first_bar, hi)
        info = _core.symbol_info(sym)
        if got is None or info is None:
            raise ReportError(
                "prices of %s: %s (%d)" % (sym, _core.last_error()[1], _core.last_error()[0])
            )
        bars[sym] = got
        price_digits[sym] = int(info.digits)
        # Money per 1.0 of price per lot, from the terminal's own rule.
        base = float(got["close"][-1]) if len(got) else float(info.bid or 1.0)
        profit = _core.order_calc_profit(int(OrderType.BUY), sym, 1.0, base, base + 1.0)
        values[sym] = (
            float(profit) if profit is not None else float(info.trade_contract_size),
            float(info.point),
        )
    curve = equity_curve(deals, bars, values, seconds) if (bars or deals) else _empty_curve()
    for column in ("balance", "equity", "deposits", "drawdown"):
        curve[column] = curve[column].round(digits)
    stats = statistics(deals, curve)
    # Sums of amounts in the currency's digits are exact in those digits:
    # rounding drops the binary noise of the additions (9866.800000000001).
    series = pd.Series(
        {
            k: round(v, digits) if k in MONEY and k not in _AVERAGES and math.isfinite(v) else v
            for k, v in stats.items()
        },
        name="value",
    )
    series.attrs["currency_digits"] = digits
    table = trade_table(deals)
    for column in ("profit", "commission", "swap", "result"):
        table[column] = table[column].round(digits)
    for sym, d in price_digits.items():
        mine = table["symbol"] == sym
        for column in ("open_price", "close_price"):
            table.loc[mine, column] = table.loc[mine, column].round(d)
    table.attrs["price_digits"] = price_digits
    fmt = "%Y-%m-%d %H:%M"
    subtitle = "Account %d (%s, %s), %s to %s UTC, %s bars; %s" % (
        account.login,
        account.server,
        account.currency,
        datetime.datetime.fromtimestamp(lo, _UTC).strftime(fmt),
        datetime.datetime.fromtimestamp(hi, _UTC).strftime(fmt),
        Timeframe(tf).name,
        ", ".join(symbols) or "no trades",
    )
    prices = {sym: _price_frame(b) for sym, b in bars.items()}
    result = Report(
        series,
        curve,
        table,
        None,
        (),
        monthly_returns(curve),
        drawdown_periods(curve),
        prices,
        (title or "Trading report", subtitle),
    )
    written: List[str] = []
    if html is not None or png_dir is not None:
        pngs = _figures(result)
        if png_dir is not None:
            os.makedirs(png_dir, exist_ok=True)
            for name, data in pngs.items():
                target = os.path.join(png_dir, name + ".png")
                with open(target, "wb") as f:
                    f.write(data)
                written.append(target)
        if html is not None:
            with open(html, "w", encoding="utf-8") as f:
                f.write(_page(result, pngs))
    return result._replace(html=html, png=tuple(written))


def _price_frame(bars: Any) -> Any:
    import pandas as pd

    frame = pd.DataFrame({"close": np.asarray(bars["close"], dtype=float)})
    frame.index = pd.to_datetime(np.asarray(bars["time"], dtype=np.int64), unit="s", utc=True)
    return frame
