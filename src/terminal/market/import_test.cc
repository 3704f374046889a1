#include "market/import.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_files.h"

namespace zk5::term {
namespace {

struct BadCase {
  const char* name;
  ImportKind kind;
  const char* text;
  std::uint64_t line;
  const char* error;
};

class Malformed : public ::testing::TestWithParam<BadCase> {};

TEST_P(Malformed, IsRejectedWholeWithItsLine) {
  const BadCase& c = GetParam();
  std::string text = c.text;
  if (std::string(c.name) == "nul") text.assign("t\0i\0m\0e\0", 8);   // UTF-16 without a mark
  if (std::string(c.name) == "long") text += std::string(5000, '0');  // padding of a number
  const ParsedHistory p = ParseHistoryCsv(text, c.kind, u"X", -1);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.line, c.line);
  EXPECT_EQ(p.error, c.error);
  EXPECT_TRUE(p.records.empty());
}

const ImportKind kBars{true, SegmentKind::kBars, 1};
const ImportKind kTicks{true, SegmentKind::kTicks, 1};

INSTANTIATE_TEST_SUITE_P(
    Cases, Malformed,
    ::testing::Values(
        BadCase{"header", kBars, "time,open,high,close\n60,1,1,1\n", 1,
                "the header must name the columns time (or date and time), open, high, low, "
                "close[, volume, spread, real_volume]"},
        BadCase{"unknown", kBars, "time,open,high,low,close,Foo\n60,1,1,1,1,1\n", 1,
                "the column \"Foo\" is none of time, date, open, high, low, close, volume, "
                "spread, real_volume, time_msc, bid, ask, last, flags: name the columns as "
                "role=NAME with columns= (--columns, /import-columns:), which ignores the others"},
        BadCase{"ambiguous", kBars, "date,time,open,high,low,close\n03/04/2024,10:00,1,1,1,1\n", 2,
                "the date \"03/04/2024\" could be day/month/year or month/day/year: say which "
                "with date_order=\"dmy\" or \"mdy\" (--dates, /import-dates:)"},
        BadCase{"badbyte", kBars, "time,open,high,low,close\n60,1,1,1\xFF,1\n", 2,
                "byte 0xFF at column 9 is not UTF-8: the file must be UTF-8, or UTF-16 with a "
                "byte-order mark"},
        BadCase{"nul", kTicks, "t\0i\0m\0e\0", 1,
                "a NUL byte at column 2: the file must be UTF-8, or UTF-16 with a byte-order mark"},
        BadCase{"shown", kBars, "time,open,high,low,close\n60,1,1,1,\x01\\\n", 2,
                "close is not a positive number: \"\\x01\\\\\""},
        BadCase{"aligned", ImportKind{true, SegmentKind::kBars, 60},
                "time,open,high,low,close\n2024-03-04 10:30,1,1,1,1\n", 2,
                "time is not the start of a H1 bar"},
        BadCase{"empty", kTicks, "time_msc,bid,ask\n\n", 0, "no rows after the header"},
        BadCase{"columns", kBars, "time,open,high,low,close,tick_volume\n60,1,1,1,1,1\n120,1,1,1\n",
                3, "expected 6 columns"},
        BadCase{"minute", kBars, "time,open,high,low,close,tick_volume\n61,1,1,1,1,1\n", 2,
                "time is not the start of a minute"},
        BadCase{"date", kBars, "time,open,high,low,close,tick_volume\n2024-02-30 10:00,1,1,1,1,1\n",
                2,
                "time is not seconds or milliseconds since 1970 or a date and time like 2024-03-04 "
                "10:00[:00[.000]][Z|+HH:MM]: \"2024-02-30 10:00\""},
        BadCase{"offset", kBars,
                "time,open,high,low,close,tick_volume\n2024-03-05T10:00:00+1,1,1,1,1,1\n", 2,
                "time is not seconds or milliseconds since 1970 or a date and time like 2024-03-04 "
                "10:00[:00[.000]][Z|+HH:MM]: \"2024-03-05T10:00:00+1\""},
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
        BadCase{"ask", kTicks, "time_msc,bid,ask\n1000,1.2,1.1\n", 2, "ask is below bid"},
        BadCase{"long", kTicks, "time_msc,bid,ask\n\n1000,1.2,1.1", 3,
                "the line is longer than 4096 bytes"}),
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
  const ParsedHistory p = ParseHistoryCsv(
      "time,open,high,low,close,tick_volume\n60,1.234567,1.3,1.2,1.25,9\n", kBars, u"X", 2);
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

// Records of a parse, or its fault.
std::string Parsed(const std::string& text, const ImportKind& kind, const ImportOptions& o = {}) {
  const ParsedHistory p = ParseHistoryCsv(text, kind, u"X", -1, o);
  return p.ok ? p.records : "line " + std::to_string(p.line) + ": " + p.error;
}

TEST(Import, TakesTheLayoutsUsersHave) {
  const ImportKind any{false, SegmentKind::kBars, 1};
  const std::string want = Parsed(
      "time,open,high,low,close,tick_volume\n1709546400,1.1,1.2,1.0,1.15,5\n"
      "1709546460,1.15,1.25,1.1,1.2,6\n",
      kBars);
  ASSERT_EQ(want.size(), 2 * kStoredBarSize) << want;
  ImportOptions dmy;
  dmy.date_order = 'd';
  ImportOptions mapped;
  ASSERT_TRUE(ParseImportColumns("time=Zeit, open=Erster,high=Hoch,low=Tief,close=Letzter,volume=N",
                                 &mapped, nullptr));
  ImportOptions mapped2;  // names that the usual names of other columns would also give
  ASSERT_TRUE(ParseImportColumns("time=Gmt time,volume=Umsatz", &mapped2, nullptr));
  ImportOptions local;  // one hour east of UTC
  ASSERT_TRUE(ParseImportZone("3600", &local, nullptr));
  struct Case {
    const char* text;
    const ImportOptions* options;
  };
  const ImportOptions none;
  for (const Case& c : std::vector<Case>{
           {"Datetime,Open,High,Low,Close,Adj Close,Volume\n"
            "2024-03-04 10:00:00+00:00,1.1,1.2,1.0,1.15,1.15,5\n"
            "2024-03-04 10:01:00+00:00,1.15,1.25,1.1,1.2,1.2,6.0\n",
            &none},
           {"Date,Time,Open,High,Low,Close,Volume\n2024.03.04,10:00,1.1,1.2,1.0,1.15,5\n"
            "2024.03.04,10:01,1.15,1.25,1.1,1.2,6\n",
            &none},
           {"DATE;TIME;OPEN;HIGH;LOW;CLOSE;VOL\n20240304;10:00:00;1.1;1.2;1.0;1.15;5\n"
            "20240304;10:01:00;1.15;1.25;1.1;1.2;6\n",
            &none},
           {"<DATE>\t<TIME>\t<OPEN>\t<HIGH>\t<LOW>\t<CLOSE>\t<TICKVOL>\t<VOL>\t<SPREAD>\n"
            "2024.03.04\t10:00:00\t1.1\t1.2\t1.0\t1.15\t5\t0\t0\n"
            "2024.03.04\t10:01:00\t1.15\t1.25\t1.1\t1.2\t6\t0\t0\n",
            &none},
           {"Gmt time,Open,High,Low,Close,Volume\n04.03.2024 10:00:00.000,1.1,1.2,1.0,1.15,5\n"
            "04.03.2024 10:01:00.000,1.15,1.25,1.1,1.2,6\n",
            &dmy},
           {"timestamp,open,high,low,close,volume\n1709546400000,1.1,1.2,1.0,1.15,5\n"
            "1709546460000,1.15,1.25,1.1,1.2,6\n",
            &none},
           {"Time,Open,High,Low,Close,TickVol\n2024-03-04T10:00:00Z,1.1,1.2,1.0,1.15,5\n"
            "2024-03-04T12:01:00+02:00,1.15,1.25,1.1,1.2,6\n",
            &none},
           {"local time,open,high,low,close,tick_volume\n2024-03-04 11:00,1.1,1.2,1.0,1.15,5\n"
            "2024-03-04 11:01,1.15,1.25,1.1,1.2,6\n",
            &local},
           {"\"Time (UTC)\",\"Open\",\"High\",\"Low\",\"Close\",\"Volume\",\"Dividends\","
            "\"Stock Splits\"\n\"2024-03-04 10:00:00\",\"1.1\",\"1.2\",\"1.0\",\"1.15\",\"5\",0,0\n"
            "\"2024-03-04 10:01:00\",\"1.15\",\"1.25\",\"1.1\",\"1.2\",\"6\",0,0\n",
            &none},
           {"Date,Gmt time,Open,High,Low,Close,TickVol,Umsatz\n"
            "x,2024-03-04 10:00,1.1,1.2,1.0,1.15,9,5\nx,2024-03-04 10:01,1.15,1.25,1.1,1.2,9,6\n",
            &mapped2},
           {"Zeit,Erster,Hoch,Tief,Letzter,N,Notiz\n2024-03-04 10:00,1.1,1.2,1.0,1.15,5,a\n"
            "2024-03-04 10:01,1.15,1.25,1.1,1.2,6,b\n",
            &mapped},
       }) {
    EXPECT_EQ(Parsed(c.text, any, *c.options), want) << c.text;
  }
  // The encodings: UTF-8 with a mark, UTF-16 either way round with one.
  const std::string plain =
      "time,open,high,low,close,tick_volume\n1709546400,1.1,1.2,1.0,1.15,5\n"
      "1709546460,1.15,1.25,1.1,1.2,6\n";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char ch : plain) le += ch, le += '\0', be += '\0', be += ch;
  EXPECT_EQ(Parsed("\xEF\xBB\xBF" + plain, any), want);
  EXPECT_EQ(Parsed(le, any), want);
  EXPECT_EQ(Parsed(be, any), want);
  std::string lone = le;
  lone.insert(lone.size() - 4, "\x00\xD8", 2);  // a high surrogate alone before the last ","
  EXPECT_EQ(Parsed(lone, any), "line 3: a character at column 30 is not UTF-16 (a lone surrogate)");
}

TEST(Import, TakesTicksTheWayTerminalsExportThem) {
  const ImportKind any{false, SegmentKind::kBars, 1};
  const ParsedHistory p = ParseHistoryCsv(
      "<DATE>\t<TIME>\t<BID>\t<ASK>\t<LAST>\t<VOLUME>\t<FLAGS>\n"
      "2024.03.04\t10:00:00.500\t1.1\t1.2\t\t\t6\n"
      "2024.03.04\t10:00:01.000\t\t1.3\t\t\t4\n",
      any, u"X", -1);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.header.kind, SegmentKind::kTicks);
  const std::string bytes = EncodeSegment(p.header, p.records);
  SegmentHeader h;
  std::size_t at = 0;
  ASSERT_TRUE(DecodeSegmentHeader(bytes, &h, &at));
  const Segment seg(h, bytes, at);
  EXPECT_EQ(seg.TickAt(0).time_msc, 1709546400500);
  EXPECT_EQ(seg.TickAt(1).bid, 11);  // unchanged
  EXPECT_EQ(seg.TickAt(1).ask, 13);
  EXPECT_EQ(seg.TickAt(1).flags, 4u);
}

TEST(Import, LocalTimesFollowTheirZoneAcrossItsChanges) {
  // +1 h, +2 h from 2024-03-31 01:00 UTC, +1 h again from 2024-10-27 01:00 UTC.
  ImportOptions zone;
  ASSERT_TRUE(ParseImportZone("3600;1711846800000:7200;1729990800000:3600", &zone, nullptr));
  const ImportKind ticks{true, SegmentKind::kTicks, 1};
  // The hour the clocks go back over comes twice: the earlier first.
  const ParsedHistory p = ParseHistoryCsv(
      "time_msc,bid,ask\n2024-10-27 02:30:00,1,2\n2024-10-27 02:59:00,1,2\n"
      "2024-10-27 02:10:00,1,2\n2024-10-27 03:30:00,1,2\n",
      ticks, u"X", -1, zone);
  ASSERT_TRUE(p.ok) << p.error;
  const std::string bytes = EncodeSegment(p.header, p.records);
  SegmentHeader h;
  std::size_t at = 0;
  ASSERT_TRUE(DecodeSegmentHeader(bytes, &h, &at));
  const Segment seg(h, bytes, at);
  EXPECT_EQ(seg.TickAt(0).time_msc, 1729989000000);  // 00:30 UTC
  EXPECT_EQ(seg.TickAt(1).time_msc, 1729990740000);  // 00:59 UTC
  EXPECT_EQ(seg.TickAt(2).time_msc, 1729991400000);  // 01:10 UTC, the second time round
  EXPECT_EQ(seg.TickAt(3).time_msc, 1729996200000);  // 02:30 UTC
  EXPECT_EQ(Parsed("time_msc,bid,ask\n2024-03-31 02:30:00,1,2\n", ticks, zone),
            "line 2: time_msc \"2024-03-31 02:30:00\" does not exist in the time zone (its clocks "
            "moved past it)");
  std::string error;
  ImportOptions bad;
  EXPECT_FALSE(ParseImportZone("3600;1:x", &bad, &error));
  EXPECT_FALSE(ParseImportColumns("colour=Red", &bad, &error));
  EXPECT_FALSE(ParseImportDateOrder("ymd", &bad, &error));
}

TEST(Import, BarsKeepTheirTimeframe) {
  const ImportKind any{false, SegmentKind::kBars, 1};
  // Hours with a gap: the spacing most bars have.
  ParsedHistory p = ParseHistoryCsv(
      "time,open,high,low,close\n2024-03-04 10:00,1,1,1,1\n2024-03-04 11:00,1,1,1,1\n"
      "2024-03-04 13:00,1,1,1,1\n2024-03-04 14:00,1,1,1,1\n",
      any, u"X", -1);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.header.bar_minutes, 60u);
  EXPECT_EQ(p.header.last_minute, 1709560800 / 60 + 59);
  // Days by their dates alone; minutes that are not all on the hour stay minutes.
  p = ParseHistoryCsv("date,open,high,low,close\n2024-03-04,1,1,1,1\n2024-03-05,1,1,1,1\n", any,
                      u"X", -1);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.header.bar_minutes, 1440u);
  ImportOptions east;  // a date alone is the day, whatever the zone
  ASSERT_TRUE(ParseImportZone("3600", &east, nullptr));
  p = ParseHistoryCsv("date,open,high,low,close\n2024-03-04,1,1,1,1\n2024-03-05,1,1,1,1\n", any,
                      u"X", -1, east);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.header.bar_minutes, 1440u);
  EXPECT_EQ(p.header.first_minute, 1709510400 / 60);
  p = ParseHistoryCsv("time,open,high,low,close\n60,1,1,1,1\n3600,1,1,1,1\n7260,1,1,1,1\n", any,
                      u"X", -1);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.header.bar_minutes, 1u);
  // A store keeps it.
  SegmentHeader h;
  std::size_t at = 0;
  p.header.bar_minutes = 240;
  ASSERT_TRUE(DecodeSegmentHeader(EncodeSegment(p.header, p.records), &h, &at));
  EXPECT_EQ(h.bar_minutes, 240u);
  std::u16string symbol;
  ImportKind kind;
  ASSERT_TRUE(ImportFileName(u"EURUSD.h4.csv", &symbol, &kind));
  EXPECT_EQ(symbol, u"EURUSD");
  EXPECT_EQ(kind.bar_minutes, 240);
  ASSERT_TRUE(ImportFileName(u"BRK.B.csv", &symbol, &kind));
  EXPECT_EQ(symbol, u"BRK.B");
  EXPECT_FALSE(kind.known);
}

// Bytes changed, cut or repeated anywhere: a fault with its line, or rows,
// never a crash (the sanitizers watch).
TEST(Import, AnyBytesGiveRowsOrALine) {
  const std::vector<std::string> seeds = {
      "Date,Time,Open,High,Low,Close,Volume\n2024.03.04,10:00,1.1,1.2,1.0,1.15,5\n"
      "2024.03.04,11:00,1.15,1.25,1.1,1.2,6\n",
      "<DATE>\t<TIME>\t<BID>\t<ASK>\t<LAST>\t<VOLUME>\t<FLAGS>\n2024.03.04\t10:00:00.500\t1.1\t1.2"
      "\t\t\t6\n2024.03.04\t10:00:01\t\t1.3\t\t\t4\n",
      "\xFF\xFEt\0i\0m\0e\0,\0b\0i\0d\0,\0a\0s\0k\0\n\0001\0,\0001\0,\0002\0\n\0"};
  ImportOptions zone;
  ASSERT_TRUE(ParseImportZone("3600;1711846800000:7200", &zone, nullptr));
  zone.date_order = 'd';
  std::uint64_t state = 42;
  auto next = [&state]() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>(state >> 33);
  };
  const char kBytes[] = "0123456789:.,;-/TZ+\t\n\r\" \0\xFF\xC3\xD8";
  for (int round = 0; round < 3000; ++round) {
    std::string text = seeds[static_cast<std::size_t>(round) % seeds.size()];
    for (int k = 0; k < 1 + round % 4; ++k) {
      const std::size_t at = next() % text.size();
      switch (next() % 3) {
        case 0:
          text[at] = kBytes[next() % (sizeof kBytes - 1)];
          break;
        case 1:
          text.erase(at, 1 + next() % 4);
          break;
        default:
          text.insert(at, text.substr(at, next() % 8));
      }
      if (text.empty()) text = "x";
    }
    const ImportKind kind{round % 2 == 0, round % 3 == 0 ? SegmentKind::kTicks : SegmentKind::kBars,
                          round % 5 == 0 ? 60 : 1};
    const ParsedHistory p =
        ParseHistoryCsv(text, kind, u"X", round % 7 - 1, round % 2 ? zone : ImportOptions());
    EXPECT_TRUE(p.ok ? !p.records.empty() : !p.error.empty()) << text;
  }
}

namespace fs = std::filesystem;

constexpr char kGoodBars[] = "time,open,high,low,close,tick_volume\n60,1,1,1,1,1\n";

int NoDigits(const std::u16string&) { return -1; }

std::string ReadText(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Whatever is named like an import file, only a regular file inside the
// data folder is read: links (inside, outside, to a device), FIFOs,
// folders, files over the size limit and names that are no symbol's go to
// failed/ with a reason, unread; what they lead to is untouched and never
// quoted.
TEST(ImportFolder, TakesOnlyRegularFilesInsideTheDataFolder) {
  test::TempFolder data;
  const fs::path in = data / "import";
  ASSERT_TRUE(test::MakeDir(in));
  const fs::path outside = data / "secret.csv";
  ASSERT_TRUE(
      test::WriteBytes(outside, "time,open,high,low,close,tick_volume\nTOPSECRET-42,1,1,1,1,1\n"));
  ASSERT_TRUE(test::WriteBytes(in / "GOOD.M1.csv", kGoodBars));
  ASSERT_TRUE(test::WriteBytes(in / "inside.txt", kGoodBars));
  fs::create_symlink(in / "inside.txt", in / "LINKIN.M1.csv");
  fs::create_symlink(outside, in / "LINKOUT.M1.csv");
  fs::create_symlink("/dev/zero", in / "ZERO.ticks.csv");
  ASSERT_EQ(mkfifo((in / "FIFO.M1.csv").c_str(), 0600), 0);
  ASSERT_TRUE(test::MakeDir(in / "DIR.M1.csv"));
  ASSERT_TRUE(test::WriteBytes(in / "...M1.csv", kGoodBars));
  ASSERT_TRUE(test::WriteBytes(in / "BIG.M1.csv", kGoodBars));
  fs::resize_file(in / "BIG.M1.csv", kMaxImportBytes + 1);  // sparse: costs no disk
  // A flood of empty lines and a line without end: bounded by the rows.
  ASSERT_TRUE(test::WriteBytes(
      in / "BLANK.M1.csv", "time,open,high,low,close,tick_volume\n" + std::string(8 << 20, '\n')));
  ASSERT_TRUE(test::WriteBytes(
      in / "ENDLESS.M1.csv", "time,open,high,low,close,tick_volume\n" + std::string(8 << 20, '1')));

  // The observer hears every file begin and end, in order, the bytes read
  // growing to the regular files' sizes (the FIFO and the links add none).
  std::vector<std::string> ends;
  std::uint64_t last_done = 0, total = 0;
  std::size_t last_number = 0;
  const std::vector<ImportOutcome> got =
      ImportFolder(test::U16(data.path()), &NoDigits, nullptr, [&](const ImportProgress& p) {
        EXPECT_GE(p.bytes_done, last_done);
        EXPECT_GE(p.file_number, last_number);
        EXPECT_EQ(p.files, 10u);
        last_done = p.bytes_done;
        last_number = p.file_number;
        total = p.bytes_total;
        if (p.outcome != nullptr) {
          EXPECT_EQ(p.outcome->file, p.file);
          EXPECT_EQ(p.stored.empty(), !p.outcome->ok);
          ends.push_back(test::U8(p.file));
        }
      });
  EXPECT_EQ(ends.size(), 10u);
  EXPECT_EQ(last_number, 10u);
  EXPECT_EQ(total, (sizeof kGoodBars - 1) + kMaxImportBytes + 1 + 2 * (37 + (8u << 20)));
  EXPECT_EQ(last_done, total);
  std::map<std::string, std::string> errors;
  for (const ImportOutcome& o : got) errors[test::U8(o.file)] = o.ok ? "ok" : o.error;
  const std::map<std::string, std::string> want = {
      {"GOOD.M1.csv", "ok"},
      {"LINKIN.M1.csv", "it is a symbolic link"},
      {"LINKOUT.M1.csv", "it is a symbolic link"},
      {"ZERO.ticks.csv", "it is a symbolic link"},
      {"FIFO.M1.csv", "it is a FIFO, pipe, device or socket"},
      {"DIR.M1.csv", "it is a folder"},
      {"...M1.csv", "the file name is not"},
      {"BIG.M1.csv", "the file is larger than 4 GiB"},
      {"BLANK.M1.csv", "no rows after the header"},
      {"ENDLESS.M1.csv", "line 2: the line is longer than 4096 bytes"},
  };
  ASSERT_EQ(errors.size(), want.size());
  for (const auto& [name, start] : want) {
    SCOPED_TRACE(name);
    EXPECT_EQ(errors[name].compare(0, start.size(), start), 0) << errors[name];
    if (start == "ok") {
      EXPECT_TRUE(fs::exists(in / "done" / name));
      continue;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(in / name)));
    EXPECT_TRUE(fs::exists(fs::symlink_status(in / "failed" / name)));
    const std::string err = ReadText(in / "failed" / (name + ".err"));
    EXPECT_EQ(err, errors[name] + "\n");
    EXPECT_EQ(err.find("TOPSECRET"), std::string::npos);
  }
  // Links were moved, not what they lead to.
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(in / "failed" / "LINKOUT.M1.csv")));
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_TRUE(fs::exists(in / "inside.txt"));
  EXPECT_EQ(fs::file_size(data / "history" / "00000001.hst") > 0, true);
}

// import/, its done/ and failed/, and history/ must be folders of the data
// folder: through a link nothing is read, made or moved.
TEST(ImportFolder, NeverFollowsALinkedFolder) {
  test::TempFolder data, elsewhere;
  ASSERT_TRUE(test::WriteBytes(elsewhere / "GOOD.M1.csv", kGoodBars));
  fs::create_symlink(elsewhere.path(), data / "import");
  std::vector<ImportOutcome> got = ImportFolder(test::U16(data.path()), &NoDigits);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(got[0].ok);
  EXPECT_NE(got[0].error.find("is not a folder inside the data folder (a symbolic link)"),
            std::string::npos)
      << got[0].error;
  EXPECT_TRUE(fs::exists(elsewhere / "GOOD.M1.csv"));
  EXPECT_FALSE(fs::exists(elsewhere / "done"));
  EXPECT_FALSE(fs::exists(elsewhere / "failed"));

  fs::remove(data / "import");
  ASSERT_TRUE(test::MakeDir(data / "import"));
  ASSERT_TRUE(test::WriteBytes(data / "import" / "GOOD.M1.csv", kGoodBars));
  for (const char* linked : {"history", "import/done"}) {
    SCOPED_TRACE(linked);
    test::TempFolder target;
    fs::create_symlink(target.path(), data / linked);
    got = ImportFolder(test::U16(data.path()), &NoDigits);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].ok);
    EXPECT_TRUE(fs::is_empty(target.path()));
    EXPECT_TRUE(fs::exists(data / "import" / "GOOD.M1.csv"));  // left for the next start
    fs::remove(data / linked);
  }
  got = ImportFolder(test::U16(data.path()), &NoDigits);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].ok) << got[0].error;
}

TEST(Import, SymbolNamesStayOneNameAndWithinTheLimit) {
  std::u16string symbol;
  ImportKind kind;
  EXPECT_TRUE(ImportFileName(u"EURUSD.m.M1.csv", &symbol, &kind));
  EXPECT_EQ(symbol, u"EURUSD.m");
  EXPECT_TRUE(
      ImportFileName(std::u16string(kMaxSymbolUnits, u'A') + u".ticks.csv", &symbol, &kind));
  for (const std::u16string& bad :
       std::vector<std::u16string>{u"...M1.csv", u"..M1.csv", u".csv", u"..csv", u"a..b.M1.csv",
                                   u"../x.M1.csv", u"a\\b.M1.csv", u"c:x.M1.csv", u".M1.csv",
                                   std::u16string(kMaxSymbolUnits + 1, u'A') + u".M1.csv"}) {
    EXPECT_FALSE(ImportFileName(bad, &symbol, &kind)) << test::U8(bad);
  }
}

}  // namespace
}  // namespace zk5::term
