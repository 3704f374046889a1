#include "accounts/store.h"

#include <sqlite3.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "accounts/trade.h"
#include "test_files.h"

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
  std::vector<Order> orders;
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

TEST_F(StoreTest, InABatchAFailedCommitTakesBackOnlyItsOwnChange) {
  Open();
  ASSERT_TRUE(store_.BeginBatch());
  EXPECT_FALSE(store_.BeginBatch());  // batches do not nest
  AccountState st = NewAccount(acc_, kTuesdayMs - 1000);
  ASSERT_TRUE(store_.Commit(&st));
  ASSERT_EQ(ExecuteTrade(quotes_, acc_, &st, Market(0, 0.1)).retcode, kRetDone);
  AccountState clash = st;
  clash.new_deals.push_back(clash.new_deals.back());
  ASSERT_FALSE(store_.Commit(&clash));
  // The batch goes on: the account made before the failure is there.
  AccountState stored;
  ASSERT_EQ(store_.Load(42, &stored), Store::LoadResult::kLoaded);
  EXPECT_TRUE(stored.positions.empty());
  ASSERT_TRUE(store_.Commit(&st));
  ASSERT_TRUE(store_.EndBatch());
  EXPECT_FALSE(store_.EndBatch());
  store_.Close();
  Open();
  ASSERT_EQ(store_.Load(42, &stored), Store::LoadResult::kLoaded);
  EXPECT_EQ(stored.positions.size(), 1u);
  HistoryQuery all;
  all.from_msc = INT64_MIN;
  all.to_msc = INT64_MAX;
  std::vector<Deal> deals;
  ASSERT_TRUE(store_.Deals(42, all, &deals));
  EXPECT_EQ(deals.size(), 2u);  // the deposit and the buy, once
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

// A store cut short is found at once and refused as damaged, whatever
// part of it the account calls would read; so is one that exists without
// its tables. Only a missing one is new.
TEST_F(StoreTest, ADamagedStoreIsRefusedAtOpenAndANewOneIsTold) {
  Open();
  EXPECT_TRUE(store_.created());
  AccountState st = NewAccount(acc_, kTuesdayMs - 1000);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(ExecuteTrade(quotes_, acc_, &st, Market(i % 2, 0.01)).retcode, kRetDone);
    ASSERT_TRUE(store_.Commit(&st));
  }
  store_.Close();
  Open();
  EXPECT_FALSE(store_.created());
  store_.Close();
  const auto size = std::filesystem::file_size(path_);
  ASSERT_GT(size, 16384u);
  // Cut at a page boundary: only the header tells it is short.
  std::filesystem::resize_file(path_, size / 2 / 4096 * 4096);
  std::string error;
  EXPECT_FALSE(store_.Open(path_, true, &error));
  EXPECT_TRUE(store_.damaged());
  EXPECT_NE(error.find("shorter than its header says"), std::string::npos) << error;
  // A file that is no database at all is damaged too, and so are an empty
  // one and a database without the tables.
  ASSERT_TRUE(test::WriteFile(dir_ / "junk.sqlite", std::string(8192, 'x')));
  EXPECT_FALSE(store_.Open(dir_ / "junk.sqlite", true, &error));
  EXPECT_TRUE(store_.damaged());
  ASSERT_TRUE(test::WriteFile(dir_ / "empty.sqlite", ""));
  EXPECT_FALSE(store_.Open(dir_ / "empty.sqlite", true, &error));
  EXPECT_TRUE(store_.damaged());
  {
    sqlite3* db = nullptr;
    const std::string bare = dir_ / "bare.sqlite";
    ASSERT_EQ(sqlite3_open(bare.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE t(x); DROP TABLE t",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    error.clear();
    EXPECT_FALSE(store_.Open(bare, true, &error));
    EXPECT_TRUE(store_.damaged());
    EXPECT_NE(error.find("no account tables"), std::string::npos) << error;
  }
  // A missing store whose log is still there would be made from the log:
  // damaged as well.
  ASSERT_TRUE(test::WriteFile(dir_ / "gone.sqlite-wal", std::string(4096, '\0')));
  EXPECT_FALSE(store_.Open(dir_ / "gone.sqlite", true, &error));
  EXPECT_TRUE(store_.damaged());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "gone.sqlite"));
  ASSERT_TRUE(store_.Open(dir_ / "new.sqlite", true, &error)) << error;
  EXPECT_FALSE(store_.damaged());
  EXPECT_TRUE(store_.created());
}

// Closed, the store is its one file: the log is folded into it and
// removed, so that a copy of the file alone holds every account.
TEST_F(StoreTest, AClosedStoreIsOneFileAndACopyOfItIsWhole) {
  Open();
  store_.DeferFlushes();
  AccountState st = NewAccount(acc_, kTuesdayMs - 1000);
  ASSERT_TRUE(store_.Commit(&st));
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(ExecuteTrade(quotes_, acc_, &st, Market(i % 2, 0.01)).retcode, kRetDone);
    ASSERT_TRUE(store_.Commit(&st));
  }
  ASSERT_TRUE(store_.Flush());
  EXPECT_TRUE(std::filesystem::exists(path_ + "-wal"));
  ASSERT_TRUE(store_.Close());
  EXPECT_FALSE(std::filesystem::exists(path_ + "-wal"));
  EXPECT_TRUE(store_.Flush());  // nothing left to flush
  const std::string copy = dir_ / "copy.sqlite";
  std::filesystem::copy_file(path_, copy);
  std::string error;
  ASSERT_TRUE(store_.Open(copy, true, &error)) << error;
  EXPECT_FALSE(store_.created());
  AccountState back;
  ASSERT_EQ(store_.Load(42, &back), Store::LoadResult::kLoaded);
  EXPECT_EQ(back.balance, st.balance);
  EXPECT_EQ(back.next_ticket, st.next_ticket);
  HistoryQuery all;
  all.from_msc = INT64_MIN;
  all.to_msc = INT64_MAX;
  std::uint64_t n = 0;
  ASSERT_TRUE(store_.Count(42, true, all, &n));
  EXPECT_EQ(n, 21u);
}

// With flushes deferred, commits are visible at once and durable after
// Flush; the request ids stored are the end of the reserved block.
TEST_F(StoreTest, DeferredFlushesAndReservedRequestIds) {
  Open();
  store_.DeferFlushes();
  AccountState st = NewAccount(acc_, kTuesdayMs - 1000);
  st.request_id_limit = 1000;
  ASSERT_EQ(ExecuteTrade(quotes_, acc_, &st, Market(0, 0.1)).request_id, 1u);
  ASSERT_TRUE(store_.Commit(&st));
  ASSERT_TRUE(store_.Flush());
  store_.Close();
  Open();
  AccountState back;
  ASSERT_EQ(store_.Load(42, &back), Store::LoadResult::kLoaded);
  EXPECT_EQ(back.positions.size(), 1u);
  EXPECT_EQ(back.next_request_id, 1000u);
  EXPECT_EQ(back.request_id_limit, 1000u);
}

// A database as the first schema left it: no stops, no working orders, no
// evaluated time.
constexpr char kSchema1[] =
    "CREATE TABLE accounts(login INTEGER PRIMARY KEY, balance REAL NOT NULL, credit REAL NOT NULL,"
    " next_ticket INTEGER NOT NULL, next_request_id INTEGER NOT NULL);"
    "CREATE TABLE positions(login INTEGER NOT NULL, ticket INTEGER NOT NULL, time_msc INTEGER NOT "
    "NULL,"
    " time_update_msc INTEGER NOT NULL, type INTEGER NOT NULL, magic INTEGER NOT NULL,"
    " reason INTEGER NOT NULL, volume REAL NOT NULL, price_open REAL NOT NULL, symbol TEXT NOT "
    "NULL,"
    " comment TEXT NOT NULL, PRIMARY KEY(login, ticket)) WITHOUT ROWID;"
    "CREATE TABLE orders(login INTEGER NOT NULL, ticket INTEGER NOT NULL, time_setup_msc INTEGER "
    "NOT NULL,"
    " time_done_msc INTEGER NOT NULL, type INTEGER NOT NULL, type_filling INTEGER NOT NULL,"
    " state INTEGER NOT NULL, magic INTEGER NOT NULL, position_id INTEGER NOT NULL,"
    " reason INTEGER NOT NULL, volume_initial REAL NOT NULL, price_open REAL NOT NULL,"
    " price_current REAL NOT NULL, symbol TEXT NOT NULL, comment TEXT NOT NULL,"
    " PRIMARY KEY(login, ticket)) WITHOUT ROWID;"
    "CREATE TABLE deals(login INTEGER NOT NULL, ticket INTEGER NOT NULL, order_ticket INTEGER NOT "
    "NULL,"
    " time_msc INTEGER NOT NULL, type INTEGER NOT NULL, entry INTEGER NOT NULL, magic INTEGER NOT "
    "NULL,"
    " position_id INTEGER NOT NULL, reason INTEGER NOT NULL, volume REAL NOT NULL, price REAL NOT "
    "NULL,"
    " commission REAL NOT NULL, swap REAL NOT NULL, profit REAL NOT NULL, fee REAL NOT NULL,"
    " symbol TEXT NOT NULL, comment TEXT NOT NULL, PRIMARY KEY(login, ticket)) WITHOUT ROWID;"
    "INSERT INTO accounts VALUES(7, 9990, 0, 1000010, 5);"
    "INSERT INTO positions VALUES(7, 1000004, 1709647200250, 1709647200250, 0, 1, 3, 0.5, 1.085,"
    " 'EURUSD', 'old');"
    "INSERT INTO orders VALUES(7, 1000004, 1709647200250, 1709647200250, 0, 0, 4, 1, 1000004, 3, "
    "0.5,"
    " 1.085, 1.085, 'EURUSD', 'old');"
    "PRAGMA user_version = 1;";

TEST_F(StoreTest, UpgradesTheFirstSchemaAndKeepsWorkingOrdersStopsAndTheEvaluatedTime) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, kSchema1, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  {
    Open();
    AccountState st;
    ASSERT_EQ(store_.Load(7, &st), Store::LoadResult::kLoaded);
    ASSERT_EQ(st.positions.size(), 1u);
    EXPECT_EQ(st.positions[0].comment, u"old");
    EXPECT_EQ(st.positions[0].sl, 0);
    EXPECT_EQ(st.evaluated_msc, 0);  // unknown: the stream starts at the positions
    EXPECT_TRUE(st.working.empty());

    st.positions[0].sl = 1.08;
    st.positions[0].swap = -1.25;
    st.changed_positions.push_back(st.positions[0].ticket);
    Order o;
    o.ticket = 1000010;
    o.state = kOrderStatePlaced;
    o.type = kOrderTypeBuyStopLimit;
    o.price_open = 1.09;
    o.price_stoplimit = 1.088;
    o.time_expiration = 1709683200;
    o.type_time = kOrderTimeDay;
    o.symbol = u"EURUSD";
    st.working.push_back(o);
    st.new_orders.push_back(o);
    st.evaluated_msc = 1709647260000;
    ASSERT_TRUE(store_.Commit(&st));
    store_.Close();
  }
  Open();
  AccountState st;
  ASSERT_EQ(store_.Load(7, &st), Store::LoadResult::kLoaded);
  EXPECT_EQ(st.evaluated_msc, 1709647260000);
  EXPECT_EQ(st.positions[0].sl, 1.08);
  EXPECT_EQ(st.positions[0].swap, -1.25);
  ASSERT_EQ(st.working.size(), 1u);
  EXPECT_EQ(st.working[0].price_stoplimit, 1.088);
  EXPECT_EQ(st.working[0].time_expiration, 1709683200);
  // A working order is no history yet.
  std::vector<Order> history;
  HistoryQuery all;
  all.from_msc = 0;
  all.to_msc = INT64_MAX;
  ASSERT_TRUE(store_.Orders(7, all, &history));
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].ticket, 1000004u);
  HistoryQuery by_ticket;
  by_ticket.by = HistoryQuery::kTicket;
  by_ticket.number = 1000010;
  ASSERT_TRUE(store_.Orders(7, by_ticket, &history));
  EXPECT_TRUE(history.empty());
}

}  // namespace
}  // namespace zk5::term
