#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "accounts/trade_records.h"
#include "ipc/records.h"
#include "market/ticks.h"

namespace zk5::term {
namespace {

constexpr std::int64_t kMondayMs = 1709510400000;  // 2024-03-04 00:00 UTC

// The records of a query, made minute by minute without the streaming code.
std::string Expected(const PriceModel& m, const TickQuery& q, std::uint64_t limit) {
  std::string out;
  std::vector<Tick> ticks;
  std::uint8_t rec[60];
  const TickEncoder enc;
  for (std::int64_t minute = q.from_ms / 60000; minute <= q.to_ms / 60000; ++minute) {
    const int n = m.MinuteTicks(q.sym, minute, &ticks);
    for (int j = 0; j < n && out.size() < limit * 60; ++j) {
      const Tick& t = ticks[j];
      if (t.time_msc < q.from_ms || t.time_msc > q.to_ms) continue;
      if (!((q.info && IsInfoTick(t)) || (q.trade && IsTradeTick(t)))) continue;
      enc.Write(t, Symbols()[static_cast<std::size_t>(q.sym)].digits, rec);
      out.append(reinterpret_cast<const char*>(rec), 60);
    }
  }
  return out;
}

struct Case {
  const char16_t* symbol;
  std::int64_t span_ms;
  bool info, trade;
  std::uint64_t max_count;
};

class Streaming : public ::testing::TestWithParam<Case> {};

TEST_P(Streaming, CountsAndStreamsExactlyTheSelectedTicks) {
  const PriceModel m(9);
  const Case& c = GetParam();
  TickQuery q;
  q.sym = FindSymbol(c.symbol);
  q.from_ms = kMondayMs + 12345;  // mid-minute on both ends
  q.to_ms = q.from_ms + c.span_ms;
  q.info = c.info;
  q.trade = c.trade;
  q.max_count = c.max_count;
  const std::string expected = Expected(m, q, c.max_count);
  const std::uint64_t n = CountTicks(m, q);
  ASSERT_EQ(n * 60, expected.size());
  std::string got;
  ASSERT_TRUE(StreamTicks(m, q, n, [&](const void* p, std::size_t size) {
    got.append(static_cast<const char*>(p), size);
    return true;
  }));
  EXPECT_TRUE(got == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, Streaming,
    ::testing::Values(Case{u"EURUSD", 600000, true, true, 1000000},        // one chunk
                      Case{u"EURUSD", 6 * 3600000, true, true, 1000000},   // several chunks
                      Case{u"EURUSD", 6 * 3600000, true, true, 20000},     // cut by count
                      Case{u"BTCUSD", 3 * 3600000, true, false, 1000000},  // quotes only
                      Case{u"BTCUSD", 3 * 3600000, false, true, 1000000},  // trades only
                      Case{u"EURUSD", 3600000, false, true, 1000000}));    // no trades at all

TEST(Streaming, AFailingSinkStopsTheStream) {
  const PriceModel m(9);
  TickQuery q;
  q.sym = FindSymbol(u"GBPUSD");
  q.from_ms = kMondayMs;
  q.to_ms = kMondayMs + 72 * 3600000LL;
  q.max_count = 1000000;
  const std::uint64_t n = CountTicks(m, q);
  ASSERT_GT(n * 60, 3u << 20);
  int calls = 0;
  EXPECT_FALSE(StreamTicks(m, q, n, [&](const void*, std::size_t) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace zk5::term
