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
  SegmentKind kind;
  const char* text;
  std::uint64_t line;
  const char* error;
};

class Malformed : public ::testing::TestWithParam<BadCase> {};

TEST_P(Malformed, IsRejectedWholeWithItsLine) {
  const BadCase& c = GetParam();
  std::string text = c.text;
  if (std::string(c.name) == "long") text += std::string(5000, '0');  // padding of a number
  const ParsedHistory p = ParseHistoryCsv(text, c.kind, u"X", -1);
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
      ImportFolder(test::U16(data.path()), &NoDigits, [&](const ImportProgress& p) {
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
  SegmentKind kind;
  EXPECT_TRUE(ImportFileName(u"EURUSD.m.M1.csv", &symbol, &kind));
  EXPECT_EQ(symbol, u"EURUSD.m");
  EXPECT_TRUE(
      ImportFileName(std::u16string(kMaxSymbolUnits, u'A') + u".ticks.csv", &symbol, &kind));
  for (const std::u16string& bad : std::vector<std::u16string>{
           u"...M1.csv", u"a..b.M1.csv", u"../x.M1.csv", u"a\\b.M1.csv", u"c:x.M1.csv", u".M1.csv",
           std::u16string(kMaxSymbolUnits + 1, u'A') + u".M1.csv"}) {
    EXPECT_FALSE(ImportFileName(bad, &symbol, &kind)) << test::U8(bad);
  }
}

}  // namespace
}  // namespace zk5::term
