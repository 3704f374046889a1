"""A report of an account's trading: balance and equity curves at bar
resolution, drawdown and the usual statistics.

    import zelkor5
    zelkor5.initialize(...)
    result = zelkor5.report(html="report.html")   # the current account
    print(result.statistics)                       # a pandas Series

``report()`` reads the account's deals and the bars of the symbols it
traded through the module's connection, and builds ``Report.curve`` (a
pandas DataFrame: balance, equity, drawdown and whether a position was open,
at the close of every bar), ``Report.statistics`` (a pandas Series), and on
request one self-contained HTML page (plots drawn with matplotlib, embedded
as PNG: no network needed to view it) and the plots as PNG files.

(The module is ``zelkor5.reporting``; ``zelkor5.report`` is its
``report`` function.) ``statistics(deals, curve)`` computes the statistics alone, as a plain
dict, from deals (records with the fields of TradeDeal) and optionally a
curve; ``equity_curve(deals, bars, values)`` builds the curve from given
bars. Neither needs a terminal, pandas aside for the curve. Every
statistic is defined in docs/report.md. Needs pandas and matplotlib.
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
from .constants import DealEntry, DealType, OrderType, Timeframe

__all__ = ["report", "statistics", "equity_curve", "trades", "Report", "ReportError", "STATISTICS"]

_UTC = datetime.timezone.utc
# Trading days in a year: the Sharpe ratio of daily returns is annualised
# with its square root.
TRADING_DAYS = 252

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
    "sharpe": "Sharpe ratio (daily, annualised)",
    "exposure_pct": "Exposure (%)",
}


class ReportError(RuntimeError):
    """The account's deals or prices could not be read."""


class Report(NamedTuple):
    """What report() built: `statistics` (pandas Series, in the order of
    STATISTICS), `curve` (pandas DataFrame indexed by UTC time), `trades`
    (pandas DataFrame, one row per closing deal), and the files written."""

    statistics: Any
    curve: Any
    trades: Any
    html: Optional[str]
    png: Tuple[str, ...]


def _money(deal: Any) -> float:
    return float(deal.profit) + float(deal.swap) + float(deal.commission) + float(deal.fee)


def _is_trade(deal: Any) -> bool:
    return int(deal.type) in (DealType.BUY, DealType.SELL)


def trades(deals: Sequence[Any]) -> List[Tuple[int, str, float]]:
    """The closed trades: (time, symbol, result) of every deal that closes
    a position (entry OUT, INOUT or OUT_BY), in time order. A trade's
    result is its deal's profit, swap, commission and fee, plus the
    commission and fee of the deals that opened its position, which go to
    the position's first closing deal."""
    opening: Dict[int, float] = {}
    out: List[Tuple[int, str, float]] = []
    for d in sorted(deals, key=lambda d: (int(d.time_msc), int(d.ticket))):
        if not _is_trade(d):
            continue
        if int(d.entry) == DealEntry.IN:
            opening[int(d.position_id)] = (
                opening.get(int(d.position_id), 0.0) + float(d.commission) + float(d.fee)
            )
            continue
        result = _money(d) + opening.pop(int(d.position_id), 0.0)
        out.append((int(d.time), str(d.symbol), result))
    return out


def _exposure_and_curve_stats(curve: Any) -> Dict[str, float]:
    equity = np.asarray(curve["equity"], dtype=float)
    peak = np.maximum.accumulate(equity)
    drawdown = peak - equity
    with np.errstate(divide="ignore", invalid="ignore"):
        pct = np.where(peak > 0, drawdown / peak * 100.0, 0.0)
    stats = {
        "max_drawdown": float(drawdown.max()) if len(equity) else 0.0,
        "max_drawdown_pct": float(pct.max()) if len(equity) else 0.0,
        "exposure_pct": float(np.mean(np.asarray(curve["exposed"], dtype=bool)) * 100.0)
        if len(equity)
        else 0.0,
    }
    # Daily returns: the equity at the last point of each UTC day, against
    # the day before (deposits and withdrawals taken out of the change).
    times = np.asarray(curve["time"], dtype=np.int64)
    days = times // 86400
    last = np.flatnonzero(np.r_[days[1:] != days[:-1], True]) if len(times) else np.array([], int)
    daily = equity[last]
    flows = np.asarray(curve["deposits"], dtype=float)[last]
    if len(daily) >= 3:
        returns = (daily[1:] - (flows[1:] - flows[:-1])) / daily[:-1] - 1.0
        sd = float(np.std(returns, ddof=1))
        stats["sharpe"] = (
            float(np.mean(returns)) / sd * math.sqrt(TRADING_DAYS) if sd > 0 else float("nan")
        )
    else:
        stats["sharpe"] = float("nan")
    return stats


def statistics(deals: Sequence[Any], curve: Any = None) -> Dict[str, float]:
    """The statistics of docs/report.md as a plain dict, from `deals`
    (records with the fields of TradeDeal, such as history_deals_get
    returns) and `curve` (a mapping or DataFrame with columns time,
    equity, deposits and exposed, as equity_curve builds; without it the
    balance after each deal stands for the equity and exposure is NaN)."""
    ordered = sorted(deals, key=lambda d: (int(d.time_msc), int(d.ticket)))
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


def equity_curve(
    deals: Sequence[Any], bars: Mapping[str, Any], values: Mapping[str, Tuple[float, float]]
) -> Any:
    """The balance and equity at the close of every bar (a pandas
    DataFrame indexed by UTC time, columns time, balance, equity, deposits,
    drawdown, drawdown_pct, exposed).

    `bars` maps each traded symbol to its bars (fields time, close,
    spread), all of one timeframe; `values` maps it to (money per 1.0 of
    price per lot, point). A bar's close is the bid; a sell position is
    valued at the ask, the close plus the bar's spread. Deals count at the
    close of the bar they fall in."""
    import pandas as pd  # type: ignore[import-untyped]

    ordered = sorted(deals, key=lambda d: (int(d.time_msc), int(d.ticket)))
    times = np.unique(
        np.concatenate(
            [np.asarray(b["time"], dtype=np.int64) for b in bars.values()]
            + [np.asarray([int(d.time) for d in ordered], dtype=np.int64)]
        )
    )
    if len(times) > 1:
        step = int(np.min(np.diff(times)))
    else:
        step = 60
    # The bars' closes, carried forward over bars a symbol lacks.
    close: Dict[str, Any] = {}
    spread: Dict[str, Any] = {}
    for sym, b in bars.items():
        t = np.asarray(b["time"], dtype=np.int64)
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
    for i, t in enumerate(times):
        # Deals up to the end of this bar.
        while k < len(ordered) and int(ordered[k].time) < t + step:
            d = ordered[k]
            running += _money(d)
            if int(d.type) == DealType.BALANCE:
                flows += _money(d)
            elif _is_trade(d):
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
        exposed[i] = bool(positions)
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
    )
    frame.index.name = "when"
    return frame


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


def _figures(curve: Any, trade_list: List[Tuple[int, str, float]]) -> Dict[str, bytes]:
    """The plots as PNG bytes: equity and balance, drawdown, trade results."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out: Dict[str, bytes] = {}
    when = curve.index.tz_convert(None)

    def save(fig: Any, name: str) -> None:
        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=100)
        plt.close(fig)
        out[name] = buf.getvalue()

    fig, ax = plt.subplots(figsize=(10, 3.6), layout="constrained")
    ax.plot(when, curve["equity"], color="#1f6fb2", linewidth=1.2, label="Equity")
    ax.plot(
        when,
        curve["balance"],
        color="#d9822b",
        linewidth=1.2,
        label="Balance",
        drawstyle="steps-post",
    )
    ax.set_title("Balance and equity")
    ax.legend(loc="upper left")
    ax.grid(alpha=0.3)
    save(fig, "equity")

    fig, ax = plt.subplots(figsize=(10, 2.4), layout="constrained")
    ax.fill_between(when, -curve["drawdown"], 0, color="#c0392b", alpha=0.45, step="post")
    ax.set_title("Drawdown (money below the highest equity so far)")
    ax.grid(alpha=0.3)
    save(fig, "drawdown")

    fig, ax = plt.subplots(figsize=(10, 2.4), layout="constrained")
    results = [r for _, _, r in trade_list]
    ax.bar(
        range(1, len(results) + 1),
        results,
        color=["#2e8b57" if r > 0 else "#c0392b" for r in results],
    )
    ax.axhline(0, color="#555555", linewidth=0.8)
    ax.set_title("Result of each trade")
    ax.set_xlabel("trade")
    ax.grid(alpha=0.3, axis="y")
    save(fig, "trades")
    return out


def _format(key: str, value: float) -> str:
    if isinstance(value, float) and math.isnan(value):
        return "&ndash;"
    if math.isinf(value):
        return "&infin;"
    if key in ("trades", "wins", "losses"):
        return "%d" % value
    if key in ("profit_factor", "sharpe"):
        return "%.3f" % value
    return "{:,.2f}".format(value)


def _page(
    title: str,
    subtitle: str,
    stats: Mapping[str, float],
    pngs: Mapping[str, bytes],
    trade_list: List[Tuple[int, str, float]],
) -> str:
    rows = "\n".join(
        "<tr><th>%s</th><td>%s</td></tr>" % (_html.escape(STATISTICS[k]), _format(k, v))
        for k, v in stats.items()
    )
    images = "\n".join(
        '<figure><img alt="%s" src="data:image/png;base64,%s"></figure>'
        % (name, base64.b64encode(data).decode("ascii"))
        for name, data in pngs.items()
    )
    trade_rows = "\n".join(
        "<tr><td>%d</td><td>%s</td><td>%s</td><td class=%s>%s</td></tr>"
        % (
            i + 1,
            datetime.datetime.fromtimestamp(t, _UTC).strftime("%Y-%m-%d %H:%M"),
            _html.escape(sym),
            "win" if r > 0 else "loss",
            "{:,.2f}".format(r),
        )
        for i, (t, sym, r) in enumerate(trade_list)
    )
    return """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>%(title)s</title>
<style>
body { font-family: sans-serif; margin: 24px auto; max-width: 1040px; color: #222; }
h1 { font-size: 22px; margin-bottom: 2px; } p.sub { color: #666; margin-top: 0; }
.grid { display: flex; gap: 24px; align-items: flex-start; }
table { border-collapse: collapse; font-size: 14px; }
th, td { padding: 3px 10px; border-bottom: 1px solid #e4e4e4; text-align: left; }
td { text-align: right; font-variant-numeric: tabular-nums; }
td.win { color: #2e8b57; } td.loss { color: #c0392b; }
figure { margin: 0 0 12px 0; } img { max-width: 100%%; }
.trades { max-height: 420px; overflow-y: auto; }
</style></head>
<body>
<h1>%(title)s</h1>
<p class="sub">%(subtitle)s</p>
<div class="grid">
<table class="stats">%(rows)s</table>
<div class="trades"><table><tr><th>#</th><th>closed (UTC)</th><th>symbol</th><th>result</th></tr>
%(trade_rows)s</table></div>
</div>
%(images)s
<p class="sub">Definitions of the statistics: docs/report.md of zelkor5.</p>
</body></html>
""" % {
        "title": _html.escape(title),
        "subtitle": _html.escape(subtitle),
        "rows": rows,
        "images": images,
        "trade_rows": trade_rows,
    }


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
    (default: the smallest keeping it under ~20000 bars). Raises
    ReportError when the deals or prices cannot be read."""
    import pandas as pd

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
    bars: Dict[str, Any] = {}
    values: Dict[str, Tuple[float, float]] = {}
    for sym in symbols:
        got = history.rates_range(sym, tf, lo, hi)
        info = _core.symbol_info(sym)
        if got is None or info is None:
            raise ReportError(
                "prices of %s: %s (%d)" % (sym, _core.last_error()[1], _core.last_error()[0])
            )
        bars[sym] = got
        # Money per 1.0 of price per lot, from the terminal's own rule.
        base = float(got["close"][-1]) if len(got) else 1.0
        profit = _core.order_calc_profit(int(OrderType.BUY), sym, 1.0, base, base + 1.0)
        values[sym] = (
            float(profit) if profit is not None else float(info.trade_contract_size),
            float(info.point),
        )
    if not symbols:
        # No trades: the curve is the balance at the account's own deals.
        bars = {}
    curve = (
        equity_curve(deals, bars, values)
        if (bars or deals)
        else pd.DataFrame(
            {
                "time": [],
                "balance": [],
                "equity": [],
                "deposits": [],
                "drawdown": [],
                "drawdown_pct": [],
                "exposed": [],
            }
        )
    )
    stats = statistics(deals, curve)
    trade_list = trades(deals)
    frame = pd.DataFrame(
        [(datetime.datetime.fromtimestamp(t, _UTC), s, r) for t, s, r in trade_list],
        columns=["time", "symbol", "result"],
    )
    series = pd.Series(stats, name="value")
    written: List[str] = []
    page = None
    if html is not None or png_dir is not None:
        pngs = _figures(curve, trade_list) if len(curve) else {}
        if png_dir is not None:
            os.makedirs(png_dir, exist_ok=True)
            for name, data in pngs.items():
                target = os.path.join(png_dir, name + ".png")
                with open(target, "wb") as f:
                    f.write(data)
                written.append(target)
        if html is not None:
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
            with open(html, "w", encoding="utf-8") as f:
                f.write(_page(title or "Trading report", subtitle, stats, pngs, trade_list))
            page = html
    return Report(series, curve, frame, page, tuple(written))
