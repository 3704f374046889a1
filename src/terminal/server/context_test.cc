#include "server/context.h"

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "accounts/trade.h"
#include "os/service.h"
#include "test_files.h"

namespace zk5::term {
namespace {

constexpr std::int64_t kClockMs = 1420200000000;  // Friday 2015-01-02 12:00 UTC

TradeRequest Market(std::uint32_t type, std::uint64_t position = 0) {
  TradeRequest r;
  r.action = kActionDeal;
  r.symbol = u"EURUSD";
  r.type = type;
  r.volume = 0.01;
  r.position = position;
  return r;
}

// Trades on one account and one of its positions, in a batch; the ticket of
// the position opened (0 for a close).
std::uint64_t Trade(Terminal& t, Session* s, const TradeRequest& req) {
  std::uint64_t opened = 0;
  const std::int32_t status =
      t.WithAccount(s, [&](const AccountConfig& acc, AccountState& st, auto&& commit) {
        const SendOutcome out = ExecuteTrade(Quotes(t.model(), t.NowMs()), acc, &st, req);
        if (out.retcode != kRetDone || !commit()) return kCallFailed;
        opened = req.position == 0 ? out.order : 0;
        return kSuccess;
      });
  EXPECT_EQ(status, kSuccess);
  return opened;
}

// With group commit a read waits only for the flush of what it shows: not
// for the trades of another account, nor for those of other positions of
// its own, nor at all when it shows nothing stored.
TEST(GroupCommit, AReadWaitsOnlyForTheFlushOfWhatItShows) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  Installation inst;
  ASSERT_TRUE(LocateInstallation(test::U16(dir / "terminal64.exe"), true, &inst));
  ASSERT_TRUE(os::MakeDirectories(test::U16(dir / "config")));
  ASSERT_TRUE(os::MakeDirectories(test::U16(dir / "bases")));
  {
    Terminal t(inst, Settings{});
    t.FixClock(kClockMs);
    std::string error;
    ASSERT_TRUE(t.Load(&error)) << error;
    Session a, b;
    a.login = 10000001;
    b.login = 10000003;
    auto read = [&t](Session* s, Shows shows) {
      return t.ReadAccount(s, shows,
                           [](const AccountConfig&, AccountState&, auto&&) { return kSuccess; });
    };
    // Both accounts made (their deposits stored and flushed), and a
    // position of the first one.
    ASSERT_EQ(read(&b, Shows{}), kSuccess);
    const std::uint64_t kept = Trade(t, &a, Market(0));
    ASSERT_NE(kept, 0u);

    const std::uint64_t before = t.ReadsThatWaited();
    std::atomic<bool> trading{true};
    std::thread trader([&] {
      for (int i = 0; i < 100; ++i) {
        const std::uint64_t ticket = Trade(t, &a, Market(0));
        Trade(t, &a, Market(1, ticket));
      }
      trading.store(false);
    });
    int reads = 0;
    while (trading.load() || reads < 30) {
      ASSERT_EQ(read(&b, Shows{}), kSuccess);
      ASSERT_EQ(read(&a, Shows{Shows::kPosition, kept}), kSuccess);
      ASSERT_EQ(read(&a, Shows{Shows::kNothing}), kSuccess);
      ++reads;
    }
    trader.join();
    EXPECT_EQ(t.ReadsThatWaited(), before);
    AccountState seen;
    ASSERT_EQ(t.ReadAccount(&a, Shows{},
                            [&](const AccountConfig&, AccountState& st, auto&&) {
                              seen = st;
                              return kSuccess;
                            }),
              kSuccess);
    EXPECT_EQ(seen.positions.size(), 1u);
    ASSERT_TRUE(t.Close());
  }
  // Closed, the store is one file.
  EXPECT_FALSE(std::filesystem::exists(dir / "bases/accounts.sqlite-wal"));
}

}  // namespace
}  // namespace zk5::term
