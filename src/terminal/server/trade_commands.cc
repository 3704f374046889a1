// Account commands: login, account record, positions, orders, history and
// trade requests.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "server/dispatch.h"
#include "ipc/commands.h"
#include "ipc/records.h"
#include "accounts/record_io.h"
#include "accounts/store.h"
#include "accounts/trade.h"
#include "accounts/trade_records.h"

namespace zk5::term {

namespace {

using ipc::CommandId;

std::string AccountRecord(const Quotes& q, const AccountConfig& acc, const AccountState& st) {
  const AccountSummary sum = Summarise(q, acc, st);
  std::string rec(records::kAccountInfo.size, '\0');
  RecordWriter(records::kAccountInfo, reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt("login", acc.login)
      .UInt("trade_mode", 0)  // demo
      .UInt("leverage", acc.leverage)
      .UInt("limit_orders", kMaxWorkingOrders)
      .UInt("margin_so_mode", 0)  // in percent
      .Flag("trade_allowed", true)
      .Flag("trade_expert", true)
      .UInt("margin_mode", acc.netting ? 0 : 2)  // netting or hedging
      .UInt("currency_digits", 2)
      .Flag("fifo_close", false)
      .Real("balance", st.balance)
      .Real("credit", st.credit)
      .Real("profit", sum.profit)
      .Real("equity", sum.equity)
      .Real("margin", sum.margin)
      .Real("margin_free", sum.margin_free)
      .Real("margin_level", sum.margin_level)
      .Real("margin_so_call", acc.margin_call)
      .Real("margin_so_so", acc.stop_out)
      .Text("name", acc.name)
      .Text("server", acc.server)
      .Text("currency", acc.currency)
      .Text("company", acc.company);
  return rec;
}

template <typename T, typename Encode>
void AppendRecords(const std::vector<const T*>& items, std::uint32_t size, Encode&& encode,
                   Reply* out) {
  out->U32(static_cast<std::uint32_t>(items.size()));
  std::string rec(size, '\0');
  for (const T* item : items) {
    encode(*item, reinterpret_cast<std::uint8_t*>(&rec[0]));
    out->payload += rec;
  }
}

TradeRequest RequestFromRecord(const std::uint8_t* rec) {
  RecordReader r(records::kTradeRequest, rec);
  TradeRequest q;
  q.action = static_cast<std::uint32_t>(r.UInt("action"));
  q.magic = r.UInt("magic");
  q.order = r.UInt("order");
  q.symbol = r.Text("symbol");
  q.volume = r.Real("volume");
  q.price = r.Real("price");
  q.stoplimit = r.Real("stoplimit");
  q.sl = r.Real("sl");
  q.tp = r.Real("tp");
  q.deviation = r.UInt("deviation");
  q.type = static_cast<std::uint32_t>(r.UInt("type"));
  q.type_filling = static_cast<std::uint32_t>(r.UInt("type_filling"));
  q.type_time = static_cast<std::uint32_t>(r.UInt("type_time"));
  q.expiration = r.Int("expiration");
  q.comment = r.Text("comment");
  q.position = r.UInt("position");
  q.position_by = r.UInt("position_by");
  return q;
}

std::string CheckRecord(const CheckOutcome& c) {
  std::string rec(records::kOrderCheckResult.size, '\0');
  RecordWriter(records::kOrderCheckResult, reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt("retcode", c.retcode)
      .Real("balance", c.balance)
      .Real("equity", c.equity)
      .Real("profit", c.profit)
      .Real("margin", c.margin)
      .Real("margin_free", c.margin_free)
      .Real("margin_level", c.margin_level)
      .Text("comment", c.comment);
  return rec;
}

std::string SendRecord(const SendOutcome& o) {
  std::string rec(records::kOrderSendResult.size, '\0');
  RecordWriter(records::kOrderSendResult, reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt("retcode", o.retcode)
      .UInt("deal", o.deal)
      .UInt("order", o.order)
      .Real("volume", o.volume)
      .Real("price", o.price)
      .Real("bid", o.bid)
      .Real("ask", o.ask)
      .Text("comment", o.comment)
      .UInt("request_id", o.request_id)
      .Int("retcode_external", 0);
  return rec;
}

// Seconds as milliseconds, saturating: history bounds may be any value.
std::int64_t SecondsToMs(std::int64_t sec, std::int64_t extra) {
  constexpr std::int64_t kLimit = INT64_MAX / 1000 - 1;
  if (sec > kLimit) return INT64_MAX;
  if (sec < -kLimit) return INT64_MIN;
  return sec * 1000 + extra;
}

// Positions and working orders alike: a count, all of them, those of a
// symbol, or one by ticket. list(state) gives the items, encode(quotes,
// config, item, record) writes one valued at current prices.
struct ListCommands {
  CommandId total, by_symbol, by_ticket;
  std::uint32_t size;
};

template <typename List, typename Encode>
Reply Listing(Terminal& t, Session* s, CommandId id, ArgReader& args, const ListCommands& c,
              List&& list, Encode&& encode) {
  std::u16string symbol;
  std::uint64_t ticket = 0;
  if (id == c.by_symbol) args.String(&symbol);
  if (id == c.by_ticket) args.U64(&ticket);
  if (!args.Done()) return Reply::Fail(kInvalidParams);
  Reply r;
  const std::int32_t status = t.WithAccount(s, [&](const AccountConfig& acc, AccountState& st, auto&&) {
    const auto& items = list(st);
    if (id == c.total) {
      r.U32(static_cast<std::uint32_t>(items.size()));
      return kSuccess;
    }
    const Quotes q(t.model(), t.NowMs());
    using Item = typename std::decay_t<decltype(items)>::value_type;
    std::vector<const Item*> chosen;
    for (const Item& item : items) {
      if ((id == c.by_symbol && item.symbol != symbol) || (id == c.by_ticket && item.ticket != ticket)) {
        continue;
      }
      chosen.push_back(&item);
    }
    auto write = [&](const Item& item, std::uint8_t* rec) { encode(q, acc, item, rec); };
    if (id == c.by_ticket) {
      if (chosen.empty()) return kNotFound;
      r.payload.assign(c.size, '\0');
      write(*chosen[0], reinterpret_cast<std::uint8_t*>(&r.payload[0]));
      return kSuccess;
    }
    AppendRecords(chosen, c.size, write, &r);
    return kSuccess;
  });
  return status < 0 ? Reply::Fail(status) : r;
}

Reply Positions(Terminal& t, Session* s, CommandId id, ArgReader& args) {
  const ListCommands c{CommandId::POSITIONS_TOTAL, CommandId::POSITIONS_BY_SYMBOL,
                       CommandId::POSITION_BY_TICKET, records::kTradePosition.size};
  return Listing(t, s, id, args, c, [](const AccountState& st) -> const auto& { return st.positions; },
                 [](const Quotes& q, const AccountConfig& acc, const Position& p, std::uint8_t* rec) {
                   const PositionValue v = ValuePosition(q, acc, p);
                   PositionToRecord(p, &v, rec);
                 });
}

// Working orders show the price they would be executed at now.
Reply Orders(Terminal& t, Session* s, CommandId id, ArgReader& args) {
  const ListCommands c{CommandId::ORDERS_TOTAL, CommandId::ORDERS_BY_SYMBOL, CommandId::ORDER_BY_TICKET,
                       records::kTradeOrder.size};
  return Listing(t, s, id, args, c, [](const AccountState& st) -> const auto& { return st.working; },
                 [](const Quotes& q, const AccountConfig&, const Order& o, std::uint8_t* rec) {
                   Order shown = o;
                   double bid, ask;
                   if (q.Price(FindSymbol(o.symbol), &bid, &ask)) shown.price_current = IsBuyType(o.type) ? ask : bid;
                   OrderToRecord(shown, rec);
                 });
}

Reply History(Terminal& t, Session* s, CommandId id, ArgReader& args) {
  const bool deals = id >= CommandId::HISTORY_DEALS_TOTAL;
  const bool range = id == CommandId::HISTORY_ORDERS_TOTAL || id == CommandId::HISTORY_ORDERS_RANGE ||
                     id == CommandId::HISTORY_DEALS_TOTAL || id == CommandId::HISTORY_DEALS_RANGE;
  const bool total = id == CommandId::HISTORY_ORDERS_TOTAL || id == CommandId::HISTORY_DEALS_TOTAL;
  const bool by_ticket = id == CommandId::HISTORY_ORDER_BY_TICKET || id == CommandId::HISTORY_DEAL_BY_TICKET;
  std::int64_t from = 0, to = 0;
  std::uint64_t number = 0;
  if (range) {
    args.I64(&from);
    args.I64(&to);
  } else {
    args.U64(&number);
  }
  if (!args.Done()) return Reply::Fail(kInvalidParams);
  HistoryQuery q;
  if (range) {
    q.by = HistoryQuery::kTime;
    q.from_msc = SecondsToMs(from, 0);
    q.to_msc = SecondsToMs(to, 999);
  } else {
    q.by = by_ticket ? HistoryQuery::kTicket : HistoryQuery::kPosition;
    q.number = number;
  }
  Reply r;
  const std::int32_t status = t.WithAccount(s, [&](const AccountConfig&, AccountState& st, auto&&) {
    Store& store = t.store();
    if (total) {
      std::uint64_t n = 0;
      if (!store.Count(st.login, deals, q, &n)) return kCallFailed;
      r.U32(static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX)));
      return kSuccess;
    }
    std::vector<Deal> ds;
    std::vector<Order> os;
    if (!(deals ? store.Deals(st.login, q, &ds) : store.Orders(st.login, q, &os))) return kCallFailed;
    std::vector<const Deal*> dp;
    std::vector<const Order*> op;
    for (const Deal& d : ds) dp.push_back(&d);
    for (const Order& o : os) op.push_back(&o);
    if (by_ticket) {
      if (dp.empty() && op.empty()) return kNotFound;
      const std::uint32_t size = deals ? records::kTradeDeal.size : records::kTradeOrder.size;
      r.payload.assign(size, '\0');
      auto* rec = reinterpret_cast<std::uint8_t*>(&r.payload[0]);
      if (deals) DealToRecord(*dp[0], rec);
      else OrderToRecord(*op[0], rec);
    } else if (deals) {
      AppendRecords(dp, records::kTradeDeal.size, DealToRecord, &r);
    } else {
      AppendRecords(op, records::kTradeOrder.size, OrderToRecord, &r);
    }
    return kSuccess;
  });
  return status < 0 ? Reply::Fail(status) : r;
}

Reply Trade(Terminal& t, Session* s, CommandId id, ArgReader& args) {
  const std::uint8_t* rec = nullptr;
  if (!args.Record(records::kTradeRequest.size, &rec) || !args.Done()) {
    return Reply::Fail(kInvalidParams);
  }
  if (id == CommandId::ORDER_SEND && !t.settings().trade_api) {
    return Reply::Fail(kAutoTradingDisabled);
  }
  const TradeRequest req = RequestFromRecord(rec);
  Reply r;
  const std::int32_t status = t.WithAccount(s, [&](const AccountConfig& acc, AccountState& st, auto&& commit) {
    const Quotes q(t.model(), t.NowMs());
    if (id == CommandId::ORDER_CHECK) {
      r.payload = CheckRecord(CheckTrade(q, acc, st, req));
      return kSuccess;
    }
    // Request ids are reserved in blocks, the block's end stored before any
    // id of it is handed out: none is handed out twice, whatever commit
    // fails and however the terminal ends. Without room for a block (a full
    // disk) the request is refused without an id.
    if (st.next_request_id >= st.request_id_limit) {
      st.request_id_limit = st.next_request_id + AccountState::kRequestIdBlock;
      if (!commit()) {
        SendOutcome none;
        none.retcode = kRetError;
        none.comment = u"Cannot save the account";
        r.payload = SendRecord(none);
        return kSuccess;
      }
    }
    SendOutcome out = ExecuteTrade(q, acc, &st, req);
    // A deal is confirmed only once it is on disk; a refusal changed
    // nothing, and its id is in the stored block already.
    const bool changed = out.retcode == kRetDone || !st.new_orders.empty() || !st.new_deals.empty() ||
                         !st.changed_positions.empty();
    if (changed && !commit() && out.retcode == kRetDone) {
      const std::uint32_t request_id = out.request_id;
      out = SendOutcome{};
      out.retcode = kRetError;
      out.comment = u"Cannot save the account";
      out.request_id = request_id;
    }
    r.payload = SendRecord(out);
    return kSuccess;
  });
  return status < 0 ? Reply::Fail(status) : r;
}

Reply Calc(Terminal& t, Session* s, CommandId id, ArgReader& args) {
  std::uint32_t action = 0;
  std::u16string symbol;
  double volume = 0, price = 0, close = 0;
  args.U32(&action);
  args.String(&symbol);
  args.F64(&volume);
  args.F64(&price);
  if (id == CommandId::ORDER_CALC_PROFIT) args.F64(&close);
  if (!args.Done()) return Reply::Fail(kInvalidParams);
  // Margin: any order type (even types buy, odd sell); profit: buy or sell.
  const std::uint32_t last_type = id == CommandId::ORDER_CALC_MARGIN ? 7 : 1;
  if (action > last_type || !(volume >= 0) || !std::isfinite(volume) || !std::isfinite(price) ||
      !std::isfinite(close)) {
    return Reply::Fail(kInvalidParams);
  }
  const int sym = FindSymbol(symbol);
  if (sym < 0) return Reply::Fail(kNotFound);
  Reply r;
  const std::int32_t status = t.WithAccount(s, [&](const AccountConfig& acc, AccountState&, auto&&) {
    const Quotes q(t.model(), t.NowMs());
    double value = 0;
    const bool ok = id == CommandId::ORDER_CALC_MARGIN
                        ? MarginFor(q, acc, sym, volume, price, &value)
                        : ProfitFor(q, acc, sym, action, volume, price, close, &value);
    if (!ok) return kCallFailed;
    r.F64(value);
    return kSuccess;
  });
  return status < 0 ? Reply::Fail(status) : r;
}

}  // namespace

bool DispatchTrade(Terminal& t, Session* s, std::uint32_t command, ArgReader& args, Reply* out) {
  const auto id = static_cast<CommandId>(command);
  switch (id) {
    case CommandId::LOGIN: {
      std::uint32_t zero = 0;
      std::uint64_t login = 0;
      std::u16string password, server;
      if (!args.U32(&zero) || !args.U64(&login) || !args.String(&password) ||
          !args.String(&server) || !args.Done()) {
        *out = Reply::Fail(kInvalidParams);
      } else {
        const std::int32_t status = t.Login(s, login, password, server);
        if (status < 0) *out = Reply::Fail(status);
      }
      return true;
    }
    case CommandId::ACCOUNT_INFO: {
      if (!args.Done()) {
        *out = Reply::Fail(kInvalidParams);
        return true;
      }
      const std::int32_t status = t.WithAccount(s, [&](const AccountConfig& acc, AccountState& st, auto&&) {
        out->payload = AccountRecord(Quotes(t.model(), t.NowMs()), acc, st);
        return kSuccess;
      });
      if (status < 0) *out = Reply::Fail(status);
      return true;
    }
    case CommandId::POSITIONS_TOTAL:
    case CommandId::POSITIONS_ALL:
    case CommandId::POSITIONS_BY_SYMBOL:
    case CommandId::POSITION_BY_TICKET:
      *out = Positions(t, s, id, args);
      return true;
    case CommandId::ORDERS_TOTAL:
    case CommandId::ORDERS_ALL:
    case CommandId::ORDERS_BY_SYMBOL:
    case CommandId::ORDER_BY_TICKET:
      *out = Orders(t, s, id, args);
      return true;
    case CommandId::HISTORY_ORDERS_TOTAL:
    case CommandId::HISTORY_ORDERS_RANGE:
    case CommandId::HISTORY_ORDERS_BY_POSITION:
    case CommandId::HISTORY_ORDER_BY_TICKET:
    case CommandId::HISTORY_DEALS_TOTAL:
    case CommandId::HISTORY_DEALS_RANGE:
    case CommandId::HISTORY_DEALS_BY_POSITION:
    case CommandId::HISTORY_DEAL_BY_TICKET:
      *out = History(t, s, id, args);
      return true;
    case CommandId::ORDER_CHECK:
    case CommandId::ORDER_SEND:
      *out = Trade(t, s, id, args);
      return true;
    case CommandId::ORDER_CALC_MARGIN:
    case CommandId::ORDER_CALC_PROFIT:
      *out = Calc(t, s, id, args);
      return true;
    default:
      return false;
  }
}

}  // namespace zk5::term
