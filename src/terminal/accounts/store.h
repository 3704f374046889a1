// The account store: one SQLite database per data folder
// (bases/accounts.sqlite) holding every account's money and counters, its
// open positions, its history orders and its deals.
//
// The database runs in WAL mode, and a change is one transaction (Commit),
// or one savepoint of a batch's transaction; the terminal confirms a change
// only once its transaction is flushed (Flush), so a terminal killed at any
// moment restarts with every change it confirmed and nothing of one it did
// not. A commit writes only what the change touched: its cost does not
// grow with the history. Closed, the store is the one file: the log is
// folded into it and removed, so that a copy of the file is a backup.
//
// Schema (version 2 in PRAGMA user_version; text stored as UTF-16LE so that
// any text a client sends comes back unit for unit):
//   accounts(login PK, balance, credit, next_ticket, next_request_id:
//            the end of the request ids reserved (none at or above it was
//            handed out), evaluated_msc: how far the price stream was applied)
//   positions(login, ticket, ... the Position fields), PK (login, ticket)
//   orders(login, ticket, ... the Order fields), PK (login, ticket): the
//          history, and the working orders (state 1, placed), which the
//          history requests do not select
//   deals(login, ticket, ... the Deal fields), PK (login, ticket)
// with indexes on the times and position identifiers the history requests
// select by. Tickets are per account. A later version adds columns or
// tables by raising user_version (see Migrate in store.cc).
//
// Not thread-safe: the terminal serialises every use under its lock.
#ifndef ZK5_TERMINAL_ACCOUNTS_STORE_H_
#define ZK5_TERMINAL_ACCOUNTS_STORE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "accounts/account.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zk5::term {

// Which history records a request selects.
struct HistoryQuery {
  enum By { kTime, kPosition, kTicket } by = kTime;
  std::int64_t from_msc = 0;  // kTime: inclusive bounds
  std::int64_t to_msc = 0;
  std::uint64_t number = 0;  // kPosition: position identifier; kTicket: ticket
};

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens the database at `path` (UTF-8), creating it and its tables when
  // missing, and checks it whole. `durable` false turns the flush to disk
  // off (for fuzzing, and for installations thrown away after use). False
  // with a reason in *error; damaged() tells a damaged file from one that
  // cannot be opened. A missing file is a new store, made whole before it
  // gets its name; one that exists but is empty, holds no tables, is cut
  // short or overwritten is damaged.
  bool Open(const std::string& path, bool durable, std::string* error);
  // Folds the log into the database file and removes it, so that the file
  // alone holds the store, and closes. False when the log could not be
  // folded (it is then kept, and read again at the next open).
  bool Close();
  // Whether the last Open found the file damaged.
  bool damaged() const { return damaged_; }
  // Whether the last Open made the store: a new one.
  bool created() const { return created_; }

  // Group commit: from now on Commit leaves the flush to disk to Flush, so
  // that changes committed meanwhile share one. Until Flush returns true
  // a committed change is not durable (it is only visible).
  void DeferFlushes();
  // Flushes every change committed so far to disk. The one call that may
  // run on any thread, at the same time as the others.
  bool Flush();

  // A batch: the commits until EndBatch are one transaction, each of them a
  // savepoint inside it, so that many changes cost one write of the pages
  // they share. A commit that fails inside a batch takes back only its own
  // change, unless the database ended the whole transaction (then every
  // later commit of the batch fails too). EndBatch writes the transaction
  // and tells whether it did; when it did not, none of the batch's changes
  // is stored. Without a batch every commit is its own transaction.
  bool BeginBatch();
  bool EndBatch();

  enum class LoadResult { kLoaded, kMissing, kError };
  // The account's money, counters, open positions and working orders; the
  // journal empty.
  LoadResult Load(std::uint64_t login, AccountState* st);

  // Writes the account row and everything in the journal in one
  // transaction; clears the journal once it is durable. On failure nothing
  // is written and the journal is kept.
  bool Commit(AccountState* st);
  // Commit, after taking away everything the account held: its positions,
  // orders and deals. One transaction.
  bool Replace(AccountState* st);

  // History in ticket order. False on a database error.
  bool Orders(std::uint64_t login, const HistoryQuery& q, std::vector<Order>* out);
  bool Deals(std::uint64_t login, const HistoryQuery& q, std::vector<Deal>* out);
  bool Count(std::uint64_t login, bool deals, const HistoryQuery& q, std::uint64_t* n);

 private:
  sqlite3_stmt* Prepare(const std::string& sql);
  bool Exec(const char* sql);
  bool Migrate(bool creating, std::string* error);
  bool Create(const std::string& path, std::string* error);
  static std::string CheckHeader(const std::u16string& path, const std::u16string& wal);
  void Discard();  // closes without touching the file
  bool Write(AccountState* st, bool replace);

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  bool damaged_ = false;
  bool created_ = false;
  std::u16string wal_path_;     // set by DeferFlushes
  std::u16string folder_path_;  // the folder that holds the log's name
  bool deferred_ = false;
  bool opened_ = false;        // the last Open succeeded: Close folds the log
  bool batch_ = false;         // inside BeginBatch .. EndBatch
  bool batch_broken_ = false;  // the database ended the batch's transaction
  std::atomic<bool> folder_flushed_{false};
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_STORE_H_
