#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "accounts/legacy_file.h"
#include "accounts/trade.h"
#include "accounts/trade_records.h"
#include "ipc/records.h"

namespace zk5::term {
namespace {

// Tuesday 2024-03-05 14:00:00.250 UTC, and the Saturday after it.
constexpr std::int64_t kTuesdayMs = 1709647200250;
constexpr std::int64_t kSaturdayMs = kTuesdayMs + 4 * 86400000LL;

class TradeTest : public ::testing::Test {
 protected:
  TradeTest() : model_(1), quotes_(model_, kTuesdayMs) {
    acc_.login = 42;
    acc_.leverage = 100;
    state_ = NewAccount(acc_, kTuesdayMs - 1000);
  }

  TradeRequest Market(const char16_t* symbol, std::uint32_t type, double volume,
                      std::uint64_t position = 0) {
    TradeRequest r;
    r.action = kActionDeal;
    r.symbol = symbol;
    r.type = type;
    r.volume = volume;
    r.position = position;
    r.magic = 77;
    r.comment = u"test";
    return r;
  }

  PriceModel model_;
  Quotes quotes_;
  AccountConfig acc_;
  AccountState state_;
};

TEST_F(TradeTest, ANewAccountHoldsItsDepositAsABalanceDeal) {
  EXPECT_EQ(state_.balance, 10000);
  ASSERT_EQ(state_.new_deals.size(), 1u);
  EXPECT_EQ(state_.new_deals[0].type, kDealTypeBalance);
  EXPECT_EQ(state_.new_deals[0].profit, 10000);
}

TEST_F(TradeTest, OpenAndCloseAPositionByAnOppositeDeal) {
  double bid, ask;
  ASSERT_TRUE(quotes_.Price(FindSymbol(u"EURUSD"), &bid, &ask));
  const SendOutcome open = ExecuteTrade(quotes_, acc_, &state_, Market(u"EURUSD", 0, 0.5));
  ASSERT_EQ(open.retcode, kRetDone);
  EXPECT_EQ(open.price, ask);  // a buy fills at the ask
  ASSERT_EQ(state_.positions.size(), 1u);
  const Position pos = state_.positions[0];
  EXPECT_EQ(pos.ticket, open.order);
  EXPECT_EQ(pos.volume, 0.5);
  EXPECT_EQ(pos.magic, 77u);
  EXPECT_EQ(state_.new_deals.back().entry, kEntryIn);
  EXPECT_EQ(state_.new_deals.back().position_id, pos.ticket);

  // Margin: 0.5 lot * 100000 EUR / 100, in USD at the EURUSD bid.
  const AccountSummary sum = Summarise(quotes_, acc_, state_);
  EXPECT_NEAR(sum.margin, 0.5 * 100000 / 100 * bid, 0.01);
  EXPECT_NEAR(sum.profit, std::round((bid - ask) * 50000 * 100) / 100, 0.011);
  EXPECT_NEAR(sum.equity, state_.balance + sum.profit, 1e-9);
  EXPECT_NEAR(state_.balance, 10000 - 3.5 * 0.5, 1e-9);  // the commission

  // Close 0.2 first, then the rest, an hour later.
  const Quotes later(model_, kTuesdayMs + 3600000);
  double bid2, ask2;
  ASSERT_TRUE(later.Price(FindSymbol(u"EURUSD"), &bid2, &ask2));
  const SendOutcome part =
      ExecuteTrade(later, acc_, &state_, Market(u"EURUSD", 1, 0.2, pos.ticket));
  ASSERT_EQ(part.retcode, kRetDone);
  EXPECT_EQ(part.price, bid2);
  ASSERT_EQ(state_.positions.size(), 1u);
  EXPECT_NEAR(state_.positions[0].volume, 0.3, 1e-12);
  const SendOutcome rest = ExecuteTrade(later, acc_, &state_, Market(u"", 1, 0.3, pos.ticket));
  ASSERT_EQ(rest.retcode, kRetDone);
  EXPECT_TRUE(state_.positions.empty());
  ASSERT_EQ(state_.new_deals.size(), 4u);
  double realised = 0, money = 0;
  for (const Deal& d : state_.new_deals) {
    money += d.profit + d.swap + d.commission + d.fee;
    if (d.entry == kEntryOut) {
      EXPECT_EQ(d.position_id, pos.ticket);
      realised += d.profit + d.swap;
    }
    if (d.type != kDealTypeBalance) {
      EXPECT_NEAR(d.commission, -3.5 * d.volume, 0.0051);
    }
  }
  EXPECT_NEAR(realised, std::round((bid2 - ask) * 50000 * 100) / 100, 0.011);
  EXPECT_NEAR(state_.balance, money, 1e-9);
  EXPECT_EQ(state_.new_orders.size(), 3u);
  // Tickets are unique and increasing.
  EXPECT_LT(open.deal, part.order);
  EXPECT_LT(part.deal, rest.order);
}

struct Refusal {
  const char* what;
  TradeRequest request;
  std::uint32_t retcode;
};

TradeRequest With(std::uint32_t action, const char16_t* symbol, std::uint32_t type, double volume) {
  TradeRequest r;
  r.action = action;
  r.symbol = symbol;
  r.type = type;
  r.volume = volume;
  return r;
}

class Refusals : public TradeTest, public ::testing::WithParamInterface<int> {};

TEST_P(Refusals, AreAnsweredWithTheirReturnCodeAndChangeNothing) {
  double bid, ask;
  quotes_.Price(FindSymbol(u"EURUSD"), &bid, &ask);
  TradeRequest sl = With(kActionDeal, u"EURUSD", 0, 0.1);
  sl.sl = bid + 0.0001;  // above the bid: on the wrong side for a buy
  TradeRequest near = With(kActionDeal, u"EURUSD", 1, 0.1);
  near.tp = ask - 0.00002;  // closer to the ask than the stops level
  TradeRequest limit = With(kActionPending, u"EURUSD", 2, 0.1);
  limit.price = ask + 0.001;  // a buy limit above the market
  TradeRequest stop = With(kActionPending, u"EURUSD", 5, 0.1);
  stop.price = std::round((bid - 0.002) * 1e5) / 1e5;  // a sell stop below it, but expired
  stop.type_time = 2;
  stop.expiration = kTuesdayMs / 1000 - 60;
  TradeRequest odd = With(kActionPending, u"EURUSD", 4, 0.1);
  odd.price = ask + 0.010005;  // not a whole number of points
  TradeRequest missing = With(kActionModify, u"EURUSD", 2, 0.1);
  missing.order = 4242;
  TradeRequest fill = With(kActionDeal, u"EURUSD", 0, 0.1);
  fill.type_filling = 3;
  TradeRequest gone = With(kActionDeal, u"EURUSD", 1, 0.1);
  gone.position = 999;
  TradeRequest returned = With(kActionDeal, u"EURUSD", 0, 0.1);
  returned.type_filling = kFillingReturn;  // market execution has no remainder to keep
  TradeRequest fok_on_ioc = With(kActionDeal, u"GER40", 0, 0.1);
  fok_on_ioc.type_filling = kFillingFok;
  TradeRequest ioc_on_fok = With(kActionDeal, u"XAGUSD", 1, 0.1);
  ioc_on_fok.type_filling = kFillingIoc;
  TradeRequest stop_returned = With(kActionPending, u"EURUSD", 4, 0.1);
  stop_returned.price = std::round((ask + 0.002) * 1e5) / 1e5;
  stop_returned.type_filling = kFillingReturn;
  TradeRequest short_limit = With(kActionPending, u"LTCUSD", 3, 0.1);
  short_limit.price = 1000;
  const Refusal cases[] = {
      {"stop loss above the bid", sl, kRetInvalidStops},
      {"take profit inside the stops level", near, kRetInvalidStops},
      {"buy limit above the market", limit, kRetInvalidPrice},
      {"expiration in the past", stop, kRetInvalidExpiration},
      {"price between points", odd, kRetInvalidPrice},
      {"modify an unknown order", missing, kRetInvalid},
      {"close by unknown positions", With(kActionCloseBy, u"EURUSD", 0, 0.1), kRetPositionClosed},
      {"stops of an unknown position", With(kActionSltp, u"EURUSD", 0, 0), kRetPositionClosed},
      {"limit type on a market deal", With(kActionDeal, u"EURUSD", 2, 0.1), kRetInvalid},
      {"unknown action", With(99, u"EURUSD", 0, 0.1), kRetInvalid},
      {"unknown symbol", With(kActionDeal, u"NOPE", 0, 0.1), kRetInvalid},
      {"volume below minimum", With(kActionDeal, u"EURUSD", 0, 0.001), kRetInvalidVolume},
      {"volume off step", With(kActionDeal, u"EURUSD", 0, 0.015), kRetInvalidVolume},
      {"volume above maximum", With(kActionDeal, u"EURUSD", 0, 1000), kRetInvalidVolume},
      {"too big for the money", With(kActionDeal, u"XAUUSD", 0, 50), kRetNoMoney},
      {"filling", fill, kRetInvalidFill},
      {"unknown position", gone, kRetPositionClosed},
      {"return filling on a market deal", returned, kRetInvalidFill},
      {"fill-or-kill on an immediate-or-cancel symbol", fok_on_ioc, kRetInvalidFill},
      {"immediate-or-cancel on a fill-or-kill symbol", ioc_on_fok, kRetInvalidFill},
      {"return filling on a stop order", stop_returned, kRetInvalidFill},
      {"a new position on a close-only symbol", With(kActionDeal, u"XRPUSD", 0, 100),
       kRetCloseOnly},
      {"a pending order on a close-only symbol", With(kActionPending, u"XRPUSD", 2, 100),
       kRetCloseOnly},
      {"a sell on a long-only symbol", With(kActionDeal, u"LTCUSD", 1, 0.1), kRetLongOnly},
      {"a sell limit on a long-only symbol", short_limit, kRetLongOnly},
  };
  const Refusal& c = cases[GetParam()];
  SCOPED_TRACE(c.what);
  const std::string before = SerializeLegacyAccount(state_);
  const CheckOutcome check = CheckTrade(quotes_, acc_, state_, c.request);
  EXPECT_EQ(check.retcode, c.retcode);
  EXPECT_FALSE(check.comment.empty());
  const SendOutcome sent = ExecuteTrade(quotes_, acc_, &state_, c.request);
  EXPECT_EQ(sent.retcode, c.retcode);
  EXPECT_EQ(sent.deal, 0u);
  AccountState copy = state_;
  copy.next_request_id = 1;  // only the request counter moved
  EXPECT_EQ(SerializeLegacyAccount(copy), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusals, ::testing::Range(0, 25));

TEST_F(TradeTest, FillingPoliciesAndTradeModesAdmitWhatTheSymbolAllows) {
  TradeRequest ioc = Market(u"GER40", 0, 0.1);
  ioc.type_filling = kFillingIoc;
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, ioc).retcode, kRetDone);
  TradeRequest fok = Market(u"XAGUSD", 1, 0.1);
  fok.type_filling = kFillingFok;
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, fok).retcode, kRetDone);
  double bid, ask;
  ASSERT_TRUE(quotes_.Price(FindSymbol(u"EURUSD"), &bid, &ask));
  // Limit and stop-limit orders rest at their price: return is theirs.
  TradeRequest limit = With(kActionPending, u"EURUSD", kOrderTypeBuyLimit, 0.1);
  limit.price = std::round((bid - 0.002) * 1e5) / 1e5;
  limit.type_filling = kFillingReturn;
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, limit).retcode, kRetDone);
  TradeRequest stop_limit = With(kActionPending, u"EURUSD", kOrderTypeSellStopLimit, 0.1);
  stop_limit.price = std::round((bid - 0.002) * 1e5) / 1e5;
  stop_limit.stoplimit = std::round((bid - 0.001) * 1e5) / 1e5;
  stop_limit.type_filling = kFillingReturn;
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, stop_limit).retcode, kRetDone);

  // Long only: a buy opens, and a sell may close it.
  const SendOutcome bought = ExecuteTrade(quotes_, acc_, &state_, Market(u"LTCUSD", 0, 0.5));
  ASSERT_EQ(bought.retcode, kRetDone);
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, Market(u"LTCUSD", 1, 0.5, bought.order)).retcode,
            kRetDone);
  // Netting: a sell no larger than the long position reduces it; a larger
  // one would reverse it into a short.
  AccountConfig netting = acc_;
  netting.netting = true;
  AccountState net = NewAccount(netting, kTuesdayMs - 1000);
  ASSERT_EQ(ExecuteTrade(quotes_, netting, &net, Market(u"LTCUSD", 0, 0.5)).retcode, kRetDone);
  EXPECT_EQ(ExecuteTrade(quotes_, netting, &net, Market(u"LTCUSD", 1, 0.8)).retcode, kRetLongOnly);
  EXPECT_EQ(ExecuteTrade(quotes_, netting, &net, Market(u"LTCUSD", 1, 0.2)).retcode, kRetDone);

  // Close only: a position held from before may be closed, not added to.
  Position held;
  held.ticket = 5000;
  held.time_msc = held.time_update_msc = kTuesdayMs - 60000;
  held.volume = 200;
  held.price_open = 0.55;
  held.symbol = u"XRPUSD";
  state_.positions.push_back(held);
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, Market(u"XRPUSD", 0, 100)).retcode, kRetCloseOnly);
  EXPECT_EQ(ExecuteTrade(quotes_, acc_, &state_, Market(u"XRPUSD", 1, 100, held.ticket)).retcode,
            kRetDone);
  net.positions.push_back(held);
  EXPECT_EQ(ExecuteTrade(quotes_, netting, &net, Market(u"XRPUSD", 0, 100)).retcode, kRetCloseOnly);
  EXPECT_EQ(ExecuteTrade(quotes_, netting, &net, Market(u"XRPUSD", 1, 300)).retcode, kRetCloseOnly);
  EXPECT_EQ(ExecuteTrade(quotes_, netting, &net, Market(u"XRPUSD", 1, 200)).retcode, kRetDone);
  EXPECT_TRUE(net.positions.empty() || net.positions[0].symbol != u"XRPUSD");
}

TEST_F(TradeTest, ClosedMarketsRefuse) {
  const Quotes weekend(model_, kSaturdayMs);
  EXPECT_EQ(ExecuteTrade(weekend, acc_, &state_, Market(u"EURUSD", 0, 0.1)).retcode,
            kRetMarketClosed);
  EXPECT_EQ(ExecuteTrade(weekend, acc_, &state_, Market(u"BTCUSD", 0, 0.1)).retcode, kRetDone);
}

TEST_F(TradeTest, NettingAddsReducesAndReversesOnePositionPerSymbol) {
  AccountConfig netting = acc_;
  netting.netting = true;
  ASSERT_EQ(ExecuteTrade(quotes_, netting, &state_, Market(u"EURUSD", 0, 0.1)).retcode, kRetDone);
  ASSERT_EQ(ExecuteTrade(quotes_, netting, &state_, Market(u"EURUSD", 0, 0.2)).retcode, kRetDone);
  ASSERT_EQ(state_.positions.size(), 1u);
  const std::uint64_t id = state_.positions[0].ticket;
  EXPECT_NEAR(state_.positions[0].volume, 0.3, 1e-12);
  ASSERT_EQ(ExecuteTrade(quotes_, netting, &state_, Market(u"EURUSD", 1, 0.1)).retcode, kRetDone);
  EXPECT_EQ(state_.new_deals.back().entry, kEntryOut);
  EXPECT_NEAR(state_.positions[0].volume, 0.2, 1e-12);
  ASSERT_EQ(ExecuteTrade(quotes_, netting, &state_, Market(u"EURUSD", 1, 0.5)).retcode, kRetDone);
  EXPECT_EQ(state_.new_deals.back().entry, kEntryInOut);
  ASSERT_EQ(state_.positions.size(), 1u);
  EXPECT_EQ(state_.positions[0].ticket, id);
  EXPECT_EQ(state_.positions[0].type, kOrderTypeSell);
  EXPECT_NEAR(state_.positions[0].volume, 0.3, 1e-12);
  ASSERT_EQ(ExecuteTrade(quotes_, netting, &state_, Market(u"EURUSD", 0, 0.3)).retcode, kRetDone);
  EXPECT_TRUE(state_.positions.empty());
  for (const Deal& d : state_.new_deals) {
    if (d.type != kDealTypeBalance) {
      EXPECT_EQ(d.position_id, id);
    }
  }
}

TEST_F(TradeTest, CheckReportsTheMarginAfterTheDeal) {
  const CheckOutcome c = CheckTrade(quotes_, acc_, state_, Market(u"US500", 1, 2.0));
  EXPECT_EQ(c.retcode, kRetCheckOk);
  double bid, ask, margin;
  ASSERT_TRUE(quotes_.Price(FindSymbol(u"US500"), &bid, &ask));
  ASSERT_TRUE(MarginFor(quotes_, acc_, FindSymbol(u"US500"), 2.0, bid, &margin));
  EXPECT_NEAR(margin, 2.0 * bid / 100, 0.01);  // CFD with leverage
  EXPECT_EQ(c.margin, margin);
  EXPECT_EQ(c.margin_free, c.equity - margin);
  EXPECT_EQ(c.balance, 10000);
}

TEST_F(TradeTest, CurrencyConversionGoesThroughDirectPairsOrUsd) {
  double r;
  ASSERT_TRUE(quotes_.Rate(u"USD", u"USD", &r));
  EXPECT_EQ(r, 1.0);
  double bid, ask;
  ASSERT_TRUE(quotes_.Price(FindSymbol(u"USDJPY"), &bid, &ask));
  ASSERT_TRUE(quotes_.Rate(u"JPY", u"USD", &r));
  EXPECT_DOUBLE_EQ(r, 1.0 / ask);
  ASSERT_TRUE(quotes_.Rate(u"GBP", u"JPY", &r));  // GBPJPY directly
  ASSERT_TRUE(quotes_.Rate(u"SEK", u"EUR", &r));  // through USD
  EXPECT_GT(r, 0.05);
  EXPECT_LT(r, 0.2);
  EXPECT_FALSE(quotes_.Rate(u"XYZ", u"USD", &r));
  // Profit of a yen pair in dollars.
  double profit;
  ASSERT_TRUE(ProfitFor(quotes_, acc_, FindSymbol(u"USDJPY"), 0, 1.0, 150.0, 151.0, &profit));
  EXPECT_NEAR(profit, std::round(100000.0 / ask * 100) / 100, 0.01);
}

TEST_F(TradeTest, SwapIsChargedPerNightTripleOnWednesday) {
  const int eur = FindSymbol(u"EURUSD");
  const std::int64_t wednesday = kTuesdayMs / 86400000 + 1;
  double one, three, none;
  ASSERT_TRUE(SwapFor(quotes_, acc_, eur, 0, 1.0, wednesday, &one));
  ASSERT_TRUE(SwapFor(quotes_, acc_, eur, 0, 1.0, wednesday + 1, &three));
  ASSERT_TRUE(SwapFor(quotes_, acc_, eur, 0, 1.0, wednesday + 4, &none));  // Saturday night
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(eur)];
  EXPECT_NEAR(one, s.swap_long * s.point() * s.contract_size, 0.01);
  EXPECT_NEAR(three, 3 * one, 0.011);
  EXPECT_EQ(none, 0);
}

TEST_F(TradeTest, OldAccountFilesRoundTripAndRefuseDamage) {
  ASSERT_EQ(ExecuteTrade(quotes_, acc_, &state_, Market(u"GBPUSD", 1, 0.3)).retcode, kRetDone);
  ASSERT_EQ(ExecuteTrade(quotes_, acc_, &state_, Market(u"BTCUSD", 0, 0.05)).retcode, kRetDone);
  const std::string bytes = SerializeLegacyAccount(state_);
  AccountState back;
  ASSERT_TRUE(ParseLegacyAccount(bytes, &back));
  EXPECT_EQ(SerializeLegacyAccount(back), bytes);
  ASSERT_EQ(back.positions.size(), 2u);
  EXPECT_EQ(back.positions[0].symbol, u"GBPUSD");
  EXPECT_EQ(back.positions[0].time_msc, state_.positions[0].time_msc);
  EXPECT_EQ(back.new_deals.size(), 3u);
  EXPECT_EQ(back.new_deals[0].comment, u"Initial deposit");
  EXPECT_EQ(back.next_ticket, state_.next_ticket);
  for (std::size_t cut : {std::size_t{0}, std::size_t{7}, bytes.size() / 2, bytes.size() - 1}) {
    EXPECT_FALSE(ParseLegacyAccount(bytes.substr(0, cut), &back)) << cut;
  }
  std::string flipped = bytes;
  flipped[100] ^= 1;
  EXPECT_FALSE(ParseLegacyAccount(flipped, &back));
}

}  // namespace
}  // namespace zk5::term
