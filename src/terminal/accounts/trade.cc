#include "accounts/trade.h"

#include <algorithm>
#include <cmath>

namespace zk5::term {

namespace {

// What a valid request will do.
struct Plan {
  std::uint32_t retcode = kRetCheckOk;
  std::u16string comment = u"Done";
  int sym = -1;
  double volume = 0;
  double price = 0;
  double bid = 0;
  double ask = 0;
  std::int64_t bid_pts = 0;
  std::int64_t ask_pts = 0;
  double margin_after = 0;
  AccountSummary now;
  std::size_t position = 0;  // index into st.positions (close, stops, close-by)
  std::size_t by = 0;        // index of the opposite position of a close-by
  std::size_t order = 0;     // index into st.working (modify, remove)
  std::int64_t expiry_s = 0;
};

Plan Refuse(Plan p, std::uint32_t retcode, const char16_t* comment) {
  p.retcode = retcode;
  p.comment = comment;
  return p;
}

// The volume as a whole number of steps, or a negative value when it is
// not one.
double NormaliseVolume(const SymbolSpec& s, double volume) {
  if (!(volume > 0) || !std::isfinite(volume)) return -1;
  const double steps = std::round(volume / s.volume_step);
  if (std::fabs(steps * s.volume_step - volume) > s.volume_step * 1e-6) return -1;
  return std::round(steps * s.volume_step * 1e8) / 1e8;
}

double RoundVolume(double v) { return std::round(v * 1e8) / 1e8; }

// Stop-loss and take-profit of a buy (or sell) measured from `ref` in
// points: a buy's stop-loss at least the stops level below, its take-profit
// as far above; mirrored for a sell. Zero means none.
bool StopsFit(const SymbolSpec& s, bool buy, std::int64_t ref, double sl, double tp) {
  const std::int64_t level = s.stops_level();
  std::int64_t p = 0;
  if (sl != 0 && (!ToPoints(s, sl, &p) || (buy ? p > ref - level : p < ref + level))) return false;
  if (tp != 0 && (!ToPoints(s, tp, &p) || (buy ? p < ref + level : p > ref - level))) return false;
  return true;
}

// A pending order's price (and a stop-limit's limit price) on the right
// side of the market, at least the stops level away.
bool PriceFits(const SymbolSpec& s, std::uint32_t type, std::int64_t price, std::int64_t limit,
               std::int64_t bid, std::int64_t ask) {
  const std::int64_t level = s.stops_level();
  switch (type) {
    case kOrderTypeBuyLimit:
      return price <= ask - level;
    case kOrderTypeSellLimit:
      return price >= bid + level;
    case kOrderTypeBuyStop:
      return price >= ask + level;
    case kOrderTypeSellStop:
      return price <= bid - level;
    case kOrderTypeBuyStopLimit:
      return price >= ask + level && limit <= price - level;
    case kOrderTypeSellStopLimit:
      return price <= bid - level && limit >= price + level;
    default:
      return false;
  }
}

bool IsStopLimit(std::uint32_t type) {
  return type == kOrderTypeBuyStopLimit || type == kOrderTypeSellStopLimit;
}

bool IsLimit(std::uint32_t type) {
  return type == kOrderTypeBuyLimit || type == kOrderTypeSellLimit;
}

// Whether an order of `type` may ask for `filling` on the symbol: fill-or-
// kill and immediate-or-cancel when its filling_mode has their bit; return
// in exchange execution, and for limit and stop-limit orders, whose
// remainder rests at their price.
bool FillingAllowed(const SymbolSpec& s, std::uint32_t type, std::uint32_t filling) {
  switch (filling) {
    case kFillingFok:
      return (s.filling_mode & kSymbolFillingFok) != 0;
    case kFillingIoc:
      return (s.filling_mode & kSymbolFillingIoc) != 0;
    case kFillingReturn:
      return s.execution == Execution::kExchange || IsLimit(type) || IsStopLimit(type);
    default:
      return false;
  }
}

// Refuses a request that would add exposure in the direction of `buy`
// where the symbol's trade mode forbids it; reducing a position is always
// allowed.
Plan CheckTradeMode(Plan p, const SymbolSpec& s, bool buy) {
  switch (s.trade_mode) {
    case TradeMode::kDisabled:
      return Refuse(p, kRetTradeDisabled, u"Trade disabled");
    case TradeMode::kCloseOnly:
      return Refuse(p, kRetCloseOnly, u"Only position closing is allowed");
    case TradeMode::kLongOnly:
      return buy ? p : Refuse(p, kRetLongOnly, u"Only long positions are allowed");
    case TradeMode::kShortOnly:
      return buy ? Refuse(p, kRetShortOnly, u"Only short positions are allowed") : p;
    case TradeMode::kFull:
      break;
  }
  return p;
}

// Expiry in seconds of an order placed now: 0 never, -1 invalid or past.
std::int64_t ExpirySeconds(std::uint32_t type_time, std::int64_t expiration, std::int64_t now_ms) {
  const std::int64_t now_s = FloorDiv(now_ms, 1000);
  constexpr std::int64_t kLatest = 32503680000;  // year 3000
  switch (type_time) {
    case kOrderTimeGtc:
      return 0;
    case kOrderTimeDay:
      return (FloorDiv(now_s, 86400) + 1) * 86400;
    case kOrderTimeSpecified:
      return expiration > now_s && expiration < kLatest ? expiration : -1;
    case kOrderTimeSpecifiedDay: {
      if (expiration < 0 || expiration >= kLatest) return -1;
      const std::int64_t end = (FloorDiv(expiration, 86400) + 1) * 86400;
      return end > now_s ? end : -1;
    }
    default:
      return -1;
  }
}

int FindPosition(const AccountState& st, std::uint64_t ticket) {
  for (std::size_t i = 0; i < st.positions.size(); ++i) {
    if (st.positions[i].ticket == ticket) return static_cast<int>(i);
  }
  return -1;
}

int FindNetPosition(const AccountState& st, const std::u16string& symbol) {
  for (std::size_t i = 0; i < st.positions.size(); ++i) {
    if (st.positions[i].symbol == symbol) return static_cast<int>(i);
  }
  return -1;
}

// The symbol, an open market and its prices.
Plan Market(Plan p, const Quotes& q, const std::u16string& symbol) {
  p.sym = FindSymbol(symbol);
  if (p.sym < 0) return Refuse(p, kRetInvalid, u"Unknown symbol");
  const SymbolSpec& s = SymbolAt(p.sym);
  if (!q.model().IsOpen(p.sym, FloorDiv(q.now_ms(), 1000)))
    return Refuse(p, kRetMarketClosed, u"Market closed");
  if (!q.Price(p.sym, &p.bid, &p.ask)) return Refuse(p, kRetMarketClosed, u"No prices");
  ToPoints(s, p.bid, &p.bid_pts);
  ToPoints(s, p.ask, &p.ask_pts);
  return p;
}

Plan ValidateDeal(Plan p, const Quotes& q, const AccountConfig& acc, const AccountState& st,
                  const TradeRequest& req) {
  if (req.type != kOrderTypeBuy && req.type != kOrderTypeSell) {
    return Refuse(p, kRetInvalid, u"Invalid order type");
  }
  const Position* pos = nullptr;
  if (req.position != 0) {
    const int i = FindPosition(st, req.position);
    if (i < 0) return Refuse(p, kRetPositionClosed, u"Position not found");
    pos = &st.positions[static_cast<std::size_t>(i)];
    p.position = static_cast<std::size_t>(i);
    if (!req.symbol.empty() && req.symbol != pos->symbol) {
      return Refuse(p, kRetInvalid, u"Symbol differs from the position's");
    }
    if (!acc.netting && req.type == pos->type) {
      return Refuse(p, kRetInvalid, u"A closing deal must be opposite to the position");
    }
  }
  p = Market(p, q, pos != nullptr ? pos->symbol : req.symbol);
  if (p.retcode != kRetCheckOk) return p;
  const SymbolSpec& s = SymbolAt(p.sym);
  if (!FillingAllowed(s, req.type, req.type_filling)) {
    return Refuse(p, kRetInvalidFill, u"Unsupported filling mode");
  }
  p.volume = NormaliseVolume(s, req.volume);
  if (p.volume < 0 || p.volume < s.volume_min - 1e-9 || p.volume > s.volume_max + 1e-9) {
    return Refuse(p, kRetInvalidVolume, u"Invalid volume");
  }
  if (!acc.netting && pos != nullptr && p.volume > pos->volume + 1e-9) {
    return Refuse(p, kRetInvalidCloseVolume, u"Volume exceeds the position's");
  }
  const bool buy = req.type == kOrderTypeBuy;
  // Only a deal that reduces a position leaves the exposure it adds at none:
  // closing part or all of a hedging position, or an opposite netting deal
  // no larger than the position.
  bool reduces = !acc.netting && pos != nullptr;
  if (acc.netting) {
    const int net = FindNetPosition(st, s.name);
    if (net >= 0) {
      const Position& np = st.positions[static_cast<std::size_t>(net)];
      reduces = np.type != req.type && p.volume <= np.volume + 1e-9;
    }
  }
  if (!reduces) {
    p = CheckTradeMode(p, s, buy);
    if (p.retcode != kRetCheckOk) return p;
  }
  p.price = buy ? p.ask : p.bid;
  if ((acc.netting || pos == nullptr) &&
      !StopsFit(s, buy, buy ? p.bid_pts : p.ask_pts, req.sl, req.tp)) {
    return Refuse(p, kRetInvalidStops, u"Invalid stops");
  }
  Fill f;
  f.sym = p.sym;
  f.type = req.type;
  f.volume = p.volume;
  f.price = p.price;
  f.position = acc.netting ? 0 : req.position;
  if (!MarginAfter(q, acc, st, f, p.now.margin, &p.margin_after)) {
    return Refuse(p, kRetInvalid, u"No conversion rate to the account currency");
  }
  const bool opens = acc.netting ? FindNetPosition(st, s.name) < 0 : pos == nullptr;
  if (opens && !acc.netting && st.positions.size() >= kMaxPositions) {
    return Refuse(p, kRetLimitPositions, u"Too many positions");
  }
  if (!Affordable(acc, p.now, p.margin_after)) return Refuse(p, kRetNoMoney, u"No money");
  return p;
}

// A pending order's request; `placing` for a new order, whose filling
// policy and direction the symbol must allow (a modified order keeps what
// it was placed with).
Plan ValidatePending(Plan p, const Quotes& q, const TradeRequest& req, bool placing) {
  if (req.type < kOrderTypeBuyLimit || req.type > kOrderTypeSellStopLimit) {
    return Refuse(p, kRetInvalid, u"Invalid order type");
  }
  if (req.position != 0 || req.position_by != 0) {
    return Refuse(p, kRetInvalid, u"A pending order cannot name a position");
  }
  if (req.type_filling > kFillingReturn)
    return Refuse(p, kRetInvalidFill, u"Unsupported filling mode");
  p = Market(p, q, req.symbol);
  if (p.retcode != kRetCheckOk) return p;
  const SymbolSpec& s = SymbolAt(p.sym);
  if (placing) {
    if (!FillingAllowed(s, req.type, req.type_filling)) {
      return Refuse(p, kRetInvalidFill, u"Unsupported filling mode");
    }
    p = CheckTradeMode(p, s, IsBuyType(req.type));
    if (p.retcode != kRetCheckOk) return p;
  }
  p.volume = NormaliseVolume(s, req.volume);
  if (p.volume < 0 || p.volume < s.volume_min - 1e-9 || p.volume > s.volume_max + 1e-9) {
    return Refuse(p, kRetInvalidVolume, u"Invalid volume");
  }
  std::int64_t price = 0, limit = 0;
  if (!ToPoints(s, req.price, &price) ||
      (IsStopLimit(req.type) && !ToPoints(s, req.stoplimit, &limit)) ||
      !PriceFits(s, req.type, price, limit, p.bid_pts, p.ask_pts)) {
    return Refuse(p, kRetInvalidPrice, u"Invalid price");
  }
  p.price = req.price;
  // The stops belong to the position the order opens at its (limit) price.
  if (!StopsFit(s, IsBuyType(req.type), IsStopLimit(req.type) ? limit : price, req.sl, req.tp)) {
    return Refuse(p, kRetInvalidStops, u"Invalid stops");
  }
  p.expiry_s = ExpirySeconds(req.type_time, req.expiration, q.now_ms());
  if (p.expiry_s < 0) return Refuse(p, kRetInvalidExpiration, u"Invalid expiration");
  return p;
}

Plan FindWorking(Plan p, const AccountState& st, std::uint64_t ticket) {
  for (std::size_t i = 0; i < st.working.size(); ++i) {
    if (st.working[i].ticket == ticket) {
      p.order = i;
      return p;
    }
  }
  return Refuse(p, kRetInvalid, u"Order not found");
}

Plan ValidateModify(Plan p, const Quotes& q, const AccountState& st, const TradeRequest& req) {
  p = FindWorking(p, st, req.order);
  if (p.retcode != kRetCheckOk) return p;
  const Order& o = st.working[p.order];
  TradeRequest as_new = req;
  as_new.type = o.type;
  as_new.symbol = o.symbol;
  as_new.volume = o.volume_current;
  as_new.type_filling = o.type_filling;
  as_new.position = as_new.position_by = 0;
  if (!IsStopLimit(o.type)) as_new.stoplimit = 0;
  p = ValidatePending(p, q, as_new, false);
  if (p.retcode != kRetCheckOk) return p;
  if (req.price == o.price_open && as_new.stoplimit == o.price_stoplimit && req.sl == o.sl &&
      req.tp == o.tp && req.type_time == o.type_time && p.expiry_s == o.time_expiration) {
    return Refuse(p, kRetNoChanges, u"No changes");
  }
  return p;
}

Plan ValidateSltp(Plan p, const Quotes& q, const AccountConfig& acc, const AccountState& st,
                  const TradeRequest& req) {
  int i = -1;
  if (req.position != 0)
    i = FindPosition(st, req.position);
  else if (acc.netting)
    i = FindNetPosition(st, req.symbol);
  if (i < 0) return Refuse(p, kRetPositionClosed, u"Position not found");
  p.position = static_cast<std::size_t>(i);
  const Position& pos = st.positions[p.position];
  if (!req.symbol.empty() && req.symbol != pos.symbol) {
    return Refuse(p, kRetInvalid, u"Symbol differs from the position's");
  }
  p = Market(p, q, pos.symbol);
  if (p.retcode != kRetCheckOk) return p;
  const bool buy = pos.type == kOrderTypeBuy;
  if (!StopsFit(SymbolAt(p.sym), buy, buy ? p.bid_pts : p.ask_pts, req.sl, req.tp)) {
    return Refuse(p, kRetInvalidStops, u"Invalid stops");
  }
  if (req.sl == pos.sl && req.tp == pos.tp) return Refuse(p, kRetNoChanges, u"No changes");
  return p;
}

Plan ValidateCloseBy(Plan p, const Quotes& q, const AccountConfig& acc, const AccountState& st,
                     const TradeRequest& req) {
  if (acc.netting) return Refuse(p, kRetInvalid, u"Close-by needs a hedging account");
  const int a = FindPosition(st, req.position);
  const int b = FindPosition(st, req.position_by);
  if (a < 0 || b < 0) return Refuse(p, kRetPositionClosed, u"Position not found");
  const Position& pa = st.positions[static_cast<std::size_t>(a)];
  const Position& pb = st.positions[static_cast<std::size_t>(b)];
  if (pa.symbol != pb.symbol || pa.type == pb.type ||
      (!req.symbol.empty() && req.symbol != pa.symbol)) {
    return Refuse(p, kRetInvalid, u"Close-by needs opposite positions of one symbol");
  }
  p.position = static_cast<std::size_t>(a);
  p.by = static_cast<std::size_t>(b);
  p = Market(p, q, pa.symbol);
  if (p.retcode != kRetCheckOk) return p;
  p.volume = std::min(pa.volume, pb.volume);
  p.price = pb.price_open;
  double ma = 0, mb = 0;
  if (!MarginFor(q, acc, p.sym, p.volume, pa.price_open, &ma) ||
      !MarginFor(q, acc, p.sym, p.volume, pb.price_open, &mb)) {
    return Refuse(p, kRetInvalid, u"No conversion rate to the account currency");
  }
  p.margin_after = RoundMoney(p.now.margin - ma - mb);
  return p;
}

Plan Validate(const Quotes& q, const AccountConfig& acc, const AccountState& st,
              const TradeRequest& req) {
  Plan p;
  p.now = Summarise(q, acc, st);
  p.margin_after = p.now.margin;
  switch (req.action) {
    case kActionDeal:
      return ValidateDeal(p, q, acc, st, req);
    case kActionPending:
      if (st.working.size() >= kMaxWorkingOrders)
        return Refuse(p, kRetLimitOrders, u"Too many orders");
      return ValidatePending(p, q, req, true);
    case kActionSltp:
      return ValidateSltp(p, q, acc, st, req);
    case kActionModify:
      return ValidateModify(p, q, st, req);
    case kActionRemove:
      return FindWorking(p, st, req.order);
    case kActionCloseBy:
      return ValidateCloseBy(p, q, acc, st, req);
    default:
      return Refuse(p, kRetInvalid, u"Invalid request");
  }
}

Deal NewDeal(AccountState* st, const Order& order, const Fill& f) {
  Deal d;
  d.ticket = st->next_ticket++;
  d.order = order.ticket;
  d.time_msc = f.time_msc;
  d.type = f.type == kOrderTypeBuy ? kDealTypeBuy : kDealTypeSell;
  d.magic = f.magic;
  d.reason = f.reason;
  d.volume = f.volume;
  d.price = f.price;
  d.symbol = SymbolAt(f.sym).name;
  d.comment = f.comment;
  return d;
}

// Books the part `volume` of position `pos` closed at `price` into the deal:
// its profit and its share of the position's swap.
void Realise(const Quotes& q, const AccountConfig& acc, int sym, Position* pos, double volume,
             double price, Deal* d) {
  ProfitFor(q, acc, sym, pos->type, volume, pos->price_open, price, &d->profit);
  const double share =
      volume >= pos->volume - 1e-9 ? pos->swap : RoundMoney(pos->swap * volume / pos->volume);
  d->swap = share;
  pos->swap = RoundMoney(pos->swap - share);
  pos->volume = RoundVolume(pos->volume - volume);
}

}  // namespace

bool ToPoints(const SymbolSpec& s, double price, std::int64_t* points) {
  if (!std::isfinite(price) || price <= 0) return false;
  const double x = price * Pow10(s.digits);
  if (x > 1e15) return false;
  const std::int64_t n = RoundToInt(x);
  if (n < 1 || std::fabs(x - static_cast<double>(n)) > 1e-3) return false;
  *points = n;
  return true;
}

bool MarginAfter(const Quotes& q, const AccountConfig& acc, const AccountState& st, const Fill& f,
                 double margin_now, double* margin_after) {
  double add = 0, drop = 0;
  if (!acc.netting) {
    const int i = f.position != 0 ? FindPosition(st, f.position) : -1;
    if (i < 0) {
      if (!MarginFor(q, acc, f.sym, f.volume, f.price, &add)) return false;
    } else if (!MarginFor(q, acc, f.sym, f.volume,
                          st.positions[static_cast<std::size_t>(i)].price_open, &drop)) {
      return false;
    }
  } else {
    const int i = FindNetPosition(st, SymbolAt(f.sym).name);
    double volume = f.volume, open = f.price;
    if (i >= 0) {
      const Position& pos = st.positions[static_cast<std::size_t>(i)];
      if (!MarginFor(q, acc, f.sym, pos.volume, pos.price_open, &drop)) return false;
      if (pos.type == f.type) {
        volume = RoundVolume(pos.volume + f.volume);
        open = (pos.price_open * pos.volume + f.price * f.volume) / volume;
      } else if (f.volume <= pos.volume + 1e-9) {
        volume = RoundVolume(pos.volume - f.volume);
        open = pos.price_open;
      } else {
        volume = RoundVolume(f.volume - pos.volume);
      }
    }
    if (volume > 0 && !MarginFor(q, acc, f.sym, volume, open, &add)) return false;
  }
  *margin_after = RoundMoney(margin_now - drop + add);
  return true;
}

void RetireOrder(AccountState* st, std::size_t i, std::uint32_t state, std::int64_t time_msc) {
  Order o = st->working[i];
  o.state = state;
  o.time_done_msc = time_msc;
  st->working.erase(st->working.begin() + static_cast<std::ptrdiff_t>(i));
  st->new_orders.push_back(o);
}

bool Affordable(const AccountConfig& acc, const AccountSummary& now, double margin_after) {
  if (margin_after <= now.margin) return true;
  if (now.equity - margin_after < 0) return false;
  return now.equity / margin_after * 100.0 > acc.margin_call;
}

std::uint64_t ApplyFill(const Quotes& q, const AccountConfig& acc, AccountState* st, Order order,
                        const Fill& f) {
  const SymbolSpec& s = SymbolAt(f.sym);
  order.state = kOrderStateFilled;
  order.time_done_msc = f.time_msc;
  order.price_current = f.price;
  order.volume_current = 0;
  order.symbol = s.name;
  Deal deal = NewDeal(st, order, f);
  CommissionFor(q, acc, f.sym, f.volume, &deal.commission);

  int i = -1;
  if (acc.netting)
    i = FindNetPosition(*st, s.name);
  else if (f.position != 0)
    i = FindPosition(*st, f.position);
  if (i < 0) {
    Position pos;
    pos.ticket = order.ticket;
    pos.time_msc = pos.time_update_msc = f.time_msc;
    pos.type = f.type;
    pos.magic = f.magic;
    pos.reason = order.reason;
    pos.volume = f.volume;
    pos.price_open = f.price;
    pos.sl = f.sl;
    pos.tp = f.tp;
    pos.symbol = s.name;
    pos.comment = f.comment;
    st->positions.push_back(pos);
    st->changed_positions.push_back(pos.ticket);
    deal.entry = kEntryIn;
  } else {
    Position& pos = st->positions[static_cast<std::size_t>(i)];
    pos.time_update_msc = f.time_msc;
    if (acc.netting && pos.type == f.type) {
      const double volume = RoundVolume(pos.volume + f.volume);
      pos.price_open = (pos.price_open * pos.volume + f.price * f.volume) / volume;
      pos.volume = volume;
      deal.entry = kEntryIn;
    } else {
      const double closed = std::min(f.volume, pos.volume);
      Realise(q, acc, f.sym, &pos, closed, f.price, &deal);
      const double rest = RoundVolume(f.volume - closed);
      deal.entry = rest > 0 ? kEntryInOut : kEntryOut;
      if (rest > 0) {
        pos.type = f.type;
        pos.volume = rest;
        pos.price_open = f.price;
        pos.sl = pos.tp = 0;
      }
    }
    if (acc.netting && (f.sl != 0 || f.tp != 0)) {
      pos.sl = f.sl;
      pos.tp = f.tp;
    }
    order.position_id = pos.ticket;
    st->changed_positions.push_back(pos.ticket);
    if (pos.volume <= 0) st->positions.erase(st->positions.begin() + i);
  }
  if (order.position_id == 0) order.position_id = order.ticket;
  deal.position_id = order.position_id;
  st->balance = RoundMoney(st->balance + deal.profit + deal.swap + deal.commission + deal.fee);
  st->new_orders.push_back(order);
  st->new_deals.push_back(deal);
  return deal.ticket;
}

CheckOutcome CheckTrade(const Quotes& q, const AccountConfig& acc, const AccountState& st,
                        const TradeRequest& req) {
  const Plan p = Validate(q, acc, st, req);
  CheckOutcome out;
  out.retcode = p.retcode;
  out.comment = p.comment;
  out.balance = st.balance;
  out.equity = p.now.equity;
  out.profit = p.now.profit;
  out.margin = p.margin_after;
  out.margin_free = RoundMoney(p.now.equity - p.margin_after);
  out.margin_level = p.margin_after > 0 ? p.now.equity / p.margin_after * 100.0 : 0.0;
  return out;
}

namespace {

Order NewOrder(AccountState* st, const TradeRequest& req, std::int64_t now) {
  Order o;
  o.ticket = st->next_ticket++;
  o.time_setup_msc = now;
  o.type = req.type;
  o.type_filling = req.type_filling;
  o.magic = req.magic;
  o.volume_initial = req.volume;
  o.sl = req.sl;
  o.tp = req.tp;
  o.comment = req.comment;
  return o;
}

std::uint64_t CloseBy(const Quotes& q, const AccountConfig& acc, AccountState* st, const Plan& p,
                      const TradeRequest& req) {
  const std::int64_t now = q.now_ms();
  Position& a = st->positions[p.position];
  Position& b = st->positions[p.by];
  Order o = NewOrder(st, req, now);
  o.type = kOrderTypeCloseBy;
  o.state = kOrderStateFilled;
  o.time_done_msc = now;
  o.volume_initial = p.volume;
  o.price_open = o.price_current = p.price;
  o.position_id = a.ticket;
  o.position_by_id = b.ticket;
  o.symbol = a.symbol;
  o.sl = o.tp = 0;
  // Both close at the price the opposite position opened at: the pair's
  // profit is that of the one, the other's is nil.
  std::uint64_t first = 0;
  for (Position* pos : {&a, &b}) {
    Fill f;
    f.sym = p.sym;
    f.type = pos->type == kOrderTypeBuy ? kOrderTypeSell : kOrderTypeBuy;
    f.volume = p.volume;
    f.price = p.price;
    f.time_msc = now;
    f.magic = req.magic;
    f.comment = req.comment;
    Deal d = NewDeal(st, o, f);
    d.entry = kEntryOutBy;
    d.position_id = pos->ticket;
    Realise(q, acc, p.sym, pos, p.volume, p.price, &d);
    pos->time_update_msc = now;
    st->balance = RoundMoney(st->balance + d.profit + d.swap + d.commission + d.fee);
    st->new_deals.push_back(d);
    st->changed_positions.push_back(pos->ticket);
    if (first == 0) first = d.ticket;
  }
  st->new_orders.push_back(o);
  const std::uint64_t ta = a.ticket, tb = b.ticket;
  st->positions.erase(std::remove_if(st->positions.begin(), st->positions.end(),
                                     [&](const Position& x) {
                                       return (x.ticket == ta || x.ticket == tb) && x.volume <= 0;
                                     }),
                      st->positions.end());
  return first;
}

}  // namespace

SendOutcome ExecuteTrade(const Quotes& q, const AccountConfig& acc, AccountState* st,
                         const TradeRequest& req) {
  const Plan p = Validate(q, acc, *st, req);
  SendOutcome out;
  out.retcode = p.retcode;
  out.comment = p.comment;
  out.bid = p.bid;
  out.ask = p.ask;
  out.request_id = st->next_request_id++;
  if (p.retcode != kRetCheckOk) return out;

  const std::int64_t now = q.now_ms();
  out.retcode = kRetDone;
  out.comment = u"Request executed";
  switch (req.action) {
    case kActionDeal: {
      Order o = NewOrder(st, req, now);
      o.volume_initial = p.volume;
      o.price_open = p.price;
      Fill f;
      f.sym = p.sym;
      f.type = req.type;
      f.volume = p.volume;
      f.price = p.price;
      f.time_msc = now;
      f.position = acc.netting ? 0 : req.position;
      f.magic = req.magic;
      f.comment = req.comment;
      if (acc.netting || req.position == 0) {
        f.sl = req.sl;
        f.tp = req.tp;
      }
      if (req.position != 0) o.sl = o.tp = 0;
      out.order = o.ticket;
      out.deal = ApplyFill(q, acc, st, o, f);
      out.volume = p.volume;
      out.price = p.price;
      break;
    }
    case kActionPending: {
      Order o = NewOrder(st, req, now);
      o.state = kOrderStatePlaced;
      o.type_time = req.type_time;
      o.time_expiration = p.expiry_s;
      o.volume_initial = o.volume_current = p.volume;
      o.price_open = req.price;
      o.price_stoplimit = IsStopLimit(req.type) ? req.stoplimit : 0;
      o.price_current = IsBuyType(req.type) ? p.ask : p.bid;
      o.symbol = SymbolAt(p.sym).name;
      st->working.push_back(o);
      st->new_orders.push_back(o);
      out.comment = u"Order placed";
      out.order = o.ticket;
      out.volume = p.volume;
      out.price = req.price;
      break;
    }
    case kActionModify: {
      Order& o = st->working[p.order];
      o.price_open = req.price;
      if (IsStopLimit(o.type)) o.price_stoplimit = req.stoplimit;
      o.sl = req.sl;
      o.tp = req.tp;
      o.type_time = req.type_time;
      o.time_expiration = p.expiry_s;
      st->new_orders.push_back(o);
      out.order = o.ticket;
      out.volume = o.volume_current;
      out.price = o.price_open;
      break;
    }
    case kActionRemove:
      out.order = st->working[p.order].ticket;
      out.volume = st->working[p.order].volume_current;
      RetireOrder(st, p.order, kOrderStateCanceled, now);
      break;
    case kActionSltp: {
      Position& pos = st->positions[p.position];
      pos.sl = req.sl;
      pos.tp = req.tp;
      pos.time_update_msc = now;
      st->changed_positions.push_back(pos.ticket);
      out.volume = pos.volume;
      break;
    }
    case kActionCloseBy:
      out.deal = CloseBy(q, acc, st, p, req);
      out.order = st->new_orders.back().ticket;
      out.volume = p.volume;
      out.price = p.price;
      break;
    default:
      break;
  }
  return out;
}

}  // namespace zk5::term
