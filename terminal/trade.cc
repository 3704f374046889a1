#include "trade.h"

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
  std::size_t position = 0;  // index into st.positions when closing
  bool closing = false;
  double margin_after = 0;
  AccountSummary now;
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

Plan Validate(const Quotes& q, const AccountConfig& acc, const AccountState& st,
              const TradeRequest& req) {
  Plan p;
  p.now = Summarise(q, acc, st);
  p.margin_after = p.now.margin;
  switch (req.action) {
    case kActionDeal: break;
    case kActionPending:
    case kActionSltp:
    case kActionModify:
    case kActionRemove:
    case kActionCloseBy:
      return Refuse(p, kRetNotSupported, u"Pending orders, stops and close-by are not supported");
    default:
      return Refuse(p, kRetInvalid, u"Invalid request");
  }
  if (acc.netting) return Refuse(p, kRetNotSupported, u"Netting accounts are not supported");
  if (req.type != 0 && req.type != 1) {
    if (req.type <= 8) return Refuse(p, kRetNotSupported, u"Order type not supported");
    return Refuse(p, kRetInvalid, u"Invalid order type");
  }
  if (req.sl != 0 || req.tp != 0) {
    return Refuse(p, kRetNotSupported, u"Stop loss and take profit are not supported");
  }
  if (req.position_by != 0) return Refuse(p, kRetNotSupported, u"Close-by is not supported");
  if (req.type_filling > 2) return Refuse(p, kRetInvalidFill, u"Unsupported filling mode");
  const Position* pos = nullptr;
  if (req.position != 0) {
    for (std::size_t i = 0; i < st.positions.size(); ++i) {
      if (st.positions[i].ticket == req.position) {
        pos = &st.positions[i];
        p.position = i;
      }
    }
    if (pos == nullptr) return Refuse(p, kRetPositionClosed, u"Position not found");
    if (!req.symbol.empty() && req.symbol != pos->symbol) {
      return Refuse(p, kRetInvalid, u"Symbol differs from the position's");
    }
    if (req.type == pos->type) return Refuse(p, kRetInvalid, u"A closing deal must be opposite to the position");
    p.closing = true;
  }
  p.sym = FindSymbol(pos != nullptr ? pos->symbol : req.symbol);
  if (p.sym < 0) return Refuse(p, kRetInvalid, u"Unknown symbol");
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(p.sym)];
  p.volume = NormaliseVolume(s, req.volume);
  if (p.volume < 0 || p.volume < s.volume_min - 1e-9 || p.volume > s.volume_max + 1e-9) {
    return Refuse(p, kRetInvalidVolume, u"Invalid volume");
  }
  if (pos != nullptr && p.volume > pos->volume + 1e-9) {
    return Refuse(p, kRetInvalidCloseVolume, u"Volume exceeds the position's");
  }
  if (!IsOpenAt(s, q.now_ms() / 1000)) return Refuse(p, kRetMarketClosed, u"Market closed");
  if (!q.Price(p.sym, &p.bid, &p.ask)) return Refuse(p, kRetMarketClosed, u"No prices");
  p.price = req.type == 0 ? p.ask : p.bid;
  double margin = 0;
  if (!MarginFor(q, acc, p.sym, p.volume, pos != nullptr ? pos->price_open : p.price, &margin)) {
    return Refuse(p, kRetInvalid, u"No conversion rate to the account currency");
  }
  if (p.closing) {
    p.margin_after = RoundMoney(p.now.margin - margin);
    return p;
  }
  if (st.positions.size() >= kMaxPositions) return Refuse(p, kRetLimitPositions, u"Too many positions");
  p.margin_after = RoundMoney(p.now.margin + margin);
  if (p.now.equity - p.margin_after < 0) return Refuse(p, kRetNoMoney, u"No money");
  return p;
}

}  // namespace

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
  HistoryOrder order;
  order.ticket = st->next_ticket++;
  order.time_setup_msc = now;
  order.time_done_msc = now;
  order.type = req.type;
  order.type_filling = req.type_filling;
  order.magic = req.magic;
  order.volume_initial = p.volume;
  order.price_open = p.price;
  order.price_current = p.price;
  order.comment = req.comment;

  Deal deal;
  deal.ticket = st->next_ticket++;
  deal.order = order.ticket;
  deal.time_msc = now;
  deal.type = req.type == kOrderTypeBuy ? kDealTypeBuy : kDealTypeSell;
  deal.magic = req.magic;
  deal.volume = p.volume;
  deal.price = p.price;
  deal.comment = req.comment;

  if (p.closing) {
    Position& pos = st->positions[p.position];
    order.symbol = deal.symbol = pos.symbol;
    order.position_id = deal.position_id = pos.ticket;
    deal.entry = kEntryOut;
    ProfitFor(q, acc, p.sym, pos.type, p.volume, pos.price_open, p.price, &deal.profit);
    SwapFor(q, acc, p.sym, pos.type, p.volume, pos.time_msc, &deal.swap);
    st->balance = RoundMoney(st->balance + deal.profit + deal.swap + deal.commission);
    const double left = std::round((pos.volume - p.volume) * 1e8) / 1e8;
    if (left <= 0) {
      st->positions.erase(st->positions.begin() + static_cast<std::ptrdiff_t>(p.position));
    } else {
      pos.volume = left;
      pos.time_update_msc = now;
    }
  } else {
    Position pos;
    pos.ticket = order.ticket;
    pos.time_msc = now;
    pos.time_update_msc = now;
    pos.type = req.type;
    pos.magic = req.magic;
    pos.volume = p.volume;
    pos.price_open = p.price;
    pos.symbol = Symbols()[static_cast<std::size_t>(p.sym)].name;
    pos.comment = req.comment;
    order.symbol = deal.symbol = pos.symbol;
    order.position_id = deal.position_id = pos.ticket;
    deal.entry = kEntryIn;
    st->positions.push_back(pos);
  }
  st->changed_positions.push_back(order.position_id);
  st->new_orders.push_back(order);
  st->new_deals.push_back(deal);

  out.retcode = kRetDone;
  out.comment = u"Request executed";
  out.deal = deal.ticket;
  out.order = order.ticket;
  out.volume = p.volume;
  out.price = p.price;
  return out;
}

}  // namespace zk5::term
