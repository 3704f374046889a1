#include "market/import.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zk5::term {
namespace {

struct BadCase {
  const char* name;
  SegmentKind kind;
  const char* text;
  std::uint64_t line;
  const char* error;
};

class Malformed : public ::testing::TestWithParam<BadCase> {};

TEST_P(Malformed, IsRejectedWholeWithItsLine) {
  const BadCase& c = GetParam();
  const ParsedHistory p = ParseHistoryCsv(c.text, c.kind, u"X", -1);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.line, c.line);
  EXPECT_EQ(p.error, c.error);
  EXPECT_TRUE(p.records.empty());
}

constexpr SegmentKind kBars = SegmentKind::kBars;
constexpr SegmentKind kTicks = SegmentKind::kTicks;

INSTANTIATE_TEST_SUITE_P(
    Cases, Malformed,
    ::testing::Values(
        BadCase{"header", kBars, "time,open,high,low,close\n60,1,1,1,1\n", 1,
                "the header must be time,open,high,low,close,tick_volume[,spread,real_volume]"},
        BadCase{"empty", kTicks, "time_msc,bid,ask\n\n", 0, "no rows after the header"},
        BadCase{"columns", kBars, "time,open,high,low,close,tick_volume\n60,1,1,1,1,1\n120,1,1,1\n",
                3, "expected 6 columns"},
        BadCase{"minute", kBars, "time,open,high,low,close,tick_volume\n61,1,1,1,1,1\n", 2,
                "time is not the start of a minute"},
        BadCase{"date", kBars, "time,open,high,low,close,tick_volume\n2024-02-30 10:00,1,1,1,1,1\n",
                2,
                "time is not seconds since 1970 or YYYY-MM-DD[T]HH:MM[:SS][Z|+HH:MM]: \"2024-02-30 "
                "10:00\""},
        BadCase{"offset", kBars,
                "time,open,high,low,close,tick_volume\n2024-03-05T10:00:00+1,1,1,1,1,1\n", 2,
                "time is not seconds since 1970 or YYYY-MM-DD[T]HH:MM[:SS][Z|+HH:MM]: "
                "\"2024-03-05T10:00:00+1\""},
        BadCase{"order", kBars,
                "time,open,high,low,close,tick_volume\n2024-03-05 "
                "10:01,1,1,1,1,1\n1709632800,1,1,1,1,1\n",
                3, "time is not later than the row before"},
        BadCase{"price", kBars, "time,open,high,low,close,tick_volume\n60,1,1,-1,1,1\n", 2,
                "low is not a positive number: \"-1\""},
        BadCase{"range", kBars, "time,open,high,low,close,tick_volume\n60,1,2,1.5,1.2,1\n", 2,
                "high and low do not contain open and close"},
        BadCase{"volume", kBars, "time,open,high,low,close,tick_volume\n60,1,1,1,1,x\n", 2,
                "tick_volume is not a whole number: \"x\""},
        BadCase{"future", kBars,
                "time,open,high,low,close,tick_volume\n999999999999999960,1,1,1,1,1\n", 2,
                "time is after the year 9999"},
        BadCase{"back", kTicks, "time_msc,bid,ask\n1000,1,1\n999,1,1\n", 3,
                "time_msc is earlier than the row before"},
        BadCase{"ask", kTicks, "time_msc,bid,ask\n1000,1.2,1.1\n", 2, "ask is below bid"}),
    [](const ::testing::TestParamInfo<BadCase>& i) { return std::string(i.param.name); });

TEST(Import, NewSymbolsTakeTheDigitsTheirPricesNeed) {
  // Float noise past 8 decimals rounds away; trailing zeros do not count.
  const ParsedHistory p = ParseHistoryCsv(
      "\xEF\xBB\xBFTime_Msc , bid,ask,last,volume\r\n"
      "2024-03-05 10:00:00.5,1.0851200000000001,1.08520,,\r\n"
      "1709632800600, 1.0851 ,1.086,1.0855,0.25\r\n\r\n",
      kTicks, u"X", -1);
  ASSERT_TRUE(p.ok) << p.line << ": " << p.error;
  EXPECT_EQ(p.header.digits, 5u);
  EXPECT_EQ(p.header.count, 2u);
  EXPECT_EQ(p.header.first_minute, 1709632800 / 60);
  std::string bytes = EncodeSegment(p.header, p.records);
  SegmentHeader h;
  std::size_t at = 0;
  ASSERT_TRUE(DecodeSegmentHeader(bytes, &h, &at));
  const Segment seg(h, bytes, at);
  const Tick a = seg.TickAt(0), b = seg.TickAt(1);
  EXPECT_EQ(a.time_msc, 1709632800500);
  EXPECT_EQ(a.bid, 108512);
  EXPECT_EQ(a.ask, 108520);
  EXPECT_EQ(a.flags, kTickFlagBid | kTickFlagAsk);
  EXPECT_EQ(b.bid, 108510);
  EXPECT_EQ(b.last, 108550);
  EXPECT_EQ(b.volume, 0.25);
  EXPECT_EQ(b.flags, kTickFlagBid | kTickFlagAsk | kTickFlagLast | kTickFlagVolume);
}

TEST(Import, TakesIsoTimesWithTheirZone) {
  struct Case {
    const char* text;
    std::int64_t ms;
  };
  const std::int64_t base = 1709632800000;  // 2024-03-05 10:00 UTC
  for (const Case& c :
       {Case{"2024-03-05T10:00:00Z", base}, Case{"2024-03-05 10:00", base},
        Case{"2024-03-05T11:30:00+01:30", base}, Case{"2024-03-05T05:00-0500", base},
        Case{"2024-03-05T12:00:00.250+02", base + 250},
        Case{"2024-03-05T10:00:00.123456789Z", base + 123}}) {
    std::int64_t ms = 0;
    bool secs = false, frac = false;
    const std::string t = c.text;
    EXPECT_TRUE(ParseDateTime(t.data(), t.data() + t.size(), &ms, &secs, &frac)) << t;
    EXPECT_EQ(ms, c.ms) << t;
  }
  for (const char* bad :
       {"2024-03-05T10:00:00+24:00", "2024-03-05T10:00:00.1234567890Z", "2024-03-05T10:00Zz"}) {
    std::int64_t ms = 0;
    bool secs = false, frac = false;
    const std::string t = bad;
    EXPECT_FALSE(ParseDateTime(t.data(), t.data() + t.size(), &ms, &secs, &frac)) << t;
  }
}

TEST(Import, TakesTicksInTheExportersLayout) {
  const ParsedHistory p = ParseHistoryCsv(
      "time,bid,ask,last,volume,time_msc,flags,volume_real\n"
      "2024-03-05T10:00:00Z,1.08512,1.0852,0.0,0,2024-03-05T10:00:00.500Z,6,0.0\n"
      "2024-03-05T10:00:00Z,1.0851,1.086,1.0855,2,2024-03-05T10:00:00.600Z,30,2.0\n",
      kTicks, u"X", 5);
  ASSERT_TRUE(p.ok) << p.line << ": " << p.error;
  const std::string bytes = EncodeSegment(p.header, p.records);
  SegmentHeader h;
  std::size_t at = 0;
  ASSERT_TRUE(DecodeSegmentHeader(bytes, &h, &at));
  const Segment seg(h, bytes, at);
  EXPECT_EQ(seg.TickAt(0).time_msc, 1709632800500);
  EXPECT_EQ(seg.TickAt(0).flags, 6u);
  EXPECT_EQ(seg.TickAt(1).last, 108550);
  EXPECT_EQ(seg.TickAt(1).volume, 2.0);
  EXPECT_EQ(seg.TickAt(1).flags, 30u);
}

TEST(Import, KnownSymbolsRoundToTheirDigits) {
  const ParsedHistory p =
      ParseHistoryCsv("time,open,high,low,close,tick_volume\n60,1.234567,1.3,1.2,1.25,9\n", kBars, u"X", 2);
  ASSERT_TRUE(p.ok);
  const std::string bytes = EncodeSegment(p.header, p.records);
  SegmentHeader h;
  std::size_t at = 0;
  ASSERT_TRUE(DecodeSegmentHeader(bytes, &h, &at));
  const Bar bar = Segment(h, bytes, at).BarAt(0);
  EXPECT_EQ(bar.open, 123);
  EXPECT_EQ(bar.close, 125);
  EXPECT_EQ(bar.tick_volume, 9u);
}

TEST(Import, TicksReproduceTheirBar) {
  for (const std::uint64_t volume : {0, 1, 3, 4, 5, 17, 600}) {
    Bar bar;
    bar.time = 600;
    bar.open = 100;
    bar.high = 130;
    bar.low = 90;
    bar.close = 120;
    bar.tick_volume = volume;
    std::vector<Tick> ticks;
    TicksFromBar(bar, 2, &ticks);
    ASSERT_EQ(ticks.size(), std::max<std::uint64_t>(volume, 4));
    std::int64_t hi = 0, lo = 1000;
    for (std::size_t j = 0; j < ticks.size(); ++j) {
      hi = std::max(hi, ticks[j].bid);
      lo = std::min(lo, ticks[j].bid);
      EXPECT_EQ(ticks[j].ask, ticks[j].bid + 2);
      EXPECT_TRUE(j == 0 || ticks[j].time_msc > ticks[j - 1].time_msc);
      EXPECT_GE(ticks[j].time_msc, 600000);
      EXPECT_LT(ticks[j].time_msc, 660000);
    }
    EXPECT_EQ(ticks.front().bid, 100);
    EXPECT_EQ(ticks.back().bid, 120);
    EXPECT_EQ(hi, 130);
    EXPECT_EQ(lo, 90);
  }
}

}  // namespace
}  // namespace zk5::term
