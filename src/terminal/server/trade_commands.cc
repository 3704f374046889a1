// Account commands: login, account record, positions, orders, history and
// trade requests.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "accounts/record_io.h"
#include "accounts/store.h"
#include "accounts/trade.h"
#include "accounts/trade_records.h"
#include "ipc/commands.h"
#include "ipc/records.h"
#include "server/dispatch.h"

namespace zk5::term {

namespace {

using ipc::CommandId;

std::string AccountRecord(const Quotes& q, const AccountConfig& acc, const AccountState& st) {
  const AccountSummary sum = Summarise(q, acc, st);
  std::string rec(records::kAccountInfo.size, '\0');
  using W = FieldWriter<records::kAccountInfo>;
  W(reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt<W::Field("login")>(acc.login)
      .UInt<W::Field("trade_mode")>(0)  // demo
      .UInt<W::Field("leverage")>(acc.leverage)
      .UInt<W::Field("limit_orders")>(kMaxWorkingOrders)
      .UInt<W::Field("margin_so_mode")>(0)  // in percent
      .Flag<W::Field("trade_allowed")>(true)
      .Flag<W::Field("trade_expert")>(true)
      .UInt<W::Field("margin_mode")>(acc.netting ? 0 : 2)  // netting or hedging
      .UInt<W::Field("currency_digits")>(2)
      .Flag<W::Field("fifo_close")>(false)
      .Real<W::Field("balance")>(st.balance)
      .Real<W::Field("credit")>(st.credit)
      .Real<W::Field("profit")>(sum.profit)
      .Real<W::Field("equity")>(sum.equity)
      .Real<W::Field("margin")>(sum.margin)
      .Real<W::Field("margin_free")>(sum.margin_free)
      .Real<W::Field("margin_level")>(sum.margin_level)
      .Real<W::Field("margin_so_call")>(acc.margin_call)
      .Real<W::Field("margin_so_so")>(acc.stop_out)
      .Text<W::Field("name")>(acc.name)
      .Text<W::Field("server")>(acc.server)
      .Text<W::Field("currency")>(acc.currency)
      .Text<W::Field("company")>(acc.company);
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
  using R = FieldReader<records::kTradeRequest>;
  const R r(rec);
  TradeRequest q;
  q.action = static_cast<std::uint32_t>(r.UInt<R::Field("action")>());
  q.magic = r.UInt<R::Field("magic")>();
  q.order = r.UInt<R::Field("order")>();
  q.symbol = r.Text<R::Field("symbol")>();
  q.volume = r.Real<R::Field("volume")>();
  q.price = r.Real<R::Field("price")>();
  q.stoplimit = r.Real<R::Field("stoplimit")>();
  q.sl = r.Real<R::Field("sl")>();
  q.tp = r.Real<R::Field("tp")>();
  q.deviation = r.UInt<R::Field("deviation")>();
  q.type = static_cast<std::uint32_t>(r.UInt<R::Field("type")>());
  q.type_filling = static_cast<std::uint32_t>(r.UInt<R::Field("type_filling")>());
  q.type_time = static_cast<std::uint32_t>(r.UInt<R::Field("type_time")>());
  q.expiration = r.Int<R::Field("expiration")>();
  q.comment = r.Text<R::Field("comment")>();
  q.position = r.UInt<R::Field("position")>();
  q.position_by = r.UInt<R::Field("position_by")>();
  return q;
}

std::string CheckRecord(const CheckOutcome& c) {
  std::string rec(records::kOrderCheckResult.size, '\0');
  using W = FieldWriter<records::kOrderCheckResult>;
  W(reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt<W::Field("retcode")>(c.retcode)
      .Real<W::Field("balance")>(c.balance)
      .Real<W::Field("equity")>(c.equity)
      .Real<W::Field("profit")>(c.profit)
      .Real<W::Field("margin")>(c.margin)
      .Real<W::Field("margin_free")>(c.margin_free)
      .Real<W::Field("margin_level")>(c.margin_level)
      .Text<W::Field("comment")>(c.comment);
  return rec;
}

std::string SendRecord(const SendOutcome& o) {
  std::string rec(records::kOrderSendResult.size, '\0');
  using W = FieldWriter<records::kOrderSendResult>;
  W(reinterpret_cast<std::uint8_t*>(&rec[0]))
      .UInt<W::Field("retcode")>(o.retcode)
      .UInt<W::Field("deal")>(o.deal)
      .UInt<W::Field("order")>(o.order)
      .Real<W::Field("volume")>(o.volume)
      .Real<W::Field("price")>(o.price)
      .Real<W::Field("bid")>(o.bid)
      .Real<W::Field("ask")>(o.ask)
      .Text<W::Field("comment")>(o.comment)
      .UInt<W::Field("request_id")>(o.request_id)
      .Int<W::Field("retcode_external")>(0);
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
  Shows::Kind all, one;  // what a list shows, and one by ticket
};

template <typename List, typename Encode>
Reply Listing(Terminal& t, Session* s, CommandId id, const Args& args, const ListCommands& c,
              List&& list, Encode&& encode) {
  static const std::u16string kNoSymbol;
  const std::u16string& symbol = id == c.by_symbol ? args.Text(0) : kNoSymbol;
  const std::uint64_t ticket = id == c.by_ticket ? args.U64(0) : 0;
  Reply r;
  const Shows shows = id == c.by_ticket ? Shows{c.one, ticket} : Shows{c.all};
  const std::int32_t status =
      t.ReadAccount(s, shows, [&](const AccountConfig& acc, AccountState& st, auto&&) {
        const auto& items = list(st);
        if (id == c.total) {
          r.U32(static_cast<std::uint32_t>(items.size()));
          return kSuccess;
        }
        const Quotes q(t.model(), t.NowMs());
        using Item = typename std::decay_t<decltype(items)>::value_type;
        std::vector<const Item*> chosen;
        for (const Item& item : items) {
          if ((id == c.by_symbol && item.symbol != symbol) ||
              (id == c.by_ticket && item.ticket != ticket)) {
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

Reply Positions(Terminal& t, Session* s, CommandId id, const Args& args) {
  const ListCommands c{CommandId::POSITIONS_TOTAL,
                       CommandId::POSITIONS_BY_SYMBOL,
                       CommandId::POSITION_BY_TICKET,
                       records::kTradePosition.size,
                       Shows::kPositions,
                       Shows::kPosition};
  return Listing(
      t, s, id, args, c, [](const AccountState& st) -> const auto& { return st.positions; },
      [](const Quotes& q, const AccountConfig& acc, const Position& p, std::uint8_t* rec) {
        const PositionValue v = ValuePosition(q, acc, p);
        PositionToRecord(p, &v, rec);
      });
}

// Working orders show the price they would be executed at now.
Reply Orders(Terminal& t, Session* s, CommandId id, const Args& args) {
  const ListCommands c{CommandId::ORDERS_TOTAL,
                       CommandId::ORDERS_BY_SYMBOL,
                       CommandId::ORDER_BY_TICKET,
                       records::kTradeOrder.size,
                       Shows::kWorking,
                       Shows::kWorking};
  return Listing(
      t, s, id, args, c, [](const AccountState& st) -> const auto& { return st.working; },
      [](const Quotes& q, const AccountConfig&, const Order& o, std::uint8_t* rec) {
        Order shown = o;
        double bid, ask;
        if (q.Price(FindSymbol(o.symbol), &bid, &ask))
          shown.price_current = IsBuyType(o.type) ? ask : bid;
        OrderToRecord(shown, rec);
      });
}

Reply History(Terminal& t, Session* s, CommandId id, const Args& args) {
  const bool deals = id >= CommandId::HISTORY_DEALS_TOTAL;
  const bool range = id == CommandId::HISTORY_ORDERS_TOTAL ||
                     id == CommandId::HISTORY_ORDERS_RANGE ||
                     id == CommandId::HISTORY_DEALS_TOTAL || id == CommandId::HISTORY_DEALS_RANGE;
  const bool total = id == CommandId::HISTORY_ORDERS_TOTAL || id == CommandId::HISTORY_DEALS_TOTAL;
  const bool by_ticket =
      id == CommandId::HISTORY_ORDER_BY_TICKET || id == CommandId::HISTORY_DEAL_BY_TICKET;
  HistoryQuery q;
  if (range) {
    q.by = HistoryQuery::kTime;
    q.from_msc = SecondsToMs(args.I64(0), 0);
    q.to_msc = SecondsToMs(args.I64(1), 999);
  } else {
    q.by = by_ticket ? HistoryQuery::kTicket : HistoryQuery::kPosition;
    q.number = args.U64(0);
  }
  Reply r;
  const Shows shows = q.by == HistoryQuery::kPosition ? Shows{Shows::kPositionHistory, q.number}
                                                      : Shows{Shows::kHistory};
  const std::int32_t status =
      t.ReadAccount(s, shows, [&](const AccountConfig&, AccountState& st, auto&&) {
        Store& store = t.store();
        if (total) {
          std::uint64_t n = 0;
          if (!store.Count(st.login, deals, q, &n)) return kCallFailed;
          r.U32(static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX)));
          return kSuccess;
        }
        std::vector<Deal> ds;
        std::vector<Order> os;
        if (!(deals ? store.Deals(st.login, q, &ds) : store.Orders(st.login, q, &os)))
          return kCallFailed;
        std::vector<const Deal*> dp;
        std::vector<const Order*> op;
        for (const Deal& d : ds) dp.push_back(&d);
        for (const Order& o : os) op.push_back(&o);
        if (by_ticket) {
          if (dp.empty() && op.empty()) return kNotFound;
          const std::uint32_t size = deals ? records::kTradeDeal.size : records::kTradeOrder.size;
          r.payload.assign(size, '\0');
          auto* rec = reinterpret_cast<std::uint8_t*>(&r.payload[0]);
          if (deals)
            DealToRecord(*dp[0], rec);
          else
            OrderToRecord(*op[0], rec);
        } else if (deals) {
          AppendRecords(dp, records::kTradeDeal.size, DealToRecord, &r);
        } else {
          AppendRecords(op, records::kTradeOrder.size, OrderToRecord, &r);
        }
        return kSuccess;
      });
  return status < 0 ? Reply::Fail(status) : r;
}

// A send refused because the account could not be stored.
SendOutcome NotSaved() {
  SendOutcome out;
  out.retcode = kRetError;
  out.comment = u"Cannot save the account";
  return out;
}

Reply Trade(Terminal& t, Session* s, CommandId id, const Args& args) {
  const std::uint8_t* rec = args.Record(0);
  if (rec == nullptr) return Reply::Fail(kCallFailed);
  if (id == CommandId::ORDER_SEND && !t.settings().trade_api) {
    return Reply::Fail(kAutoTradingDisabled);
  }
  const TradeRequest req = RequestFromRecord(rec);
  Reply r;
  bool lost = false;
  auto run = [&](const AccountConfig& acc, AccountState& st, auto&& commit) {
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
        r.payload = SendRecord(NotSaved());
        return kSuccess;
      }
    }
    SendOutcome out = ExecuteTrade(q, acc, &st, req);
    // A deal is confirmed only once it is on disk; a refusal changed
    // nothing, and its id is in the stored block already.
    const bool changed = out.retcode == kRetDone || !st.new_orders.empty() ||
                         !st.new_deals.empty() || !st.changed_positions.empty();
    if (changed && !commit() && out.retcode == kRetDone) {
      const std::uint32_t request_id = out.request_id;
      out = NotSaved();
      out.request_id = request_id;
    }
    r.payload = SendRecord(out);
    return kSuccess;
  };
  // A check changes nothing: it is a read.
  const std::int32_t status =
      id == CommandId::ORDER_CHECK ? t.ReadAccount(s, Shows{}, run) : t.WithAccount(s, run, &lost);
  if (status < 0) return Reply::Fail(status);
  if (lost) {
    // Nothing of the request is stored: a send is refused without an id
    // (the id's block may not be stored either), a check fails.
    if (id == CommandId::ORDER_CHECK) return Reply::Fail(kCallFailed);
    r.payload = SendRecord(NotSaved());
  }
  return r;
}

// Action, symbol, volume, price, and for profit the closing price.
Reply Calc(Terminal& t, Session* s, CommandId id, const Args& args) {
  const std::uint32_t action = args.U32(0);
  const std::u16string& symbol = args.Text(1);
  const double volume = args.F64(2);
  const double price = args.F64(3);
  const double close = id == CommandId::ORDER_CALC_PROFIT ? args.F64(4) : 0.0;
  // Margin: any order type (even types buy, odd sell); profit: buy or sell.
  const std::uint32_t last_type = id == CommandId::ORDER_CALC_MARGIN ? 7 : 1;
  if (action > last_type || !(volume >= 0) || !std::isfinite(volume) || !std::isfinite(price) ||
      !std::isfinite(close)) {
    return Reply::Fail(kInvalidParams);
  }
  const int sym = FindSymbol(symbol);
  if (sym < 0) return Reply::Fail(kNotFound);
  Reply r;
  // Settings and prices only.
  const std::int32_t status = t.ReadAccount(
      s, Shows{Shows::kNothing}, [&](const AccountConfig& acc, AccountState&, auto&&) {
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

bool DispatchTrade(Terminal& t, Session* s, CommandId id, const Args& args, Reply* out) {
  switch (id) {
    case CommandId::LOGIN: {
      // A zero, the login, the password, the server.
      const std::int32_t status = t.Login(s, args.U64(1), args.Text(2), args.Text(3));
      if (status < 0) *out = Reply::Fail(status);
      return true;
    }
    case CommandId::ACCOUNT_INFO: {
      const std::int32_t status =
          t.ReadAccount(s, Shows{}, [&](const AccountConfig& acc, AccountState& st, auto&&) {
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
