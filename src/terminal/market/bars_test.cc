#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "market/bars.h"

namespace zk5::term {
namespace {

// Wednesday 2024-03-06 00:00 UTC; "now" a week later.
constexpr std::int64_t kWednesday = 1709683200;
constexpr std::int64_t kNowMs = (kWednesday + 7 * 86400 + 3600 + 17) * 1000 + 345;

Timeframe Tf(std::int32_t code) {
  Timeframe tf;
  EXPECT_TRUE(ParseTimeframe(code, &tf)) << code;
  return tf;
}

TEST(Calendar, CivilDaysRoundTrip) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2024, 3, 6) * 86400, kWednesday);
  for (std::int64_t d = -1000; d < 30000; d += 17) {
    std::int64_t y;
    unsigned m, day;
    CivilFromDays(d, &y, &m, &day);
    EXPECT_EQ(DaysFromCivil(y, m, day), d);
  }
}

TEST(Timeframes, CodesAndBarStarts) {
  Timeframe tf;
  EXPECT_FALSE(ParseTimeframe(0, &tf));
  EXPECT_FALSE(ParseTimeframe(7, &tf));
  EXPECT_FALSE(ParseTimeframe(0x4005, &tf));
  EXPECT_EQ(BarStart(Tf(0x4001), kWednesday + 3599), kWednesday);
  EXPECT_EQ(BarStart(Tf(0x4004), kWednesday + 5 * 3600), kWednesday + 4 * 3600);
  EXPECT_EQ(BarStart(Tf(0x4018), kWednesday + 86399), kWednesday);
  // Weeks open on Sunday: 2024-03-03.
  EXPECT_EQ(BarStart(Tf(0x8001), kWednesday + 100), kWednesday - 3 * 86400);
  EXPECT_EQ(BarStart(Tf(0xC001), kWednesday), DaysFromCivil(2024, 3, 1) * 86400);
  EXPECT_EQ(NextBarStart(Tf(0xC001), DaysFromCivil(2024, 12, 1) * 86400),
            DaysFromCivil(2025, 1, 1) * 86400);
  EXPECT_EQ(PrevBarStart(Tf(0xC001), DaysFromCivil(2024, 3, 1) * 86400),
            DaysFromCivil(2024, 2, 1) * 86400);
}

// Each timeframe against the next smaller one it is made of.
struct Pair {
  std::int32_t big;
  std::int32_t small;
};

class Consistency : public ::testing::TestWithParam<Pair> {};

TEST_P(Consistency, ABarIsItsSmallerBarsCombined) {
  const PriceModel model(3);
  BarSource bars(model);
  const Timeframe big = Tf(GetParam().big), small = Tf(GetParam().small);
  for (const char16_t* name : {u"EURUSD", u"BTCUSD"}) {
    const int sym = FindSymbol(name);
    const std::vector<Bar> outer =
        bars.Range(sym, big, kWednesday - 40 * 86400, kWednesday, kNowMs, 3);
    ASSERT_FALSE(outer.empty());
    for (const Bar& b : outer) {
      Bar sum;
      sum.time = b.time;
      for (const Bar& part :
           bars.Range(sym, small, b.time, NextBarStart(big, b.time) - 1, kNowMs, 100000)) {
        MergeBar(&sum, part);
      }
      EXPECT_EQ(sum.open, b.open);
      EXPECT_EQ(sum.high, b.high);
      EXPECT_EQ(sum.low, b.low);
      EXPECT_EQ(sum.close, b.close);
      EXPECT_EQ(sum.tick_volume, b.tick_volume);
      EXPECT_EQ(sum.spread, b.spread);
      EXPECT_EQ(sum.real_volume, b.real_volume);
      EXPECT_LE(b.low, std::min(b.open, b.close));
      EXPECT_GE(b.high, std::max(b.open, b.close));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Timeframes, Consistency,
                         ::testing::Values(Pair{5, 1}, Pair{15, 5}, Pair{0x4001, 1},
                                           Pair{0x4001, 30}, Pair{0x4004, 0x4001},
                                           Pair{0x4018, 0x4001}, Pair{0x4018, 0x400C},
                                           Pair{0x8001, 0x4018}, Pair{0xC001, 0x4018}));

TEST(Bars, MinuteBarsAreTheirTicks) {
  const PriceModel model(3);
  BarSource bars(model);
  const int sym = FindSymbol(u"GBPUSD");
  const std::int64_t minute = (kWednesday + 13 * 3600) / 60;
  std::vector<Tick> ticks;
  const int n = model.MinuteTicks(sym, minute, &ticks);
  const Bar b = bars.Compute(sym, Tf(1), minute * 60, kNowMs);
  ASSERT_GT(n, 0);
  EXPECT_EQ(b.tick_volume, static_cast<std::uint64_t>(n));
  EXPECT_EQ(b.open, ticks[0].bid);
  EXPECT_EQ(b.close, ticks[n - 1].bid);
  std::int64_t hi = ticks[0].bid, lo = ticks[0].bid;
  for (int j = 0; j < n; ++j) {
    hi = std::max(hi, ticks[j].bid);
    lo = std::min(lo, ticks[j].bid);
  }
  EXPECT_EQ(b.high, hi);
  EXPECT_EQ(b.low, lo);
}

TEST(Bars, TheCurrentBarHoldsOnlyTicksUpToNow) {
  const PriceModel model(3);
  BarSource bars(model);
  const int sym = FindSymbol(u"BTCUSD");
  const std::int64_t minute = kNowMs / 60000;
  std::vector<Tick> ticks;
  const int n = model.MinuteTicks(sym, minute, &ticks);
  const std::int64_t seen = std::count_if(ticks.begin(), ticks.begin() + n,
                                          [](const Tick& t) { return t.time_msc <= kNowMs; });
  EXPECT_EQ(bars.Compute(sym, Tf(1), minute * 60, kNowMs).tick_volume,
            static_cast<std::uint64_t>(seen));
  EXPECT_EQ(bars.Compute(sym, Tf(1), minute * 60 + 60, kNowMs).tick_volume, 0u);
}

TEST(Bars, RequestsAgreeWithEachOther) {
  const PriceModel model(5);
  BarSource bars(model);
  const int sym = FindSymbol(u"EURUSD");
  const Timeframe h1 = Tf(0x4001);
  const std::vector<Bar> pos = bars.FromPos(sym, h1, 0, 200, kNowMs, 100000);
  ASSERT_EQ(pos.size(), 200u);
  EXPECT_EQ(pos.back().time, BarStart(h1, kNowMs / 1000));  // position 0 is the current bar
  const std::vector<Bar> from = bars.From(sym, h1, pos.back().time, 200, kNowMs, 100000);
  const std::vector<Bar> range =
      bars.Range(sym, h1, pos.front().time, pos.back().time, kNowMs, 100000);
  ASSERT_EQ(from.size(), pos.size());
  ASSERT_EQ(range.size(), pos.size());
  for (std::size_t i = 0; i < pos.size(); ++i) {
    EXPECT_EQ(from[i].time, pos[i].time);
    EXPECT_EQ(range[i].close, pos[i].close);
    if (i > 0) {
      EXPECT_GT(pos[i].time, pos[i - 1].time);
    }
  }
  // No bars at the weekend for a currency pair: the 200 hours skip it.
  for (const Bar& b : pos) EXPECT_FALSE(IsWeekend(b.time));
  // Positions further back, and the limit on how many a chart keeps.
  const std::vector<Bar> older = bars.FromPos(sym, h1, 100, 100, kNowMs, 100000);
  ASSERT_EQ(older.size(), 100u);
  EXPECT_EQ(older.back().time, pos[99].time);
  EXPECT_EQ(bars.FromPos(sym, h1, 0, 500, kNowMs, 50).size(), 50u);
  EXPECT_TRUE(bars.FromPos(sym, h1, 60, 5, kNowMs, 50).empty());
  EXPECT_EQ(bars.Range(sym, h1, 0, kNowMs / 1000, kNowMs, 10).front().time, kHistoryStartSec);
}

TEST(Bars, HistoryReachesBackTwoYears) {
  const PriceModel model(1);
  BarSource bars(model);
  const int sym = FindSymbol(u"XAUUSD");
  const std::int64_t two_years_ago = kNowMs / 1000 - 2 * 366 * 86400;
  const auto days = bars.From(sym, Tf(0x4018), two_years_ago, 3, kNowMs, 100000);
  ASSERT_EQ(days.size(), 3u);
  EXPECT_LE(days.back().time, two_years_ago);
  EXPECT_GT(days.back().time, two_years_ago - 5 * 86400);
  const auto minutes =
      bars.Range(sym, Tf(1), two_years_ago, two_years_ago + 7 * 86400, kNowMs, 100000);
  EXPECT_GT(minutes.size(), 1440u);
}

}  // namespace
}  // namespace zk5::term
