#include "account.h"

#include <algorithm>
#include <cmath>

namespace zk5::term {

namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Days since Thursday 1970-01-01: 0 Thursday ... 6 Wednesday.
int Weekday(std::int64_t day) { return static_cast<int>(((day % 7) + 7) % 7); }

}  // namespace

AccountState NewAccount(const AccountConfig& config, std::int64_t now_ms) {
  AccountState st;
  st.login = config.login;
  st.balance = RoundMoney(config.deposit);
  Deal d;
  d.ticket = st.next_ticket++;
  d.time_msc = now_ms;
  d.type = kDealTypeBalance;
  d.entry = kEntryIn;
  d.reason = kReasonClient;
  d.profit = st.balance;
  d.comment = u"Initial deposit";
  st.new_deals.push_back(d);
  return st;
}

double RoundMoney(double v) { return std::round(v * 100.0) / 100.0; }

bool Quotes::Price(int sym, double* bid, double* ask) const {
  if (sym < 0 || static_cast<std::size_t>(sym) >= Symbols().size()) return false;
  const auto i = static_cast<std::size_t>(sym);
  if (known_.empty()) {
    known_.assign(Symbols().size(), 0);
    bid_.assign(Symbols().size(), 0);
    ask_.assign(Symbols().size(), 0);
  }
  if (known_[i] == 0) {
    Tick t;
    known_[i] = model_.LastTick(sym, now_ms_, &t) ? 1 : -1;
    if (known_[i] == 1) {
      const double scale = Pow10(Symbols()[i].digits);
      bid_[i] = static_cast<double>(t.bid) / scale;
      ask_[i] = static_cast<double>(t.ask) / scale;
    }
  }
  *bid = bid_[i];
  *ask = ask_[i];
  return known_[i] == 1;
}

bool Quotes::Direct(const std::u16string& from, const std::u16string& to, double* rate) const {
  const auto& all = Symbols();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const SymbolSpec& s = all[i];
    if (s.base == s.profit) continue;
    double bid, ask;
    if (s.base == from && s.profit == to) {
      if (!Price(static_cast<int>(i), &bid, &ask)) return false;
      *rate = bid;
      return true;
    }
    if (s.base == to && s.profit == from) {
      if (!Price(static_cast<int>(i), &bid, &ask) || ask <= 0) return false;
      *rate = 1.0 / ask;
      return true;
    }
  }
  return false;
}

bool Quotes::Rate(const std::u16string& from, const std::u16string& to, double* rate) const {
  if (from == to) {
    *rate = 1.0;
    return true;
  }
  if (Direct(from, to, rate)) return true;
  double a, b;
  if (from != u"USD" && to != u"USD" && Direct(from, u"USD", &a) && Direct(u"USD", to, &b)) {
    *rate = a * b;
    return true;
  }
  return false;
}

bool MarginFor(const Quotes& q, const AccountConfig& acc, int sym, double volume, double price,
               double* margin) {
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  double amount = 0;
  switch (s.calc_mode) {
    case CalcMode::kForex: amount = volume * s.contract_size / acc.leverage; break;
    case CalcMode::kCfd: amount = volume * s.contract_size * price; break;
    case CalcMode::kCfdLeverage: amount = volume * s.contract_size * price / acc.leverage; break;
  }
  double rate;
  if (!q.Rate(s.margin, acc.currency, &rate)) return false;
  *margin = RoundMoney(amount * rate);
  return true;
}

bool ProfitFor(const Quotes& q, const AccountConfig& acc, int sym, std::uint32_t type,
               double volume, double open, double close, double* profit) {
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  const double sign = type == kOrderTypeBuy ? 1.0 : -1.0;
  double rate;
  if (!q.Rate(s.profit, acc.currency, &rate)) return false;
  *profit = RoundMoney(sign * (close - open) * s.contract_size * volume * rate);
  return true;
}

bool SwapFor(const Quotes& q, const AccountConfig& acc, int sym, std::uint32_t type, double volume,
             std::int64_t open_msc, double* swap) {
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  // No night before the history is charged (and a stored time far in the
  // past costs no loop).
  const std::int64_t open_day = std::max(FloorDiv(open_msc, 86400000), kHistoryStartSec / 86400 - 1);
  const std::int64_t now_day = FloorDiv(q.now_ms(), 86400000);
  std::int64_t nights = 0;
  // The night ending at the start of `day` is charged for the day before.
  for (std::int64_t day = open_day + 1; day <= now_day; ++day) {
    const int wd = Weekday(day - 1);
    if (s.always_open) {
      nights += 1;
    } else if (wd == 2 || wd == 3) {
      continue;  // Saturday, Sunday: closed
    } else {
      nights += wd == 6 ? 3 : 1;  // Wednesday carries the weekend
    }
  }
  if (nights == 0) {
    *swap = 0;
    return true;
  }
  const double points = type == kOrderTypeBuy ? s.swap_long : s.swap_short;
  double rate;
  if (!q.Rate(s.profit, acc.currency, &rate)) return false;
  *swap = RoundMoney(static_cast<double>(nights) * points * s.point() * s.contract_size * volume * rate);
  return true;
}

PositionValue ValuePosition(const Quotes& q, const AccountConfig& acc, const Position& p) {
  PositionValue v;
  const int sym = FindSymbol(p.symbol);
  double bid, ask;
  if (sym < 0 || !q.Price(sym, &bid, &ask)) return v;
  // A buy is closed by selling at the bid, a sell by buying at the ask.
  v.price_current = p.type == kOrderTypeBuy ? bid : ask;
  ProfitFor(q, acc, sym, p.type, p.volume, p.price_open, v.price_current, &v.profit);
  SwapFor(q, acc, sym, p.type, p.volume, p.time_msc, &v.swap);
  MarginFor(q, acc, sym, p.volume, p.price_open, &v.margin);
  return v;
}

AccountSummary Summarise(const Quotes& q, const AccountConfig& acc, const AccountState& st) {
  AccountSummary sum;
  double swaps = 0;
  for (const Position& p : st.positions) {
    const PositionValue v = ValuePosition(q, acc, p);
    sum.profit += v.profit;
    swaps += v.swap;
    sum.margin += v.margin;
  }
  sum.profit = RoundMoney(sum.profit);
  sum.margin = RoundMoney(sum.margin);
  sum.equity = RoundMoney(st.balance + st.credit + sum.profit + swaps);
  sum.margin_free = RoundMoney(sum.equity - sum.margin);
  sum.margin_level = sum.margin > 0 ? sum.equity / sum.margin * 100.0 : 0.0;
  return sum;
}

}  // namespace zk5::term
