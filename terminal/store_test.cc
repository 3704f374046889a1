#include "store.h"

#include <sqlite3.h>

#include <string>

#include <gtest/gtest.h>

#include "test_files.h"
#include "trade.h"

namespace zk5::term {
namespace {

constexpr std::int64_t kTuesdayMs = 1709647200250;  // 2024-03-05 14:00:00.250 UTC

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : model_(1), quotes_(model_, kTuesdayMs) {
    acc_.login = 42;
    path_ = dir_ / "accounts.sqlite";
  }

  void Open() {
    std::string error;
    ASSERT_TRUE(store_.Open(path_, true, &error)) << error;
  }

  TradeRequest Market(std::uint32_t type, double volume, std::uint64_t position = 0) {
    TradeRequest r;
    r.action = kActionDeal;
    r.symbol = u"EURUSD";
    r.type = type;
    r.volume = volume;
    r.position = position;
    r.comment = u"\xD800 lone half, \U0001F600";  // kept unit for unit
    return r;
  }

  test::TempDir dir_;
  std::string path_;
  PriceModel model_;
  Quotes quotes_;
  AccountConfig acc_;
  Store store_;
};

TEST_F(StoreTest, ChangesAreCommittedWholeAndReadBackAfterReopening) {
  Open();
  AccountState st;
  EXPECT_EQ(store_.Load(42, &st), Store::LoadResult::kMissing);
  st = NewAccount(acc_, kTuesdayMs - 1000);
  ASSERT_TRUE(store_.Commit(&st));
  EXPECT_TRUE(st.new_deals.empty());

  const SendOutcome open = ExecuteTrade(quotes_, acc_, &st, Market(0, 0.3));
  ASSERT_EQ(open.retcode, kRetDone);
  ASSERT_TRUE(store_.Commit(&st));
  const SendOutcome part = ExecuteTrade(quotes_, acc_, &st, Market(1, 0.1, open.order));
  ASSERT_EQ(part.retcode, kRetDone);
  ASSERT_TRUE(store_.Commit(&st));
  store_.Close();

  Open();
  AccountState back;
  ASSERT_EQ(store_.Load(42, &back), Store::LoadResult::kLoaded);
  EXPECT_EQ(back.balance, st.balance);
  EXPECT_EQ(back.next_ticket, st.next_ticket);
  EXPECT_EQ(back.next_request_id, st.next_request_id);
  ASSERT_EQ(back.positions.size(), 1u);
  EXPECT_EQ(back.positions[0].ticket, open.order);
  EXPECT_NEAR(back.positions[0].volume, 0.2, 1e-12);
  EXPECT_EQ(back.positions[0].comment, Market(0, 0).comment);

  std::vector<Deal> deals;
  HistoryQuery all;
  all.from_msc = INT64_MIN;
  all.to_msc = INT64_MAX;
  ASSERT_TRUE(store_.Deals(42, all, &deals));
  ASSERT_EQ(deals.size(), 3u);
  EXPECT_EQ(deals[0].comment, u"Initial deposit");
  EXPECT_EQ(deals[1].ticket, open.deal);
  EXPECT_EQ(deals[2].ticket, part.deal);
  EXPECT_EQ(deals[2].comment, Market(0, 0).comment);
  HistoryQuery by_position;
  by_position.by = HistoryQuery::kPosition;
  by_position.number = open.order;
  std::uint64_t n = 0;
  ASSERT_TRUE(store_.Count(42, true, by_position, &n));
  EXPECT_EQ(n, 2u);
  std::vector<HistoryOrder> orders;
  ASSERT_TRUE(store_.Orders(42, by_position, &orders));
  ASSERT_EQ(orders.size(), 2u);
  EXPECT_EQ(orders[1].ticket, part.order);
  HistoryQuery before;
  before.from_msc = 0;
  before.to_msc = kTuesdayMs - 1;
  ASSERT_TRUE(store_.Count(42, true, before, &n));
  EXPECT_EQ(n, 1u);  // the deposit only
  // Another account's history is its own.
  ASSERT_TRUE(store_.Count(43, true, all, &n));
  EXPECT_EQ(n, 0u);

  // Closing the rest removes the position from the store.
  const SendOutcome rest = ExecuteTrade(quotes_, acc_, &back, Market(1, 0.2, open.order));
  ASSERT_EQ(rest.retcode, kRetDone);
  ASSERT_TRUE(store_.Commit(&back));
  AccountState after;
  ASSERT_EQ(store_.Load(42, &after), Store::LoadResult::kLoaded);
  EXPECT_TRUE(after.positions.empty());
}

TEST_F(StoreTest, AFailedCommitWritesNothingAndKeepsTheJournal) {
  Open();
  AccountState st = NewAccount(acc_, kTuesdayMs - 1000);
  ASSERT_TRUE(store_.Commit(&st));
  ASSERT_EQ(ExecuteTrade(quotes_, acc_, &st, Market(0, 0.1)).retcode, kRetDone);
  // A deal whose ticket is taken already: the insert of the order went
  // through, the deal's fails, and the transaction must take both back.
  AccountState clash = st;
  clash.new_deals.push_back(clash.new_deals.back());
  ASSERT_FALSE(store_.Commit(&clash));
  EXPECT_EQ(clash.new_orders.size(), 1u);
  AccountState stored;
  ASSERT_EQ(store_.Load(42, &stored), Store::LoadResult::kLoaded);
  EXPECT_TRUE(stored.positions.empty());
  EXPECT_EQ(stored.next_ticket, NewAccount(acc_, 0).next_ticket);
  HistoryQuery all;
  all.from_msc = INT64_MIN;
  all.to_msc = INT64_MAX;
  std::uint64_t n = 0;
  ASSERT_TRUE(store_.Count(42, false, all, &n));
  EXPECT_EQ(n, 0u);
  // The store is usable afterwards.
  ASSERT_TRUE(store_.Commit(&st));
  ASSERT_EQ(store_.Load(42, &stored), Store::LoadResult::kLoaded);
  EXPECT_EQ(stored.positions.size(), 1u);
}

TEST_F(StoreTest, RefusesADatabaseOfANewerVersionOrNotADatabase) {
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::string error;
  EXPECT_FALSE(store_.Open(path_, true, &error));
  EXPECT_NE(error.find("newer version"), std::string::npos) << error;
  ASSERT_TRUE(test::WriteFile(dir_ / "junk.sqlite", std::string(4096, 'x')));
  error.clear();
  EXPECT_FALSE(store_.Open(dir_ / "junk.sqlite", true, &error));
  EXPECT_FALSE(error.empty());
  AccountState st;
  EXPECT_FALSE(store_.Commit(&st));
}

}  // namespace
}  // namespace zk5::term
