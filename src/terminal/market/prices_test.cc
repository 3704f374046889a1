#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "market/bars.h"
#include "market/prices.h"

namespace zk5::term {
namespace {

// Monday 2024-03-04 12:00 UTC, and the start of the Saturday after it.
constexpr std::int64_t kMondayNoonMinute = 1709553600 / 60;
constexpr std::int64_t kSaturdayMinute = (1709510400 + 5 * 86400) / 60;  // 00:00

int Sym(const char16_t* name) {
  const int s = FindSymbol(name);
  EXPECT_GE(s, 0);
  return s;
}

std::vector<Tick> Ticks(const PriceModel& m, int sym, std::int64_t minute) {
  std::vector<Tick> out;
  m.MinuteTicks(sym, minute, &out);
  return out;
}

TEST(Catalogue, HasAboutThirtySymbolsWithSaneSettings) {
  EXPECT_GE(Symbols().size(), 30u);
  for (const SymbolSpec& s : Symbols()) {
    SCOPED_TRACE(std::string(s.name.begin(), s.name.end()));
    EXPECT_LE(s.name.size(), 29u);
    EXPECT_GT(s.contract_size, 0);
    EXPECT_GT(s.volume_step, 0);
    EXPECT_LE(s.volume_min, s.volume_max);
    EXPECT_LE(s.digits, 5u);
    EXPECT_GT(s.spread, 0);
    EXPECT_EQ(FindSymbol(s.name), &s - &Symbols()[0]);
  }
  EXPECT_EQ(FindSymbol(u"NOPE"), -1);
}

class PerSymbol : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(PerSymbol, MinuteTicksAreDeterministicOrderedAndQuoted) {
  const PriceModel a(7), b(7), other(8);
  const int sym = Sym(GetParam());
  std::int64_t prev_ms = 0;
  for (std::int64_t m = kMondayNoonMinute; m < kMondayNoonMinute + 30; ++m) {
    const std::vector<Tick> t1 = Ticks(a, sym, m);
    const std::vector<Tick> t2 = Ticks(b, sym, m);
    ASSERT_FALSE(t1.empty());
    ASSERT_EQ(t1.size(), t2.size());
    EXPECT_EQ(a.MinuteTickCount(sym, m), static_cast<int>(t1.size()));
    for (std::size_t j = 0; j < t1.size(); ++j) {
      EXPECT_EQ(t1[j].time_msc, t2[j].time_msc);
      EXPECT_EQ(t1[j].bid, t2[j].bid);
      EXPECT_EQ(t1[j].ask, t2[j].ask);
      EXPECT_EQ(t1[j].flags, t2[j].flags);
      EXPECT_GT(t1[j].time_msc, prev_ms);  // strictly increasing, also across minutes
      EXPECT_GE(t1[j].time_msc, m * 60000);
      EXPECT_LT(t1[j].time_msc, m * 60000 + 60000);
      EXPECT_GT(t1[j].bid, 0);
      EXPECT_LT(t1[j].bid, t1[j].ask);
      EXPECT_NE(t1[j].flags, 0u);
      prev_ms = t1[j].time_msc;
    }
  }
  // Another seed is another market.
  bool differs = false;
  for (std::int64_t m = kMondayNoonMinute; m < kMondayNoonMinute + 30; ++m) {
    const auto x = Ticks(a, sym, m), y = Ticks(other, sym, m);
    differs = differs || x.size() != y.size() || x[0].bid != y[0].bid;
  }
  EXPECT_TRUE(differs);
}

TEST_P(PerSymbol, PricesStayNearTheSymbolsLevelForYears) {
  const PriceModel m(1);
  const int sym = Sym(GetParam());
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  for (std::int64_t day = kHistoryStartSec / 86400; day < kHistoryStartSec / 86400 + 4400;
       day += 37) {
    const double level = std::exp(m.LogLevel(sym, day * 1440 + 600));
    EXPECT_GT(level, 0.4) << day;
    EXPECT_LT(level, 2.5) << day;
  }
  // The whole-day path and the descent to a single minute agree.
  for (std::int64_t minute :
       {kMondayNoonMinute, kMondayNoonMinute + 1, kMondayNoonMinute + 719,
        kMondayNoonMinute / 1440 * 1440, kMondayNoonMinute / 1440 * 1440 + 1439}) {
    EXPECT_DOUBLE_EQ(m.LogLevel(sym, minute), m.LogLevelSlow(sym, minute));
  }
  // Neighbouring minutes are close: the path is continuous.
  const double step =
      std::fabs(m.LogLevel(sym, kMondayNoonMinute + 1) - m.LogLevel(sym, kMondayNoonMinute));
  EXPECT_LT(step, 10 * s.daily_volatility / std::sqrt(1440.0));
}

INSTANTIATE_TEST_SUITE_P(Symbols, PerSymbol,
                         ::testing::Values(u"EURUSD", u"USDJPY", u"XAUUSD", u"US500", u"JP225",
                                           u"BTCUSD", u"XRPUSD"));

TEST(Prices, WeekendsAreClosedExceptForCrypto) {
  const PriceModel m(1);
  EXPECT_EQ(m.MinuteTickCount(Sym(u"EURUSD"), kSaturdayMinute), 0);
  EXPECT_EQ(m.MinuteTickCount(Sym(u"US500"), kSaturdayMinute + 1440), 0);
  EXPECT_GT(m.MinuteTickCount(Sym(u"BTCUSD"), kSaturdayMinute), 0);
  EXPECT_EQ(m.MinuteTickCount(Sym(u"EURUSD"), kHistoryStartMinute - 1), 0);
  EXPECT_GT(m.MinuteTickCount(Sym(u"EURUSD"), kHistoryStartMinute), 0);
}

TEST(Prices, CryptoFeedsCarryTradeTicks) {
  const PriceModel m(1);
  int trades = 0, quotes = 0;
  for (std::int64_t minute = kMondayNoonMinute; minute < kMondayNoonMinute + 10; ++minute) {
    for (const Tick& t : Ticks(m, Sym(u"BTCUSD"), minute)) {
      if (IsTradeTick(t)) {
        ++trades;
        EXPECT_TRUE(t.last == t.bid || t.last == t.ask);
        EXPECT_GT(t.volume, 0);
        EXPECT_NE(t.flags & (kTickFlagBuy | kTickFlagSell), 0u);
      } else {
        ++quotes;
        EXPECT_TRUE(IsInfoTick(t));
      }
    }
    for (const Tick& t : Ticks(m, Sym(u"EURUSD"), minute)) EXPECT_FALSE(IsTradeTick(t));
  }
  EXPECT_GT(trades, 0);
  EXPECT_GT(quotes, trades);
}

TEST(Prices, LastTickIsTheLatestNotAfterTheTime) {
  const PriceModel m(1);
  const int sym = Sym(u"EURUSD");
  const auto ticks = Ticks(m, sym, kMondayNoonMinute);
  ASSERT_GE(ticks.size(), 2u);
  Tick t;
  ASSERT_TRUE(m.LastTick(sym, ticks[1].time_msc, &t));
  EXPECT_EQ(t.time_msc, ticks[1].time_msc);
  ASSERT_TRUE(m.LastTick(sym, ticks[1].time_msc + 1, &t));
  EXPECT_EQ(t.time_msc, ticks[1].time_msc);
  // On Saturday the latest EURUSD tick is Friday's last.
  ASSERT_TRUE(m.LastTick(sym, kSaturdayMinute * 60000 + 3600000, &t));
  const auto friday = Ticks(m, sym, kSaturdayMinute - 1);
  ASSERT_FALSE(friday.empty());
  EXPECT_EQ(t.time_msc, friday.back().time_msc);
  EXPECT_FALSE(m.LastTick(sym, kHistoryStartSec * 1000 - 1, &t));
}

}  // namespace
}  // namespace zk5::term
