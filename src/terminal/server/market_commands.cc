// Session and market-data commands: greeting, version, readiness, symbols,
// quotes, bars, ticks, depth of market and the terminal record.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "accounts/record_io.h"
#include "accounts/trade_records.h"
#include "ipc/commands.h"
#include "ipc/group_filter.h"
#include "ipc/records.h"
#include "market/ticks.h"
#include "server/dispatch.h"

namespace zk5::term {

namespace {

using ipc::CommandId;

constexpr std::uint32_t kVersionMajor = 500;
constexpr char16_t kReleaseDate[] = u"01 Dec 2026";
// Builds up to this one send the short symbol record and lack the symbol
// list commands.
constexpr std::uint32_t kLastOldBuild = 2363;
constexpr int kBookLevels = 5;
constexpr std::uint32_t kBookTypeSell = 1;
constexpr std::uint32_t kBookTypeBuy = 2;

bool OldBuild(const Terminal& t) { return t.settings().build <= kLastOldBuild; }

double ToPrice(std::int64_t points, const SymbolSpec& s) {
  return static_cast<double>(points) / Pow10(s.digits);
}

std::string SymbolRecord(Terminal& t, Session* s, int sym) {
  const SymbolSpec& sdef = Symbols()[static_cast<std::size_t>(sym)];
  const std::int64_t now = t.NowMs();
  Tick tick{};
  t.model().LastTick(sym, now, &tick);
  // Today's figures come from the day of the latest tick (the last trading
  // day while the market is closed), yesterday's close from the day before.
  Timeframe d1;
  ParseTimeframe(0x4018, &d1);
  const std::int64_t day_start = BarStart(d1, tick.time_msc / 1000);
  const Bar today = t.bars().Compute(sym, d1, day_start, now);
  const std::vector<Bar> before = t.bars().From(sym, d1, day_start - 1, 1, now, 1);
  const double prev_close = before.empty() ? 0.0 : ToPrice(before.back().close, sdef);
  const double bid = ToPrice(tick.bid, sdef);
  const double ask = ToPrice(tick.ask, sdef);
  const double spread = ask - bid;

  std::u16string currency = u"USD";
  t.ReadAccount(s, Shows{Shows::kNothing}, [&](const AccountConfig& acc, AccountState&, auto&&) {
    currency = acc.currency;
    return kSuccess;
  });
  double rate = 0;
  Quotes quotes(t.model(), now);
  quotes.Rate(sdef.profit, currency, &rate);
  const double tick_value = sdef.point() * sdef.contract_size * rate;

  std::string rec(records::kSymbolInfo.size, '\0');
  using W = FieldWriter<records::kSymbolInfo>;
  W w(reinterpret_cast<std::uint8_t*>(&rec[0]));
  w.Flag<W::Field("custom")>(sdef.custom)
      .UInt<W::Field("chart_mode")>(0)
      .Flag<W::Field("select")>(t.Selected(sym))
      .Flag<W::Field("visible")>(t.Selected(sym))
      .Int<W::Field("time")>(tick.time_msc / 1000)
      .UInt<W::Field("digits")>(sdef.digits)
      .Int<W::Field("spread")>(tick.ask - tick.bid)
      .Flag<W::Field("spread_float")>(true)
      .UInt<W::Field("ticks_bookdepth")>(2 * kBookLevels)
      .UInt<W::Field("trade_calc_mode")>(static_cast<std::uint32_t>(sdef.calc_mode))
      .UInt<W::Field("trade_mode")>(static_cast<std::uint32_t>(sdef.trade_mode))
      .UInt<W::Field("trade_exemode")>(static_cast<std::uint32_t>(sdef.execution))
      .UInt<W::Field("swap_mode")>(1)  // in points
      .UInt<W::Field("swap_rollover3days")>(3)
      .Int<W::Field("trade_stops_level")>(static_cast<std::int32_t>(sdef.stops_level()))
      .Int<W::Field("trade_freeze_level")>(0)
      .Int<W::Field("expiration_mode")>(15)  // good till cancelled, day, specified, specified day
      .Int<W::Field("filling_mode")>(static_cast<std::int32_t>(sdef.filling_mode))
      .Int<W::Field("order_mode")>(127)  // market, limit, stop, stop-limit, sl, tp, close-by
      .Real<W::Field("bid")>(bid)
      .Real<W::Field("bidhigh")>(today.tick_volume ? ToPrice(today.high, sdef) : bid)
      .Real<W::Field("bidlow")>(today.tick_volume ? ToPrice(today.low, sdef) : bid)
      .Real<W::Field("ask")>(ask)
      .Real<W::Field("askhigh")>((today.tick_volume ? ToPrice(today.high, sdef) : bid) + spread)
      .Real<W::Field("asklow")>((today.tick_volume ? ToPrice(today.low, sdef) : bid) + spread)
      .Real<W::Field("last")>(tick.last != 0 ? ToPrice(tick.last, sdef) : 0.0)
      .Real<W::Field("point")>(sdef.point())
      .Real<W::Field("trade_tick_value")>(tick_value)
      .Real<W::Field("trade_tick_value_profit")>(tick_value)
      .Real<W::Field("trade_tick_value_loss")>(tick_value)
      .Real<W::Field("trade_tick_size")>(sdef.point())
      .Real<W::Field("trade_contract_size")>(sdef.contract_size)
      .Real<W::Field("volume_min")>(sdef.volume_min)
      .Real<W::Field("volume_max")>(sdef.volume_max)
      .Real<W::Field("volume_step")>(sdef.volume_step)
      .Real<W::Field("swap_long")>(sdef.swap_long)
      .Real<W::Field("swap_short")>(sdef.swap_short)
      .Real<W::Field("session_open")>(today.tick_volume ? ToPrice(today.open, sdef) : 0.0)
      .Real<W::Field("session_close")>(prev_close)
      .Real<W::Field("margin_hedged")>(sdef.contract_size)
      .Real<W::Field("price_change")>(prev_close > 0 ? (bid - prev_close) / prev_close * 100.0
                                                     : 0.0)
      .Text<W::Field("category")>(sdef.category)
      .Text<W::Field("currency_base")>(sdef.base)
      .Text<W::Field("currency_profit")>(sdef.profit)
      .Text<W::Field("currency_margin")>(sdef.margin)
      .Text<W::Field("description")>(sdef.description)
      .Text<W::Field("path")>(sdef.path())
      .Text<W::Field("name")>(sdef.name);
  if (OldBuild(t)) rec.resize(records::kSymbolInfoShortSize);
  return rec;
}

std::string TickRecord(const Terminal& t, int sym) {
  Tick tick{};
  std::string rec(records::kTick.size, '\0');
  if (t.model().LastTick(sym, t.NowMs(), &tick)) {
    TickEncoder().Write(tick, Symbols()[static_cast<std::size_t>(sym)].digits,
                        reinterpret_cast<std::uint8_t*>(&rec[0]));
  }
  return rec;
}

Reply BarsReply(const std::vector<Bar>& bars, const SymbolSpec& sdef) {
  Reply r;
  r.U32(static_cast<std::uint32_t>(bars.size()));
  std::string rec(records::kRates.size, '\0');
  const BarEncoder encoder;
  for (const Bar& b : bars) {
    encoder.Write(b, sdef.digits, reinterpret_cast<std::uint8_t*>(&rec[0]));
    r.payload += rec;
  }
  return r;
}

// Dates in requests may be any 64-bit value: each is checked and clamped to
// the symbol's history (from its first minute, imported data included,
// less the longest bar, which may open before it) and to now before any
// arithmetic is done on it, so a request costs what its clamped range
// holds, whatever its values.
constexpr std::int64_t kLongestBarSec = 31 * 86400;
std::int64_t EarliestSec(const Terminal& t, int sym) {
  return t.model().FirstMinute(sym) * 60 - kLongestBarSec;
}

std::int64_t NowSec(std::int64_t now_ms) { return now_ms / 1000; }

// Symbol, timeframe, then RATES_FROM: from, count; RATES_RANGE: from, to;
// RATES_FROM_POS: start, count.
Reply Rates(Terminal& t, CommandId command, const Args& args) {
  const int sym = FindSymbol(args.Text(0));
  const std::int32_t code = args.I32(1);
  std::int64_t a = 0, b = 0;
  std::int32_t ia = 0, ib = 0;
  if (command == CommandId::RATES_FROM) {
    a = args.I64(2);
    ib = args.I32(3);
  } else if (command == CommandId::RATES_RANGE) {
    a = args.I64(2);
    b = args.I64(3);
  } else {
    ia = args.I32(2);
    ib = args.I32(3);
  }
  Timeframe tf;
  if (!ParseTimeframe(code, &tf)) return Reply::Fail(kInvalidParams);
  if (sym < 0) return Reply::Fail(kNotFound);
  const std::int64_t now = t.NowMs();
  const std::int64_t max = t.settings().max_bars;
  std::vector<Bar> bars;
  if (command == CommandId::RATES_FROM) {
    if (ib < 0) return Reply::Fail(kInvalidParams);
    // No bar opens before the earliest one: nothing to return.
    if (a >= EarliestSec(t, sym))
      bars = t.bars().From(sym, tf, std::min(a, NowSec(now)), ib, now, max);
  } else if (command == CommandId::RATES_RANGE) {
    // An inverted range, or one wholly before the history or after now.
    if (a > b) return Reply::Fail(kInvalidParams);
    a = std::max(a, EarliestSec(t, sym));
    b = std::min(b, NowSec(now));
    if (a > b) return Reply::Fail(kInvalidParams);
    bars = t.bars().Range(sym, tf, a, b, now, max);
  } else {
    if (ia < 0 || ib < 0) return Reply::Fail(kInvalidParams);
    bars = t.bars().FromPos(sym, tf, ia, ib, now, max);
  }
  return BarsReply(bars, Symbols()[static_cast<std::size_t>(sym)]);
}

// Symbol, from, then TICKS_FROM: count; TICKS_RANGE: to; then flags.
Reply Ticks(Terminal& t, CommandId command, const Args& args) {
  const int sym = FindSymbol(args.Text(0));
  TickQuery q;
  std::int64_t from = args.I64(1), to = 0;
  std::int32_t count = 0;
  const std::int64_t now = t.NowMs();
  if (command == CommandId::TICKS_FROM) {
    count = args.I32(2);
    to = now;
  } else {
    to = args.I64(2);
  }
  const std::int32_t flags = args.I32(3);
  if (count < 0) return Reply::Fail(kInvalidParams);
  // Dates clamped to [history start, now]; a range that is inverted, or
  // empty after that, is refused. Ticks from a future date are none.
  const bool range = command == CommandId::TICKS_RANGE;
  if (range && from > to) return Reply::Fail(kInvalidParams);
  from = std::max(from, (sym >= 0 ? t.model().FirstMinute(sym) : kHistoryStartMinute) * 60000);
  to = std::min(to, now);
  if (range && from > to) return Reply::Fail(kInvalidParams);
  q.info = (flags & kCopyTicksInfo) != 0;
  q.trade = (flags & kCopyTicksTrade) != 0;
  if (!q.info && !q.trade) return Reply::Fail(kInvalidParams);
  if (sym < 0) return Reply::Fail(kNotFound);
  q.sym = sym;
  q.from_ms = from;
  q.to_ms = to;
  q.max_count =
      command == CommandId::TICKS_FROM ? static_cast<std::uint64_t>(count) : kMaxTicksPerReply;
  const std::uint64_t n = CountTicks(t.model(), q);
  Reply r;
  r.U32(static_cast<std::uint32_t>(n));
  r.stream_size = n * records::kTick.size;
  const PriceModel* model = &t.model();
  r.stream = [model, q, n](const PayloadSink& sink) { return StreamTicks(*model, q, n, sink); };
  return r;
}

Reply Book(Terminal& t, int sym) {
  Reply r;
  const SymbolSpec& sdef = Symbols()[static_cast<std::size_t>(sym)];
  Tick tick{};
  if (!t.model().LastTick(sym, t.NowMs(), &tick)) return r.U32(0);
  r.U32(2 * kBookLevels);
  const std::int64_t step = std::max<std::int64_t>(1, sdef.spread / 2);
  std::string rec(records::kBookInfo.size, '\0');
  auto add = [&](std::uint32_t type, std::int64_t points, int level) {
    const std::uint64_t h = Mix64(t.model().seed() ^ static_cast<std::uint64_t>(tick.time_msc) ^
                                  (static_cast<std::uint64_t>(sym) << 48) ^
                                  (static_cast<std::uint64_t>(level) << 40) ^ type);
    const double volume = sdef.volume_min * static_cast<double>(10 + h % 990);
    using W = FieldWriter<records::kBookInfo>;
    W(reinterpret_cast<std::uint8_t*>(&rec[0]))
        .UInt<W::Field("type")>(type)
        .Real<W::Field("price")>(ToPrice(points, sdef))
        .UInt<W::Field("volume")>(static_cast<std::uint64_t>(std::llround(volume)))
        .Real<W::Field("volume_dbl")>(volume);
    r.payload += rec;
  };
  // Sell offers from the farthest down to the ask, then bids from the bid down.
  for (int i = kBookLevels - 1; i >= 0; --i) add(kBookTypeSell, tick.ask + i * step, i);
  for (int i = 0; i < kBookLevels; ++i) add(kBookTypeBuy, tick.bid - i * step, i);
  return r;
}

std::string TerminalRecord(Terminal& t) {
  const Installation& inst = t.installation();
  std::string rec(records::kTerminalInfo.size, '\0');
  using W = FieldWriter<records::kTerminalInfo>;
  W(reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt<W::Field("build")>(t.settings().build)
      .Flag<W::Field("connected")>(true)
      .Flag<W::Field("trade_allowed")>(t.settings().trade_allowed)
      .UInt<W::Field("maxbars")>(static_cast<std::uint64_t>(t.settings().max_bars))
      .Int<W::Field("codepage")>(0)
      .Text<W::Field("company")>(u"Brundel Software Ltd.")
      .Text<W::Field("name")>(u"Zelkor 5 x64")
      .Text<W::Field("language")>(u"English")
      .Text<W::Field("path")>(inst.install)
      .Text<W::Field("data_path")>(inst.data)
      .Text<W::Field("commondata_path")>(inst.common)
      .Flag<W::Field("tradeapi_disabled")>(!t.settings().trade_api);
  return rec;
}

// The first bar of `tf` closing after now: the clock moves to its close,
// and on to the first tick after it (the next bar's open, after a weekend
// or a gap too), so that the market stands at the first price after the
// bar. Minutes without ticks (a weekend, a gap in imported data) hold no
// bar and are passed over, for at most 40 days. A replay's end cuts the
// bar in progress there; at the end there is no bar.
Reply NextBar(Terminal& t, const Args& args) {
  const int sym = FindSymbol(args.Text(0));
  const std::int32_t code = args.I32(1);
  Timeframe tf;
  if (!ParseTimeframe(code, &tf)) return Reply::Fail(kInvalidParams);
  if (sym < 0) return Reply::Fail(kNotFound);
  if (t.clock().mode() != MarketClock::Mode::kHeld) return Reply::Fail(kUnsupported);
  const std::int64_t now = t.NowMs();
  const std::int64_t end = t.clock().end_ms();
  if (t.clock().ended()) return Reply::Fail(kCallFailed);
  // The bar that contains now closes after it (a bar opening exactly now
  // included); so does every later one.
  std::int64_t minute = FloorDiv(BarStart(tf, FloorDiv(now, 1000)), 60);
  std::int64_t last = FloorDiv(now, 60000) + 40 * 1440;
  if (end != 0) last = std::min(last, FloorDiv(end - 1, 60000));
  while (minute <= last && !t.model().HasTicks(sym, minute)) ++minute;
  if (minute > last) return Reply::Fail(kCallFailed);
  const std::int64_t open = BarStart(tf, std::max(minute * 60, BarStart(tf, FloorDiv(now, 1000))));
  const std::int64_t close_ms = NextBarStart(tf, open) * 1000;
  std::int64_t moved = t.clock().MoveTo(close_ms);
  if (moved == close_ms) {
    // The first tick at or after the close, within 40 days and the end.
    std::int64_t until = FloorDiv(close_ms, 60000) + 40 * 1440;
    if (end != 0) until = std::min(until, FloorDiv(end, 60000));
    std::vector<Tick> ticks;
    for (std::int64_t m = FloorDiv(close_ms, 60000); m <= until; ++m) {
      if (!t.model().HasTicks(sym, m)) continue;
      t.model().MinuteTicks(sym, m, &ticks);
      const auto first = std::find_if(ticks.begin(), ticks.end(),
                                      [&](const Tick& k) { return k.time_msc >= close_ms; });
      if (first == ticks.end()) continue;
      if (end == 0 || first->time_msc <= end) moved = t.clock().MoveTo(first->time_msc);
      break;
    }
  }
  Reply r;
  r.Raw(&moved, 8).Raw(&open, 8);
  return r;
}

Reply ReplayState(Terminal& t) {
  const MarketClock& c = t.clock();
  Reply r;
  r.U32(static_cast<std::uint32_t>(c.mode()));
  const std::int64_t fields[] = {t.NowMs(), c.from_ms(), c.speed(), c.step_ms(), c.end_ms()};
  for (std::int64_t v : fields) r.Raw(&v, 8);
  return r;
}

}  // namespace

bool DispatchMarket(Terminal& t, Session* s, CommandId command, const Args& args, Reply* out) {
  switch (command) {
    case CommandId::VERSION:
      out->U32(kVersionMajor).U32(t.settings().build).String(kReleaseDate);
      return true;
    case CommandId::HELLO:
      s->greeted = true;
      out->U32(t.settings().build);
      return true;
    case CommandId::REPLAY_STATE:
      *out = ReplayState(t);
      return true;
    case CommandId::REPLAY_ADVANCE: {
      const std::int64_t ms = args.I64(0);
      if (ms < 0 || ms > 100LL * 366 * 86400000) {
        *out = Reply::Fail(kInvalidParams);
      } else if (t.clock().mode() != MarketClock::Mode::kHeld) {
        *out = Reply::Fail(kUnsupported);
      } else {
        const std::int64_t now = t.clock().Advance(ms);
        out->Raw(&now, 8);
      }
      return true;
    }
    case CommandId::REPLAY_NEXT_BAR:
      *out = NextBar(t, args);
      return true;
    case CommandId::TERMINAL_STATE:
      out->U32(t.State(s));
      return true;
    case CommandId::TICKS_FROM:
    case CommandId::TICKS_RANGE:
      *out = Ticks(t, command, args);
      return true;
    case CommandId::RATES_FROM:
    case CommandId::RATES_RANGE:
    case CommandId::RATES_FROM_POS:
      *out = Rates(t, command, args);
      return true;
    case CommandId::SYMBOL_INFO:
    case CommandId::SYMBOL_INFO_TICK: {
      const int sym = FindSymbol(args.Text(0));
      if (sym < 0) {
        *out = Reply::Fail(kNotFound);
      } else {
        out->payload =
            command == CommandId::SYMBOL_INFO ? SymbolRecord(t, s, sym) : TickRecord(t, sym);
      }
      return true;
    }
    case CommandId::SYMBOL_SELECT: {
      const int sym = FindSymbol(args.Text(0));
      if (sym < 0)
        *out = Reply::Fail(kNotFound);
      else if (!t.Select(sym, args.U8(1) != 0))
        *out = Reply::Fail(kCallFailed);
      return true;
    }
    case CommandId::SYMBOLS_TOTAL:
    case CommandId::SYMBOLS_ALL:
    case CommandId::SYMBOLS_BY_GROUP: {
      if (OldBuild(t)) {
        *out = Reply::Fail(kUnsupported);
        return true;
      }
      if (command == CommandId::SYMBOLS_TOTAL) {
        out->U32(static_cast<std::uint32_t>(Symbols().size()));
        return true;
      }
      const bool by_group = command == CommandId::SYMBOLS_BY_GROUP;
      std::vector<int> chosen;
      for (std::size_t i = 0; i < Symbols().size(); ++i) {
        if (!by_group || ipc::MatchGroup(args.Text(0).c_str(), Symbols()[i].name.c_str())) {
          chosen.push_back(static_cast<int>(i));
        }
      }
      out->U32(static_cast<std::uint32_t>(chosen.size()));
      for (int sym : chosen) out->payload += SymbolRecord(t, s, sym);
      return true;
    }
    case CommandId::TERMINAL_INFO:
      out->payload = TerminalRecord(t);
      return true;
    case CommandId::BOOK_ADD:
    case CommandId::BOOK_RELEASE:
    case CommandId::BOOK_GET: {
      const int sym = FindSymbol(args.Text(0));
      if (sym < 0) {
        *out = Reply::Fail(kNotFound);
      } else if (command == CommandId::BOOK_ADD) {
        s->books.insert(sym);
      } else if (command == CommandId::BOOK_RELEASE) {
        s->books.erase(sym);
      } else if (s->books.count(sym) == 0) {
        out->U32(0);  // no depth of market opened for it
      } else {
        *out = Book(t, sym);
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace zk5::term
