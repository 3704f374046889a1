#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "accounts/config.h"
#include "accounts/password.h"
#include "accounts/record_io.h"
#include "accounts/trade_records.h"
#include "ipc/records.h"
#include "ipc/wire.h"
#include "market/clock.h"

namespace zk5::term {
namespace {

TEST(Settings, DefaultsComeFromTheDefaultFileAndFromNothing) {
  const Settings none = ParseSettings("");
  const Settings file = ParseSettings(DefaultSettingsText());
  EXPECT_EQ(none.idle_exit_sec, 600);
  EXPECT_EQ(file.idle_exit_sec, none.idle_exit_sec);
  EXPECT_EQ(file.build, none.build);
  EXPECT_EQ(file.trade_api, true);
  EXPECT_EQ(file.max_bars, none.max_bars);
  EXPECT_EQ(file.seed, none.seed);
  EXPECT_TRUE(file.durable && none.durable);
  EXPECT_FALSE(ParseSettings("[store]\ndurable=0\n").durable);
}

TEST(Settings, ValuesSectionsCaseAndBadValues) {
  const Settings s = ParseSettings(
      "\xEF\xBB\xBF; comment\n[terminal]\r\nIDLEEXIT = 0\nBuild=2363\nTradeApi=off\n"
      "MaxBars=-5\nLoginDelay=250\n[Market]\nSeed=18446744073709551615\n[Other]\nBuild=9\n");
  EXPECT_EQ(s.idle_exit_sec, 0);
  EXPECT_EQ(s.build, 2363u);
  EXPECT_FALSE(s.trade_api);
  EXPECT_EQ(s.max_bars, 100000);  // out of range: default kept
  EXPECT_EQ(s.login_delay_ms, 250);
  EXPECT_EQ(s.seed, 18446744073709551615ULL);
}

TEST(Settings, ASteppedReplayHoldsItsClockUntilMoved) {
  const Settings s = ParseSettings("[Replay]\nFrom=2024-03-05T10:00:00Z\nStep=60000\nStepped=1\n");
  ASSERT_TRUE(s.replay && s.replay_stepped);
  MarketClock clock(s.replay_from_ms, s.replay_speed, s.replay_step_ms, s.replay_stepped);
  const std::int64_t from = 1709632800000;
  EXPECT_EQ(clock.mode(), MarketClock::Mode::kHeld);
  for (int i = 0; i < 3; ++i) clock.Step();  // requests answered: no move
  EXPECT_EQ(clock.NowMs(), from);
  EXPECT_EQ(clock.Advance(1500), from + 1500);
  EXPECT_EQ(clock.MoveTo(from + 60000), from + 60000);
  EXPECT_EQ(clock.MoveTo(from), from + 60000);  // never back
  EXPECT_EQ(clock.NowMs(), from + 60000);
  // A clock stepped per request still moves per request; Advance does not move it.
  MarketClock per_request(from, 1, 60000);
  EXPECT_EQ(per_request.mode(), MarketClock::Mode::kPerRequest);
  per_request.Step();
  EXPECT_EQ(per_request.Advance(5000), from + 60000);
  EXPECT_FALSE(ParseSettings(DefaultSettingsText()).replay_stepped);
  EXPECT_EQ(ParseSettings(DefaultSettingsText()).replay_to_ms, 0);
}

TEST(Settings, AReplaysClockStopsAtItsEndHoweverItRuns) {
  const Settings s = ParseSettings("[Replay]\nFrom=2024-03-05T10:00:00Z\nTo=2024-03-05 10:01\n");
  const std::int64_t from = 1709632800000, end = from + 60000;
  ASSERT_EQ(s.replay_to_ms, end);
  MarketClock held(from, 1, 0, true, s.replay_to_ms);
  EXPECT_FALSE(held.ended());
  EXPECT_EQ(held.Advance(59000), from + 59000);
  EXPECT_EQ(held.Advance(5000), end);  // stopped at the end
  EXPECT_TRUE(held.ended());
  EXPECT_EQ(held.MoveTo(end + 1), end);
  EXPECT_EQ(held.Advance(1), end);
  MarketClock per_request(from, 1, 45000, false, end);
  per_request.Step();
  per_request.Step();
  EXPECT_EQ(per_request.NowMs(), end);
  MarketClock timed(from, 1000000, 0, false, end);
  EXPECT_LE(timed.NowMs(), end);
  EXPECT_EQ(timed.end_ms(), end);
  EXPECT_EQ(MarketClock(from, 1, 0, true).end_ms(), 0);  // no end
}

// A replay setting is taken as given or refused, naming the setting and
// what it may be: never defaulted, never clamped.
TEST(Settings, ReplaySettingsAreCheckedNotDefaulted) {
  const struct {
    const char* text;
    const char* error;  // the start of it; empty: taken
  } kCases[] = {
      {"From=2024-03-05 00:00\nSpeed=1000000\nStep=0", ""},
      {"From=2024-03-05 00:00:30\nStep=86400000", ""},
      {"From=2024-13-01 00:00",
       "[Replay] From=2024-13-01 00:00 is not a UTC date and time YYYY-MM-DD HH:MM[:SS]"},
      {"From=24-03-05 00:00", "[Replay] From=24-03-05 00:00 is not a UTC date and time"},
      {"From=2024-03-05 00:00\nSpeed=0",
       "[Replay] Speed=0 is not a whole number from 1 to 1000000"},
      {"From=2024-03-05 00:00\nSpeed=-5",
       "[Replay] Speed=-5 is not a whole number from 1 to 1000000"},
      {"From=2024-03-05 00:00\nSpeed=abc",
       "[Replay] Speed=abc is not a whole number from 1 to 1000000"},
      {"From=2024-03-05 00:00\nSpeed=1000000000",
       "[Replay] Speed=1000000000 is not a whole number"},
      {"From=2024-03-05 00:00\nStep=-1",
       "[Replay] Step=-1 is not a whole number from 0 to 31622400000"},
      {"Step=1.5", "[Replay] Step=1.5 is not a whole number"},
      {"From=2024-03-05 00:00\nStepped=maybe", "[Replay] Stepped=maybe is not 0 or 1"},
      {"From=2024-03-05 00:00\nTo=2024-03-06 12:00:30", ""},
      {"From=2024-03-05 00:00\nTo=2024-03-05", "[Replay] To=2024-03-05 is not a UTC date"},
      {"From=2024-03-05 00:00\nTo=2024-03-05 00:00",
       "[Replay] To=2024-03-05 00:00 is not after From=2024-03-05 00:00"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const Settings s = ParseSettings(std::string("[Replay]\n") + c.text + "\n");
    EXPECT_EQ(s.replay_error.compare(0, std::strlen(c.error), c.error), 0) << s.replay_error;
    EXPECT_EQ(s.replay_error.empty(), c.error[0] == '\0');
  }
  const Settings s = ParseSettings("[Replay]\nFrom=2024-03-05 00:00\nSpeed=600\nStep=250\n");
  EXPECT_TRUE(s.replay);
  EXPECT_EQ(s.replay_speed, 600);
  EXPECT_EQ(s.replay_step_ms, 250);
}

TEST(Accounts, RoundTripAndDefaults) {
  const AccountsFile def = DefaultAccounts();
  ASSERT_GE(def.accounts.size(), 2u);
  EXPECT_EQ(def.last_login, kDemoLogin);
  EXPECT_EQ(def.accounts[0].password, kDemoPassword);
  AccountsFile f = def;
  f.accounts[0].name = u"Zoë Trader";
  f.accounts[0].leverage = 500;
  f.accounts[0].deposit = 1234.5;
  f.accounts[0].currency = u"EUR";
  // A clear password is never written: only its hash, which verifies.
  EXPECT_EQ(FormatAccounts(f).find("demo\n"), std::string::npos);
  ASSERT_TRUE(HashClearPasswords(&f));
  const std::string text = FormatAccounts(f);
  EXPECT_EQ(text.find("\nPassword="), std::string::npos);
  const AccountsFile back = ParseAccounts(text);
  ASSERT_EQ(back.accounts.size(), f.accounts.size());
  for (std::size_t i = 0; i < f.accounts.size(); ++i) {
    EXPECT_EQ(back.accounts[i].login, f.accounts[i].login);
    EXPECT_TRUE(back.accounts[i].password.empty());
    EXPECT_EQ(back.accounts[i].password_hash, f.accounts[i].password_hash);
    EXPECT_TRUE(VerifyPassword(kDemoPassword, back.accounts[i].password_hash));
    EXPECT_FALSE(VerifyPassword(u"Demo", back.accounts[i].password_hash));
    EXPECT_EQ(back.accounts[i].server, f.accounts[i].server);
    EXPECT_EQ(back.accounts[i].name, f.accounts[i].name);
    EXPECT_EQ(back.accounts[i].currency, f.accounts[i].currency);
    EXPECT_EQ(back.accounts[i].leverage, f.accounts[i].leverage);
    EXPECT_EQ(back.accounts[i].deposit, f.accounts[i].deposit);
    EXPECT_EQ(back.accounts[i].otp, f.accounts[i].otp);
    EXPECT_EQ(back.accounts[i].netting, f.accounts[i].netting);
  }
  EXPECT_EQ(back.last_login, f.last_login);
  // Equal passwords get different salts; malformed hashes match nothing.
  EXPECT_NE(f.accounts[0].password_hash, f.accounts[1].password_hash);
  for (const char* bad : {"", "pbkdf2-sha256$0$00$00", "pbkdf2-sha256$99999999999$00$00",
                          "md5$1$00$00", "pbkdf2-sha256$1$zz$00"}) {
    EXPECT_FALSE(VerifyPassword(u"", bad)) << bad;
  }
  // A section that is not an account number is skipped.
  EXPECT_TRUE(ParseAccounts("[Account x]\nPassword=a\n[Account 0]\n").accounts.empty());
}

TEST(RecordIo, WritesAndReadsFieldsByName) {
  std::uint8_t rec[851];
  RecordWriter w(records::kAccountInfo, rec);
  w.UInt("login", 18446744073709551615ULL)
      .Real("balance", 12.5)
      .Flag("fifo_close", true)
      .Text("currency", u"EUR")
      .UInt("leverage", 30);
  EXPECT_TRUE(w.ok());
  EXPECT_EQ(wire::LoadU64(rec), 18446744073709551615ULL);
  EXPECT_EQ(wire::LoadF64(rec + 35), 12.5);
  EXPECT_EQ(rec[34], 1);
  EXPECT_EQ(wire::LoadU32(rec + 12), 30u);
  RecordReader r(records::kAccountInfo, rec);
  EXPECT_EQ(r.Text("currency"), u"EUR");
  EXPECT_EQ(r.Real("balance"), 12.5);
  EXPECT_TRUE(r.ok());
}

struct BadWrite {
  const char* what;
  void (*write)(RecordWriter&);
};

class RecordIoRefuses : public ::testing::TestWithParam<BadWrite> {};

TEST_P(RecordIoRefuses, UnknownNamesAndValuesThatDoNotFit) {
  std::uint8_t rec[records::kAccountInfoSize];
  RecordWriter w(records::kAccountInfo, rec);
  const std::uint64_t refused = RefusedFieldAccesses();
  GetParam().write(w);
  EXPECT_FALSE(w.ok()) << GetParam().what;
  // The count Dispatch watches to fail the request moved with it.
  EXPECT_GT(RefusedFieldAccesses(), refused) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordIoRefuses,
    ::testing::Values(BadWrite{"unknown", [](RecordWriter& w) { w.Int("nope", 1); }},
                      BadWrite{"negative u32", [](RecordWriter& w) { w.Int("leverage", -1); }},
                      BadWrite{"wide u32", [](RecordWriter& w) { w.Int("leverage", 1LL << 32); }},
                      BadWrite{"real into int", [](RecordWriter& w) { w.Real("leverage", 1.0); }},
                      BadWrite{"text into real", [](RecordWriter& w) { w.Text("balance", u"x"); }},
                      BadWrite{"flag into text", [](RecordWriter& w) { w.Flag("name", true); }}));

TEST(RecordIo, TextsAreCutToLeaveTheTerminator) {
  std::uint8_t rec[300];
  RecordWriter(records::kTradeDeal, rec).Text("symbol", std::u16string(40, u'A'));
  EXPECT_EQ(wire::TextLength(rec + 108, 32), 31u);
}

// The bulk encoders write each field with the width and kind of its table.
TEST(RecordIo, TickAndBarEncodersFollowTheTables) {
  Tick t{1709647200250, 108512, 108520, 0, 0.0, 6};
  std::uint8_t rec[60];
  std::memset(rec, 0xAA, sizeof rec);
  TickEncoder().Write(t, 5, rec);
  RecordReader r(records::kTick, rec);
  EXPECT_EQ(r.Int("time"), 1709647200);
  EXPECT_EQ(r.Real("bid"), 1.08512);
  EXPECT_EQ(r.Real("ask"), 1.0852);
  EXPECT_EQ(r.Real("last"), 0.0);
  EXPECT_EQ(r.UInt("volume"), 0u);
  EXPECT_EQ(r.Int("time_msc"), 1709647200250);
  EXPECT_EQ(r.UInt("flags"), 6u);
  EXPECT_EQ(r.Real("volume_real"), 0.0);
  EXPECT_TRUE(r.ok());
  Bar b;
  b.time = 1709647200;
  b.open = 150001;
  b.high = 150123;
  b.low = 149990;
  b.close = 150100;
  b.tick_volume = 77;
  b.spread = -3;
  b.real_volume = 5;
  std::memset(rec, 0xAA, sizeof rec);
  BarEncoder().Write(b, 3, rec);
  RecordReader br(records::kRates, rec);
  EXPECT_EQ(br.Int("time"), b.time);
  EXPECT_EQ(br.Real("open"), 150.001);
  EXPECT_EQ(br.Real("high"), 150.123);
  EXPECT_EQ(br.Real("low"), 149.99);
  EXPECT_EQ(br.Real("close"), 150.1);
  EXPECT_EQ(br.UInt("tick_volume"), 77u);
  EXPECT_EQ(br.Int("spread"), -3);
  EXPECT_EQ(br.UInt("real_volume"), 5u);
}

}  // namespace
}  // namespace zk5::term
