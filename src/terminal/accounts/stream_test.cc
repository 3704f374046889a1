#include "accounts/stream.h"

#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "accounts/trade.h"

namespace zk5::term {
namespace {

// Tuesday 2024-03-05 14:00:00.250 UTC.
constexpr std::int64_t kStartMs = 1709647200250;

class StreamTest : public ::testing::Test {
 protected:
  StreamTest() : model_(1) {
    acc_.login = 7;
    st_ = NewAccount(acc_, kStartMs);
  }

  SendOutcome Send(TradeRequest r, std::int64_t at = kStartMs) {
    AdvanceAccount(model_, acc_, &st_, at);
    return ExecuteTrade(Quotes(model_, at), acc_, &st_, r);
  }

  // The first tick of `symbol` after `from` for which `reached` holds.
  Tick FirstTick(const char16_t* symbol, std::int64_t from,
                 const std::function<bool(const Tick&)>& reached) {
    const int sym = FindSymbol(symbol);
    std::vector<Tick> ticks;
    for (std::int64_t m = from / 60000; m < from / 60000 + 20 * 1440; ++m) {
      const int n = model_.MinuteTicks(sym, m, &ticks);
      for (int j = 0; j < n; ++j) {
        if (ticks[j].time_msc > from && reached(ticks[j])) return ticks[j];
      }
    }
    ADD_FAILURE() << "never reached";
    return Tick{};
  }

  double Bid(const char16_t* symbol, std::int64_t at) {
    double bid, ask;
    Quotes(model_, at).Price(FindSymbol(symbol), &bid, &ask);
    return bid;
  }

  void ExpectBalanceIsTheDeals() {
    double sum = 0;
    for (const Deal& d : st_.new_deals) sum += d.profit + d.swap + d.commission + d.fee;
    EXPECT_NEAR(st_.balance, sum, 1e-6);
  }

  PriceModel model_;
  AccountConfig acc_;
  AccountState st_;
};

TradeRequest Request(std::uint32_t action, std::uint32_t type, double volume, double price = 0) {
  TradeRequest r;
  r.action = action;
  r.symbol = u"BTCUSD";
  r.type = type;
  r.volume = volume;
  r.price = price;
  r.magic = 5;
  return r;
}

TEST_F(StreamTest, AStopLossClosesAtTheTickThatReachedIt) {
  const double bid = Bid(u"BTCUSD", kStartMs);
  TradeRequest buy = Request(kActionDeal, kOrderTypeBuy, 0.1);
  buy.sl = std::round(bid - 100);  // 100 dollars below
  buy.tp = std::round(bid + 100000);
  const SendOutcome open = Send(buy);
  ASSERT_EQ(open.retcode, kRetDone) << std::string(open.comment.begin(), open.comment.end());
  const Tick hit =
      FirstTick(u"BTCUSD", kStartMs, [&](const Tick& t) { return t.bid <= buy.sl * 100; });
  AdvanceAccount(model_, acc_, &st_, hit.time_msc - 1);
  ASSERT_EQ(st_.positions.size(), 1u);
  const StreamOutcome out = AdvanceAccount(model_, acc_, &st_, hit.time_msc + 3600000);
  EXPECT_TRUE(out.changed);
  EXPECT_GT(out.ticks, 0u);
  ASSERT_TRUE(st_.positions.empty());
  const Deal& d = st_.new_deals.back();
  EXPECT_EQ(d.reason, kReasonSl);
  EXPECT_EQ(d.entry, kEntryOut);
  EXPECT_EQ(d.time_msc, hit.time_msc);
  EXPECT_EQ(d.price, static_cast<double>(hit.bid) / 100);  // a gap fills at the tick's price
  EXPECT_EQ(d.position_id, open.order);
  EXPECT_EQ(st_.new_orders.back().reason, kReasonSl);
  EXPECT_EQ(st_.evaluated_msc, hit.time_msc + 3600000);
  ExpectBalanceIsTheDeals();
}

TEST_F(StreamTest, PendingOrdersActivateExpireAndStopLimitsBecomeLimits) {
  double bid, ask;
  Quotes(model_, kStartMs).Price(FindSymbol(u"BTCUSD"), &bid, &ask);
  TradeRequest stop = Request(kActionPending, kOrderTypeBuyStop, 0.2, std::round(ask + 60));
  stop.sl = stop.price - 500;
  ASSERT_EQ(Send(stop).retcode, kRetDone);
  TradeRequest day = Request(kActionPending, kOrderTypeSellLimit, 0.1, std::round(bid * 1.5));
  day.type_time = kOrderTimeDay;
  ASSERT_EQ(Send(day).retcode, kRetDone);
  TradeRequest stop_limit =
      Request(kActionPending, kOrderTypeSellStopLimit, 0.1, std::round(bid - 60));
  stop_limit.stoplimit = stop_limit.price + 40;
  ASSERT_EQ(Send(stop_limit).retcode, kRetDone);
  ASSERT_EQ(st_.working.size(), 3u);
  const std::uint64_t stop_ticket = st_.working[0].ticket;

  const Tick up =
      FirstTick(u"BTCUSD", kStartMs, [&](const Tick& t) { return t.ask >= stop.price * 100; });
  const Tick down = FirstTick(u"BTCUSD", kStartMs,
                              [&](const Tick& t) { return t.bid <= stop_limit.price * 100; });
  AdvanceAccount(model_, acc_, &st_, kStartMs + 2 * 86400000LL);
  // The buy stop filled at its tick with that tick's ask and opened a
  // position carrying its stop-loss.
  const Order* filled = nullptr;
  for (const Order& o : st_.new_orders) {
    if (o.ticket == stop_ticket) filled = &o;
  }
  ASSERT_NE(filled, nullptr);
  EXPECT_EQ(filled->state, kOrderStateFilled);
  EXPECT_EQ(filled->time_done_msc, up.time_msc);
  bool found = false;
  for (const Deal& d : st_.new_deals) {
    if (d.order == stop_ticket) {
      found = true;
      EXPECT_EQ(d.time_msc, up.time_msc);
      EXPECT_EQ(d.price, static_cast<double>(up.ask) / 100);
      EXPECT_EQ(d.entry, kEntryIn);
    }
  }
  EXPECT_TRUE(found);
  // The day order expired at midnight; the stop-limit became a sell limit
  // at its tick (and may have filled since).
  bool expired = false;
  for (const Order& o : st_.new_orders) {
    if (o.type == kOrderTypeSellLimit && o.state == kOrderStateExpired) {
      expired = true;
      EXPECT_EQ(o.time_done_msc, (kStartMs / 86400000 + 1) * 86400000);
    }
  }
  EXPECT_TRUE(expired);
  EXPECT_LE(down.time_msc, kStartMs + 2 * 86400000LL);
  for (const Order& o : st_.working) EXPECT_NE(o.type, kOrderTypeSellStopLimit);
  ExpectBalanceIsTheDeals();
}

TEST_F(StreamTest, RolloversChargeSwapsIntoPositionsAndClosingDeals) {
  // Tuesday 23:59: one night, then Wednesday's triple night.
  const std::int64_t late = (kStartMs / 86400000 + 1) * 86400000 - 60000;
  ASSERT_EQ(Send(Request(kActionDeal, kOrderTypeSell, 0.5), late).retcode, kRetDone);
  TradeRequest eur = Request(kActionDeal, kOrderTypeBuy, 1.0);
  eur.symbol = u"EURUSD";
  ASSERT_EQ(Send(eur, late).retcode, kRetDone);
  AdvanceAccount(model_, acc_, &st_, late + 120000);
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(FindSymbol(u"EURUSD"))];
  EXPECT_NEAR(st_.positions[1].swap, s.swap_long * s.point() * s.contract_size, 0.01);
  AdvanceAccount(model_, acc_, &st_, late + 86400000 + 120000);
  EXPECT_NEAR(st_.positions[1].swap, 4 * s.swap_long * s.point() * s.contract_size, 0.02);
  const double swap = st_.positions[1].swap;
  eur.type = kOrderTypeSell;
  eur.position = st_.positions[1].ticket;
  ASSERT_EQ(Send(eur, late + 86400000 + 120000).retcode, kRetDone);
  EXPECT_EQ(st_.new_deals.back().swap, swap);
  ExpectBalanceIsTheDeals();
}

TEST_F(StreamTest, StopOutClosesTheMostLosingPositionsUntilTheLevelRecovers) {
  acc_.deposit = 1000;
  acc_.stop_out = 100;
  acc_.margin_call = 120;
  st_ = NewAccount(acc_, kStartMs);
  const double bid = Bid(u"BTCUSD", kStartMs);
  // Margin 0.01 lot x price / 100 each: a little under the equity in all.
  const double lots = std::floor(1000 / (bid / 100) * 0.95 * 100) / 100;
  ASSERT_EQ(Send(Request(kActionDeal, kOrderTypeBuy, std::round(lots * 50) / 100)).retcode,
            kRetDone);
  ASSERT_EQ(Send(Request(kActionDeal, kOrderTypeSell, std::round(lots * 30) / 100)).retcode,
            kRetDone);
  // A third position is refused while the margin level would be at or
  // below the margin-call level, though the free margin would cover it.
  const CheckOutcome third =
      CheckTrade(Quotes(model_, kStartMs), acc_, st_,
                 Request(kActionDeal, kOrderTypeBuy, std::round(lots * 10) / 100));
  EXPECT_EQ(third.retcode, kRetNoMoney);
  EXPECT_GT(third.margin_free, 0);
  AdvanceAccount(model_, acc_, &st_, kStartMs + 14 * 86400000LL);
  int stop_outs = 0;
  for (const Deal& d : st_.new_deals) stop_outs += d.reason == kReasonSo;
  EXPECT_GE(stop_outs, 1);
  ExpectBalanceIsTheDeals();
}

TEST_F(StreamTest, CloseByClosesBothByTheSmallerVolume) {
  const SendOutcome a = Send(Request(kActionDeal, kOrderTypeBuy, 0.3));
  const SendOutcome b = Send(Request(kActionDeal, kOrderTypeSell, 0.1));
  TradeRequest by = Request(kActionCloseBy, 0, 0);
  by.position = a.order;
  by.position_by = b.order;
  const SendOutcome c = Send(by);
  ASSERT_EQ(c.retcode, kRetDone);
  ASSERT_EQ(st_.positions.size(), 1u);
  EXPECT_NEAR(st_.positions[0].volume, 0.2, 1e-12);
  const Deal& da = st_.new_deals[st_.new_deals.size() - 2];
  const Deal& db = st_.new_deals.back();
  EXPECT_EQ(da.entry, kEntryOutBy);
  EXPECT_EQ(db.entry, kEntryOutBy);
  EXPECT_EQ(da.position_id, a.order);
  EXPECT_EQ(db.position_id, b.order);
  EXPECT_EQ(st_.new_orders.back().type, kOrderTypeCloseBy);
  EXPECT_EQ(st_.new_orders.back().position_by_id, b.order);
  ExpectBalanceIsTheDeals();
}

}  // namespace
}  // namespace zk5::term
