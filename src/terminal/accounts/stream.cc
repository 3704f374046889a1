#include "accounts/stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "accounts/trade.h"

namespace zk5::term {

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinuteMs = 60000;
constexpr std::int64_t kDayMinutes = 1440;

std::int64_t Points(const SymbolSpec& s, double price) {
  return RoundToInt(price * Pow10(s.digits));
}

// "[sl 1.08512]": the comment of a deal a trigger made.
std::u16string Tag(const char* what, double price, std::uint32_t digits) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "[%s %.*f]", what, static_cast<int>(digits), price);
  return std::u16string(buf, buf + (n > 0 ? std::min<int>(n, 63) : 0));
}

// Levels of one symbol's working orders and stops: a tick whose ask rises
// to ask_up or falls to ask_down (or whose bid does the same) concerns at
// least one of them; any other tick passes at the cost of four comparisons.
struct Watch {
  std::int64_t ask_up = kNever, ask_down = -kNever, bid_up = kNever, bid_down = -kNever;
  void Up(std::int64_t* level, std::int64_t v) { *level = std::min(*level, v); }
  void Down(std::int64_t* level, std::int64_t v) { *level = std::max(*level, v); }
  bool Hit(const Tick& t) const {
    return t.ask >= ask_up || t.ask <= ask_down || t.bid >= bid_up || t.bid <= bid_down;
  }
};

// The account's positions in one symbol summed up, so that the margin
// level can be followed tick by tick without visiting every position.
struct Exposure {
  int sym = 0;
  double buy_volume = 0, buy_cost = 0;  // sums of lots, and of lots x open price
  double sell_volume = 0, sell_cost = 0;
  double margin_units = 0;  // margin before conversion
  double profit_rate = 0, margin_rate = 0;
};

class Walker {
 public:
  Walker(const PriceModel& model, const AccountConfig& acc, AccountState* st)
      : model_(model),
        acc_(acc),
        st_(st),
        q_(model, st->evaluated_msc),
        watch_(Symbols().size()),
        rate_users_(Symbols().size()),
        before_(Symbols().size()),
        has_before_(Symbols().size(), false) {}

  StreamOutcome Run(std::int64_t to) {
    const std::int64_t from = st_->evaluated_msc;
    walk_from_ = from;
    ChooseSymbols();
    for (const int sym : syms_) Rewatch(sym);
    next_expiry_ = -kNever;  // the first look finds the earliest
    Reexpose();
    std::vector<std::vector<Tick>> ticks(syms_.size());
    struct Event {
      std::int64_t time;
      int slot;
      int index;
    };
    std::vector<Event> events;
    for (std::int64_t m = FloorDiv(from, kMinuteMs); m <= FloorDiv(to, kMinuteMs); ++m) {
      const std::int64_t start = m * kMinuteMs;
      if (m % kDayMinutes == 0 && start > from && start <= to) {
        Expire(start);
        Rollover(start);
      }
      events.clear();
      for (std::size_t k = 0; k < syms_.size(); ++k) {
        const std::vector<Tick>& t = ticks[k];
        const int n = model_.MinuteTicks(syms_[k], m, &ticks[k]);
        for (int j = 0; j < n; ++j) {
          if (t[j].time_msc > from && t[j].time_msc <= to)
            events.push_back({t[j].time_msc, static_cast<int>(k), j});
        }
      }
      std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.time != b.time ? a.time < b.time : a.slot < b.slot;
      });
      for (const Event& e : events) {
        Visit(syms_[static_cast<std::size_t>(e.slot)],
              ticks[static_cast<std::size_t>(e.slot)][static_cast<std::size_t>(e.index)]);
      }
      out_.ticks += events.size();
    }
    Expire(to);
    st_->evaluated_msc = to;
    return out_;
  }

 private:
  // The symbols of the positions and orders, and those their money is
  // converted through.
  void ChooseSymbols() {
    std::vector<bool> used(Symbols().size(), false);
    auto add = [&](const std::u16string& name) {
      const int sym = FindSymbol(name);
      if (sym < 0) return;
      used[static_cast<std::size_t>(sym)] = true;
      const SymbolSpec& s = SymbolAt(sym);
      for (const auto* from : {&s.profit, &s.margin}) {
        for (const int r : Quotes::RateSymbols(*from, acc_.currency))
          used[static_cast<std::size_t>(r)] = true;
      }
    };
    for (const Position& p : st_->positions) add(p.symbol);
    for (const Order& o : st_->working) add(o.symbol);
    for (const int r : Quotes::RateSymbols(u"USD", acc_.currency))
      used[static_cast<std::size_t>(r)] = true;
    for (std::size_t i = 0; i < used.size(); ++i) {
      if (used[i]) syms_.push_back(static_cast<int>(i));
    }
  }

  void Rewatch(int sym) {
    const SymbolSpec& s = SymbolAt(sym);
    Watch w;
    for (const Position& p : st_->positions) {
      if (p.symbol != s.name) continue;
      const bool buy = p.type == kOrderTypeBuy;
      if (p.sl != 0) {
        if (buy)
          w.Down(&w.bid_down, Points(s, p.sl));
        else
          w.Up(&w.ask_up, Points(s, p.sl));
      }
      if (p.tp != 0) {
        if (buy)
          w.Up(&w.bid_up, Points(s, p.tp));
        else
          w.Down(&w.ask_down, Points(s, p.tp));
      }
    }
    for (const Order& o : st_->working) {
      if (o.symbol != s.name) continue;
      const std::int64_t price = Points(s, o.price_open);
      switch (o.type) {
        case kOrderTypeBuyLimit:
          w.Down(&w.ask_down, price);
          break;
        case kOrderTypeBuyStop:
        case kOrderTypeBuyStopLimit:
          w.Up(&w.ask_up, price);
          break;
        case kOrderTypeSellLimit:
          w.Up(&w.bid_up, price);
          break;
        case kOrderTypeSellStop:
        case kOrderTypeSellStopLimit:
          w.Down(&w.bid_down, price);
          break;
        default:
          break;
      }
    }
    watch_[static_cast<std::size_t>(sym)] = w;
  }

  void Reexpose() {
    exposures_.clear();
    for (auto& users : rate_users_) users.clear();
    swaps_ = 0;
    for (const Position& p : st_->positions) {
      swaps_ += p.swap;
      const int sym = FindSymbol(p.symbol);
      if (sym < 0) continue;
      auto it = std::find_if(exposures_.begin(), exposures_.end(),
                             [&](const Exposure& e) { return e.sym == sym; });
      if (it == exposures_.end()) {
        exposures_.push_back(Exposure{});
        it = exposures_.end() - 1;
        it->sym = sym;
      }
      const SymbolSpec& s = SymbolAt(sym);
      if (p.type == kOrderTypeBuy) {
        it->buy_volume += p.volume;
        it->buy_cost += p.volume * p.price_open;
      } else {
        it->sell_volume += p.volume;
        it->sell_cost += p.volume * p.price_open;
      }
      double units = p.volume * s.contract_size;
      if (s.calc_mode != CalcMode::kForex) units *= p.price_open;
      if (s.calc_mode != CalcMode::kCfd) units /= acc_.leverage;
      it->margin_units += units;
    }
    for (std::size_t i = 0; i < exposures_.size(); ++i) {
      const SymbolSpec& s = SymbolAt(exposures_[i].sym);
      for (const auto* from : {&s.profit, &s.margin}) {
        for (const int r : Quotes::RateSymbols(*from, acc_.currency))
          rate_users_[static_cast<std::size_t>(r)].push_back(i);
      }
      Rerate(&exposures_[i]);
    }
  }

  void Rerate(Exposure* e) {
    const SymbolSpec& s = SymbolAt(e->sym);
    if (!q_.Rate(s.profit, acc_.currency, &e->profit_rate)) e->profit_rate = 0;
    if (!q_.Rate(s.margin, acc_.currency, &e->margin_rate)) e->margin_rate = 0;
  }

  // A tick of the walk; one made from a bar is reached along the path from
  // the bar's tick before, which passes every level between the two.
  void Visit(int sym, const Tick& t) {
    const auto i = static_cast<std::size_t>(sym);
    if (t.on_path) {
      if (!has_before_[i]) has_before_[i] = model_.LastTick(sym, t.time_msc - 1, &before_[i]);
      if (has_before_[i]) AlongPath(sym, before_[i], t);
    }
    Expire(t.time_msc);
    OnTick(sym, t);
    before_[i] = t;
    has_before_[i] = true;
  }

  // The way from `from` to `to` is a straight line in price and time: each
  // watched level strictly between them is reached on it, nearest first,
  // at its own price and at the moment the line gets there (never before
  // the walk's start, when the order or position may not have existed).
  // Whatever it reaches happens there, as at a tick of that price.
  void AlongPath(int sym, const Tick& from, const Tick& to) {
    const std::int64_t dbid = to.bid - from.bid, dask = to.ask - from.ask;
    if (dbid == 0 && dask == 0) return;
    Tick at = from;
    double done = 0;  // how far along the line `at` is, 0..1
    for (;;) {
      const Watch& w = watch_[static_cast<std::size_t>(sym)];
      // The nearest level beyond `at` before `to` on each side.
      double f = 2;
      bool on_bid = false;
      std::int64_t level = 0;
      auto consider = [&](std::int64_t lv, std::int64_t start, std::int64_t cur, std::int64_t d,
                          bool bid) {
        if (d > 0 ? !(lv > cur && lv < start + d) : !(lv < cur && lv > start + d)) return;
        const double g = static_cast<double>(lv - start) / static_cast<double>(d);
        if (g < f) {
          f = g;
          on_bid = bid;
          level = lv;
        }
      };
      if (dbid > 0) consider(w.bid_up, from.bid, at.bid, dbid, true);
      if (dbid < 0) consider(w.bid_down, from.bid, at.bid, dbid, true);
      if (dask > 0) consider(w.ask_up, from.ask, at.ask, dask, false);
      if (dask < 0) consider(w.ask_down, from.ask, at.ask, dask, false);
      if (f > 1) return;
      f = std::max(f, done);
      done = f;
      Tick v{};
      v.bid = on_bid ? level : from.bid + RoundToInt(f * static_cast<double>(dbid));
      v.ask = on_bid ? from.ask + RoundToInt(f * static_cast<double>(dask)) : level;
      v.flags = kTickFlagBid | kTickFlagAsk;
      const double span = static_cast<double>(to.time_msc - from.time_msc);
      v.time_msc = from.time_msc + static_cast<std::int64_t>(std::ceil(f * span));
      v.time_msc = std::min(to.time_msc, std::max({v.time_msc, at.time_msc, walk_from_ + 1}));
      Expire(v.time_msc);
      OnTick(sym, v);
      at = v;
    }
  }

  void OnTick(int sym, const Tick& t) {
    q_.MoveTo(t.time_msc);
    q_.Set(sym, t);
    for (const std::size_t i : rate_users_[static_cast<std::size_t>(sym)]) Rerate(&exposures_[i]);
    if (watch_[static_cast<std::size_t>(sym)].Hit(t)) Trigger(sym, t);
    if (!exposures_.empty()) StopOut(t.time_msc);
  }

  // Everything the tick reaches, positions' stops first, then orders in
  // the order they were placed, until nothing more is reached (an order
  // filled through a gap may open a position whose stop the same tick
  // already passed).
  void Trigger(int sym, const Tick& t) {
    const SymbolSpec& s = SymbolAt(sym);
    bool positions_changed = false;
    for (bool again = true; again;) {
      again = false;
      for (std::size_t i = 0; i < st_->positions.size() && !again; ++i) {
        const Position& p = st_->positions[i];
        if (p.symbol != s.name) continue;
        const bool buy = p.type == kOrderTypeBuy;
        const std::int64_t price = buy ? t.bid : t.ask;
        const std::int64_t sl = p.sl != 0 ? Points(s, p.sl) : 0;
        const std::int64_t tp = p.tp != 0 ? Points(s, p.tp) : 0;
        std::uint32_t reason = 0;
        if (sl != 0 && (buy ? price <= sl : price >= sl))
          reason = kReasonSl;
        else if (tp != 0 && (buy ? price >= tp : price <= tp))
          reason = kReasonTp;
        if (reason == 0) continue;
        Close(i, reason, t.time_msc,
              reason == kReasonSl ? Tag("sl", p.sl, s.digits) : Tag("tp", p.tp, s.digits));
        again = positions_changed = true;
      }
      for (std::size_t i = 0; i < st_->working.size() && !again; ++i) {
        Order& o = st_->working[i];
        if (o.symbol != s.name) continue;
        const std::int64_t price = Points(s, o.price_open);
        bool reached = false;
        switch (o.type) {
          case kOrderTypeBuyLimit:
            reached = t.ask <= price;
            break;
          case kOrderTypeBuyStop:
          case kOrderTypeBuyStopLimit:
            reached = t.ask >= price;
            break;
          case kOrderTypeSellLimit:
            reached = t.bid >= price;
            break;
          case kOrderTypeSellStop:
          case kOrderTypeSellStopLimit:
            reached = t.bid <= price;
            break;
          default:
            break;
        }
        if (!reached) continue;
        out_.changed = again = true;
        if (o.type == kOrderTypeBuyStopLimit || o.type == kOrderTypeSellStopLimit) {
          // The stop price is reached: the order becomes its limit order.
          o.type = o.type == kOrderTypeBuyStopLimit ? kOrderTypeBuyLimit : kOrderTypeSellLimit;
          o.price_open = o.price_stoplimit;
          st_->new_orders.push_back(o);
        } else {
          Fill(i, t);
          positions_changed = true;
        }
      }
    }
    Rewatch(sym);
    if (positions_changed) Reexpose();
  }

  void Fill(std::size_t i, const Tick& t) {
    Order o = st_->working[i];
    const int sym = FindSymbol(o.symbol);
    const SymbolSpec& s = SymbolAt(sym);
    term::Fill f;
    f.sym = sym;
    f.type = IsBuyType(o.type) ? kOrderTypeBuy : kOrderTypeSell;
    f.volume = o.volume_current;
    f.price = static_cast<double>(f.type == kOrderTypeBuy ? t.ask : t.bid) / Pow10(s.digits);
    f.time_msc = t.time_msc;
    f.reason = o.reason;
    f.magic = o.magic;
    f.comment = o.comment;
    f.sl = o.sl;
    f.tp = o.tp;
    const AccountSummary now = Summarise(q_, acc_, *st_);
    double margin_after = 0;
    const bool room = acc_.netting || st_->positions.size() < kMaxPositions;
    if (!room || !MarginAfter(q_, acc_, *st_, f, now.margin, &margin_after) ||
        !Affordable(acc_, now, margin_after)) {
      RetireOrder(st_, i, kOrderStateCanceled, t.time_msc);
      return;
    }
    st_->working.erase(st_->working.begin() + static_cast<std::ptrdiff_t>(i));
    ApplyFill(q_, acc_, st_, o, f);
  }

  // Closes position i wholly at the current price.
  void Close(std::size_t i, std::uint32_t reason, std::int64_t time_msc, std::u16string comment) {
    const Position p = st_->positions[i];
    const int sym = FindSymbol(p.symbol);
    double bid = 0, ask = 0;
    q_.Price(sym, &bid, &ask);
    term::Fill f;
    f.sym = sym;
    f.type = p.type == kOrderTypeBuy ? kOrderTypeSell : kOrderTypeBuy;
    f.volume = p.volume;
    f.price = p.type == kOrderTypeBuy ? bid : ask;
    f.time_msc = time_msc;
    f.position = acc_.netting ? 0 : p.ticket;
    f.reason = reason;
    f.magic = p.magic;
    f.comment = std::move(comment);
    Order o;
    o.ticket = st_->next_ticket++;
    o.time_setup_msc = time_msc;
    o.type = f.type;
    o.type_filling = 1;  // immediate or cancel
    o.magic = p.magic;
    o.reason = reason;
    o.volume_initial = p.volume;
    o.price_open = f.price;
    o.position_id = p.ticket;
    o.comment = f.comment;
    ApplyFill(q_, acc_, st_, o, f);
    out_.changed = true;
  }

  void Expire(std::int64_t now) {
    if (now < next_expiry_) return;
    next_expiry_ = kNever;
    for (std::size_t i = 0; i < st_->working.size();) {
      const Order& o = st_->working[i];
      const std::int64_t at = o.time_expiration * 1000;
      if (o.time_expiration == 0 || at > now) {
        if (o.time_expiration != 0) next_expiry_ = std::min(next_expiry_, at);
        ++i;
        continue;
      }
      const int sym = FindSymbol(o.symbol);
      RetireOrder(st_, i, kOrderStateExpired, at);
      if (sym >= 0) Rewatch(sym);
      out_.changed = true;
    }
  }

  void Rollover(std::int64_t start) {
    if (st_->positions.empty()) return;
    q_.MoveTo(start);
    const std::int64_t day = FloorDiv(start, 86400000);
    for (Position& p : st_->positions) {
      const int sym = FindSymbol(p.symbol);
      double swap = 0;
      // A position opened after the rollover (known only for positions
      // that were open before the walk started) owes nothing for it.
      if (sym < 0 || p.time_msc >= start) continue;
      if (!SwapFor(q_, acc_, sym, p.type, p.volume, day, &swap) || swap == 0) continue;
      p.swap = RoundMoney(p.swap + swap);
      st_->changed_positions.push_back(p.ticket);
      out_.changed = true;
    }
    Reexpose();
    StopOut(start);
  }

  // The margin level followed from the exposures; near the stop-out level
  // it is computed exactly as the account reports it, and the position with
  // the largest loss is closed while it is at or below the level.
  void StopOut(std::int64_t time_msc) {
    if (acc_.stop_out <= 0 || exposures_.empty()) return;
    double equity = st_->balance + st_->credit + swaps_, margin = 0;
    for (const Exposure& e : exposures_) {
      double bid, ask;
      q_.Price(e.sym, &bid, &ask);
      const double contract = SymbolAt(e.sym).contract_size;
      equity += e.profit_rate * contract *
                (bid * e.buy_volume - e.buy_cost + e.sell_cost - ask * e.sell_volume);
      margin += e.margin_rate * e.margin_units;
    }
    if (margin <= 0 || equity / margin * 100.0 > acc_.stop_out * 1.01 + 0.5) return;
    bool closed = false;
    while (!st_->positions.empty()) {
      const AccountSummary sum = Summarise(q_, acc_, *st_);
      if (sum.margin <= 0 || sum.margin_level > acc_.stop_out) break;
      std::size_t worst = 0;
      double worst_profit = 0;
      for (std::size_t i = 0; i < st_->positions.size(); ++i) {
        const PositionValue v = ValuePosition(q_, acc_, st_->positions[i]);
        const double loss = v.profit + st_->positions[i].swap;
        if (i == 0 || loss < worst_profit) {
          worst = i;
          worst_profit = loss;
        }
      }
      char level[32];
      std::snprintf(level, sizeof level, "[so %.1f%%]", sum.margin_level);
      Close(worst, kReasonSo, time_msc,
            std::u16string(level, level + std::char_traits<char>::length(level)));
      closed = true;
    }
    if (closed) {
      for (const int sym : syms_) Rewatch(sym);
      Reexpose();
    }
  }

  const PriceModel& model_;
  const AccountConfig& acc_;
  AccountState* st_;
  Quotes q_;
  std::vector<int> syms_;
  std::vector<Watch> watch_;
  std::vector<Exposure> exposures_;
  std::vector<std::vector<std::size_t>> rate_users_;  // symbol -> exposures converted through it
  double swaps_ = 0;
  std::int64_t next_expiry_ = kNever;  // no working order expires before
  std::int64_t walk_from_ = 0;
  // The latest tick of each symbol so far: where the path to its next tick
  // starts.
  std::vector<Tick> before_;
  std::vector<bool> has_before_;
  StreamOutcome out_;
};

}  // namespace

StreamOutcome AdvanceAccount(const PriceModel& model, const AccountConfig& acc, AccountState* st,
                             std::int64_t to_msc) {
  if (to_msc <= st->evaluated_msc) return {};
  // An account from a store that did not keep this time: its positions are
  // followed from the oldest of them on.
  if (st->evaluated_msc <= 0) {
    st->evaluated_msc = to_msc;
    for (const Position& p : st->positions)
      st->evaluated_msc = std::min(st->evaluated_msc, p.time_msc);
  }
  if (st->positions.empty() && st->working.empty()) {
    st->evaluated_msc = to_msc;
    return {};
  }
  return Walker(model, acc, st).Run(to_msc);
}

}  // namespace zk5::term
