#include "accounts/account.h"

#include <algorithm>
#include <cmath>

namespace zk5::term {

namespace {

// Days since Thursday 1970-01-01: 0 Thursday ... 6 Wednesday.
int Weekday(std::int64_t day) { return static_cast<int>(((day % 7) + 7) % 7); }

}  // namespace

AccountState NewAccount(const AccountConfig& config, std::int64_t now_ms) {
  AccountState st;
  st.login = config.login;
  st.evaluated_msc = now_ms;
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

void Quotes::Set(int sym, const Tick& t) {
  const auto i = static_cast<std::size_t>(sym);
  double bid, ask;
  Price(sym, &bid, &ask);  // sizes the tables
  const double scale = Pow10(Symbols()[i].digits);
  known_[i] = 1;
  bid_[i] = static_cast<double>(t.bid) / scale;
  ask_[i] = static_cast<double>(t.ask) / scale;
}

namespace {

// The pair that converts `from` into `to` directly: its index, and whether
// it is quoted the other way round; -1 when there is none.
int DirectPair(const std::u16string& from, const std::u16string& to, bool* inverse) {
  const auto& all = Symbols();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const SymbolSpec& s = all[i];
    if (s.base == s.profit) continue;
    if ((s.base == from && s.profit == to) || (s.base == to && s.profit == from)) {
      *inverse = s.base == to;
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

bool Quotes::Direct(const std::u16string& from, const std::u16string& to, double* rate) const {
  bool inverse = false;
  const int sym = DirectPair(from, to, &inverse);
  double bid, ask;
  if (sym < 0 || !Price(sym, &bid, &ask)) return false;
  if (!inverse) {
    *rate = bid;
    return true;
  }
  if (ask <= 0) return false;
  *rate = 1.0 / ask;
  return true;
}

std::vector<int> Quotes::RateSymbols(const std::u16string& from, const std::u16string& to) {
  std::vector<int> out;
  if (from == to) return out;
  bool inverse;
  const int direct = DirectPair(from, to, &inverse);
  if (direct >= 0) return {direct};
  if (from == u"USD" || to == u"USD") return out;
  for (const int sym : {DirectPair(from, u"USD", &inverse), DirectPair(u"USD", to, &inverse)}) {
    if (sym >= 0) out.push_back(sym);
  }
  return out;
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
    case CalcMode::kForex:
      amount = volume * s.contract_size / acc.leverage;
      break;
    case CalcMode::kCfd:
      amount = volume * s.contract_size * price;
      break;
    case CalcMode::kCfdLeverage:
      amount = volume * s.contract_size * price / acc.leverage;
      break;
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

int RolloverNights(const SymbolSpec& s, std::int64_t day) {
  // The night ending at the start of `day` is charged for the day before.
  const int wd = Weekday(day - 1);
  if (s.always_open) return 1;
  if (wd == 2 || wd == 3) return 0;  // Saturday, Sunday: closed
  return wd == 6 ? 3 : 1;            // Wednesday carries the weekend
}

bool SwapFor(const Quotes& q, const AccountConfig& acc, int sym, std::uint32_t type, double volume,
             std::int64_t day, double* swap) {
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  const int nights = RolloverNights(s, day);
  if (nights == 0) {
    *swap = 0;
    return true;
  }
  const double points = type == kOrderTypeBuy ? s.swap_long : s.swap_short;
  double rate;
  if (!q.Rate(s.profit, acc.currency, &rate)) return false;
  *swap = RoundMoney(static_cast<double>(nights) * points * s.point() * s.contract_size * volume *
                     rate);
  return true;
}

double CommissionPerLot(const SymbolSpec& s) {
  if (s.custom) return 0.0;  // the user's own market: no broker to pay
  if (s.category == u"Forex") return 3.5;
  if (s.category == u"Metals") return 5.0;
  if (s.category == u"Indices") return 1.0;
  return 2.0;  // crypto
}

bool CommissionFor(const Quotes& q, const AccountConfig& acc, int sym, double volume,
                   double* commission) {
  double rate;
  if (!q.Rate(u"USD", acc.currency, &rate)) return false;
  *commission =
      -RoundMoney(CommissionPerLot(Symbols()[static_cast<std::size_t>(sym)]) * volume * rate);
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
  v.swap = p.swap;
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
