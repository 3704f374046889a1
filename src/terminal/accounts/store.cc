#include "accounts/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include <string>
#include <type_traits>
#include <variant>

#include "base/text.h"
#include "os/os.h"
#include "os/service.h"

namespace zk5::term {

namespace {

// The schema version this terminal writes (PRAGMA user_version).
constexpr int kSchemaVersion = 2;

// One column of a record table: its name, the struct member it holds and
// the schema version that added it (later ones are added to an older
// database with the value 0).
template <typename T>
struct Column {
  const char* name;
  std::variant<std::int64_t T::*, std::uint64_t T::*, std::uint32_t T::*, double T::*,
               std::u16string T::*>
      member;
  int since = 1;
};

// The record tables; "login" comes first in each, then these columns, the
// first of which is the ticket.
const Column<Position> kPositionColumns[] = {
    {"ticket", &Position::ticket},
    {"time_msc", &Position::time_msc},
    {"time_update_msc", &Position::time_update_msc},
    {"type", &Position::type},
    {"magic", &Position::magic},
    {"reason", &Position::reason},
    {"volume", &Position::volume},
    {"price_open", &Position::price_open},
    {"symbol", &Position::symbol},
    {"comment", &Position::comment},
    {"sl", &Position::sl, 2},
    {"tp", &Position::tp, 2},
    {"swap", &Position::swap, 2},
};

const Column<Order> kOrderColumns[] = {
    {"ticket", &Order::ticket},
    {"time_setup_msc", &Order::time_setup_msc},
    {"time_done_msc", &Order::time_done_msc},
    {"type", &Order::type},
    {"type_filling", &Order::type_filling},
    {"state", &Order::state},
    {"magic", &Order::magic},
    {"position_id", &Order::position_id},
    {"reason", &Order::reason},
    {"volume_initial", &Order::volume_initial},
    {"price_open", &Order::price_open},
    {"price_current", &Order::price_current},
    {"symbol", &Order::symbol},
    {"comment", &Order::comment},
    {"time_expiration", &Order::time_expiration, 2},
    {"type_time", &Order::type_time, 2},
    {"position_by_id", &Order::position_by_id, 2},
    {"volume_current", &Order::volume_current, 2},
    {"sl", &Order::sl, 2},
    {"tp", &Order::tp, 2},
    {"price_stoplimit", &Order::price_stoplimit, 2},
};

const Column<Deal> kDealColumns[] = {
    {"ticket", &Deal::ticket},
    {"order_ticket", &Deal::order},
    {"time_msc", &Deal::time_msc},
    {"type", &Deal::type},
    {"entry", &Deal::entry},
    {"magic", &Deal::magic},
    {"position_id", &Deal::position_id},
    {"reason", &Deal::reason},
    {"volume", &Deal::volume},
    {"price", &Deal::price},
    {"commission", &Deal::commission},
    {"swap", &Deal::swap},
    {"profit", &Deal::profit},
    {"fee", &Deal::fee},
    {"symbol", &Deal::symbol},
    {"comment", &Deal::comment},
};

// The table's name, and the column that history selects by time.
template <typename T>
struct TableOf;
template <>
struct TableOf<Position> {
  static constexpr const char* kName = "positions";
};
template <>
struct TableOf<Order> {
  static constexpr const char* kName = "orders";
  static constexpr const char* kTime = "time_done_msc";
};
template <>
struct TableOf<Deal> {
  static constexpr const char* kName = "deals";
  static constexpr const char* kTime = "time_msc";
};

template <typename T>
const char* SqlType(const Column<T>& c) {
  return std::visit(
      [](auto m) {
        using V = std::remove_reference_t<decltype(std::declval<T&>().*m)>;
        if constexpr (std::is_same_v<V, double>)
          return " REAL NOT NULL";
        else if constexpr (std::is_same_v<V, std::u16string>)
          return " TEXT NOT NULL";
        else
          return " INTEGER NOT NULL";
      },
      c.member);
}

template <typename T, std::size_t N>
std::string CreateTable(const Column<T> (&cols)[N]) {
  std::string sql = std::string("CREATE TABLE ") + TableOf<T>::kName + "(login INTEGER NOT NULL";
  for (const Column<T>& c : cols) sql += std::string(", ") + c.name + SqlType(c);
  return sql + ", PRIMARY KEY(login, ticket)) WITHOUT ROWID";
}

// The columns a database of schema `version` lacks, added with the value 0.
template <typename T, std::size_t N>
std::string AddColumns(const Column<T> (&cols)[N], int version) {
  std::string sql;
  for (const Column<T>& c : cols) {
    if (c.since <= version) continue;
    sql += std::string("ALTER TABLE ") + TableOf<T>::kName + " ADD COLUMN " + c.name + SqlType(c) +
           (std::string(SqlType(c)) == " TEXT NOT NULL" ? " DEFAULT ''" : " DEFAULT 0") + ";";
  }
  return sql;
}

template <typename T, std::size_t N>
std::string ColumnList(const Column<T> (&cols)[N]) {
  std::string out;
  for (const Column<T>& c : cols) out += std::string(out.empty() ? "" : ", ") + c.name;
  return out;
}

// Positions and orders change (an order placed, later filled); a deal is
// written once, and a second one with its ticket fails the transaction.
template <typename T, std::size_t N>
std::string InsertSql(const Column<T> (&cols)[N]) {
  const char* verb = std::is_same_v<T, Deal> ? "INSERT INTO " : "INSERT OR REPLACE INTO ";
  std::string sql =
      std::string(verb) + TableOf<T>::kName + "(login, " + ColumnList(cols) + ") VALUES(?";
  for (std::size_t i = 0; i < N; ++i) sql += ", ?";
  return sql + ")";
}

template <typename T, std::size_t N>
bool Bind(sqlite3_stmt* st, std::uint64_t login, const T& rec, const Column<T> (&cols)[N]) {
  bool ok = sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(login)) == SQLITE_OK;
  int i = 2;
  for (const Column<T>& c : cols) {
    ok = ok && std::visit(
                   [&](auto m) {
                     const auto& v = rec.*m;
                     using V = std::remove_const_t<std::remove_reference_t<decltype(v)>>;
                     if constexpr (std::is_same_v<V, double>) {
                       return sqlite3_bind_double(st, i, v) == SQLITE_OK;
                     } else if constexpr (std::is_same_v<V, std::u16string>) {
                       return sqlite3_bind_text16(st, i, v.data(), static_cast<int>(v.size() * 2),
                                                  SQLITE_TRANSIENT) == SQLITE_OK;
                     } else {
                       return sqlite3_bind_int64(st, i, static_cast<sqlite3_int64>(v)) == SQLITE_OK;
                     }
                   },
                   c.member);
    ++i;
  }
  return ok;
}

// Reads the columns of the current row, starting at column `first`.
template <typename T, std::size_t N>
T Read(sqlite3_stmt* st, int first, const Column<T> (&cols)[N]) {
  T rec;
  int i = first;
  for (const Column<T>& c : cols) {
    std::visit(
        [&](auto m) {
          auto& v = rec.*m;
          using V = std::remove_reference_t<decltype(v)>;
          if constexpr (std::is_same_v<V, double>) {
            v = sqlite3_column_double(st, i);
          } else if constexpr (std::is_same_v<V, std::u16string>) {
            const void* p = sqlite3_column_text16(st, i);
            const int bytes = sqlite3_column_bytes16(st, i);
            v.assign(static_cast<const char16_t*>(p), p == nullptr ? 0 : bytes / 2);
          } else {
            v = static_cast<V>(sqlite3_column_int64(st, i));
          }
        },
        c.member);
    ++i;
  }
  return rec;
}

// The indexes the history selections name (see Where), made at every open:
// a store migrated from the first schema may lack them.
constexpr const char* kHistoryIndexes =
    "CREATE INDEX IF NOT EXISTS orders_time ON orders(login, time_done_msc);"
    "CREATE INDEX IF NOT EXISTS orders_position ON orders(login, position_id);"
    "CREATE INDEX IF NOT EXISTS deals_time ON deals(login, time_msc);"
    "CREATE INDEX IF NOT EXISTS deals_position ON deals(login, position_id);";

// The history selection of a query as SQL after "FROM table", with the
// bound values ?1 login, ?2 and ?3.
// Working orders (state placed) share the orders table but are not history.
// Selections by time or position name their index: to give rows in ticket
// order the planner would otherwise walk the account's whole history.
template <typename T>
std::string Where(const HistoryQuery& q) {
  const std::string history = std::is_same_v<T, Order> ? " AND state <> 1" : "";
  const std::string table = TableOf<T>::kName;
  switch (q.by) {
    case HistoryQuery::kTime:
      return " INDEXED BY " + table + "_time WHERE login = ?1 AND " + TableOf<T>::kTime +
             " BETWEEN ?2 AND ?3" + history;
    case HistoryQuery::kPosition:
      return " INDEXED BY " + table + "_position WHERE login = ?1 AND position_id = ?2" + history;
    case HistoryQuery::kTicket:
      return " WHERE login = ?1 AND ticket = ?2" + history;
  }
  return {};
}

bool BindQuery(sqlite3_stmt* st, std::uint64_t login, const HistoryQuery& q) {
  bool ok = sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(login)) == SQLITE_OK;
  if (q.by == HistoryQuery::kTime) {
    ok = ok && sqlite3_bind_int64(st, 2, q.from_msc) == SQLITE_OK &&
         sqlite3_bind_int64(st, 3, q.to_msc) == SQLITE_OK;
  } else {
    ok = ok && sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(q.number)) == SQLITE_OK;
  }
  return ok;
}

// Resets a statement for its next use whatever happened to it.
struct Reset {
  sqlite3_stmt* st;
  ~Reset() {
    if (st != nullptr) {
      sqlite3_reset(st);
      sqlite3_clear_bindings(st);
    }
  }
};

template <typename T, std::size_t N>
bool Select(sqlite3_stmt* st, std::uint64_t login, const HistoryQuery& q,
            const Column<T> (&cols)[N], std::vector<T>* out) {
  Reset reset{st};
  if (st == nullptr || !BindQuery(st, login, q)) return false;
  out->clear();
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) out->push_back(Read(st, 0, cols));
  return rc == SQLITE_DONE;
}

// The size of a regular file; 0 when there is none.
std::uint64_t SizeOf(const std::u16string& path) {
  os::FileHandle h;
  std::uint64_t size = 0;
  if (os::OpenRegularFile(path, &h, &size) != os::FileKind::kRegular) return 0;
  os::CloseFile(h);
  return size;
}

}  // namespace

Store::~Store() { Close(); }

bool Store::Close() {
  if (db_ == nullptr) return true;
  for (auto& [sql, st] : statements_) sqlite3_finalize(st);
  statements_.clear();
  // The log folded into the file and removed: the file alone is the store
  // (a copy of it is a backup). Left as it is when that fails: the next
  // open reads the log again.
  bool ok = true;
  if (opened_) {
    ok = Exec("PRAGMA wal_checkpoint(TRUNCATE)") && Exec("PRAGMA journal_mode = DELETE");
  }
  ok = sqlite3_close(db_) == SQLITE_OK && ok;
  db_ = nullptr;
  deferred_ = false;
  if (opened_ && ok) {
    // The log's removal durable too, or a crash could bring an old one back.
    ok = !os::PathExists(wal_path_) && os::FlushToDisk(folder_path_);
  }
  opened_ = false;
  return ok;
}

void Store::Discard() {
  for (auto& [sql, st] : statements_) sqlite3_finalize(st);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
  opened_ = deferred_ = false;
}

bool Store::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* Store::Prepare(const std::string& sql) {
  const auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &st, nullptr) != SQLITE_OK) {
    return nullptr;
  }
  statements_.emplace(sql, st);
  return st;
}

// What the file's header says of a store that exists, before SQLite reads
// it: empty, no database, or cut short (shorter than the pages its header
// counts; with a log the pages may live in the log). Empty when it looks
// whole.
std::string Store::CheckHeader(const std::u16string& path, const std::u16string& wal) {
  os::FileHandle h;
  std::uint64_t size = 0;
  if (os::OpenRegularFile(path, &h, &size) != os::FileKind::kRegular) return {};
  unsigned char header[100] = {};
  std::size_t got = 0;
  const bool read = os::ReadFromFile(h, header, sizeof header, &got);
  os::CloseFile(h);
  if (size == 0) return "the file is empty";
  static const char kMagic[] = "SQLite format 3";
  if (!read || got < sizeof header || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    return "the file is not an account store";
  }
  auto be32 = [&](int at) {
    return std::uint32_t{header[at]} << 24 | std::uint32_t{header[at + 1]} << 16 |
           std::uint32_t{header[at + 2]} << 8 | header[at + 3];
  };
  const std::uint32_t raw_page = std::uint32_t{header[16]} << 8 | header[17];
  const std::uint64_t page_size = raw_page == 1 ? 65536 : raw_page;
  // The page count is valid when the change counter matches the one it
  // was written with.
  const std::uint32_t pages = be32(28);
  if (pages == 0 || be32(24) != be32(92)) return {};
  if (SizeOf(wal) == 0 && std::uint64_t{pages} * page_size > size) {
    return "the file is shorter than its header says: " + std::to_string(size) + " bytes for " +
           std::to_string(pages) + " pages of " + std::to_string(page_size);
  }
  return {};
}

bool Store::Open(const std::string& path, bool durable, std::string* error) {
  Discard();
  damaged_ = created_ = false;
  folder_flushed_.store(false);
  const std::u16string wide = text::Utf8ToUtf16(path.data(), path.size());
  wal_path_ = wide + u"-wal";
  const std::size_t slash = wide.find_last_of(u"/\\");
  folder_path_ = slash == std::u16string::npos ? u"." : wide.substr(0, slash == 0 ? 1 : slash);
  const os::FileKind kind = os::KindOfPath(wide);
  if (kind == os::FileKind::kMissing) {
    // A log without its store would be read into the new one.
    if (SizeOf(wal_path_) != 0) {
      damaged_ = true;
      *error = "the file is missing but its -wal file is there";
      return false;
    }
    // Made whole under another name, then renamed: a store file that
    // exists always held its tables, so one without them is damaged.
    if (!Create(path, error)) return false;
    created_ = true;
  } else if (kind == os::FileKind::kRegular) {
    const std::string header = CheckHeader(wide, wal_path_);
    if (!header.empty()) {
      damaged_ = true;
      *error = header;
      return false;
    }
  }
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    *error = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open";
    Discard();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  // Only this process uses the file (the data folder's lock sees to it);
  // exclusive locking keeps the WAL index in memory.
  // temp_store: a batch's savepoints keep their page copies in memory.
  bool ok = Exec("PRAGMA locking_mode = EXCLUSIVE") && Exec("PRAGMA temp_store = MEMORY") &&
            Exec("PRAGMA journal_mode = WAL") &&
            Exec(durable ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = OFF") &&
            Migrate(false, error) && Exec(kHistoryIndexes);
  // Every page read once: a file cut short or overwritten is found now,
  // not by the account calls later.
  if (ok) {
    sqlite3_stmt* check = Prepare("PRAGMA quick_check(1)");
    std::string verdict;
    if (check != nullptr) {
      Reset reset{check};
      if (sqlite3_step(check) == SQLITE_ROW) {
        const unsigned char* v = sqlite3_column_text(check, 0);
        verdict = v != nullptr ? reinterpret_cast<const char*>(v) : "";
      }
    }
    if (verdict != "ok") {
      ok = false;
      damaged_ = true;
      *error = verdict.empty() ? sqlite3_errmsg(db_) : verdict;
    }
  }
  if (!ok) {
    const int code = sqlite3_errcode(db_) & 0xFF;
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) damaged_ = true;
    if (error->empty()) *error = sqlite3_errmsg(db_);
    Discard();
    return false;
  }
  opened_ = true;
  return true;
}

bool Store::Create(const std::string& path, std::string* error) {
  // "<name>.tmp<digits>": what the terminal removes at start when a crash
  // left it.
  const std::string temp = path + ".tmp1";
  const std::u16string wide_temp = text::Utf8ToUtf16(temp.data(), temp.size());
  os::RemoveFile(wide_temp);
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  bool ok = sqlite3_open_v2(temp.c_str(), &db_, flags, nullptr) == SQLITE_OK;
  // No journal: a half-made file is thrown away, never opened.
  ok = ok && Exec("PRAGMA journal_mode = OFF") && Exec("PRAGMA encoding = 'UTF-16le'") &&
       Migrate(true, error);
  if (!ok && error->empty()) *error = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot create";
  Discard();
  const std::u16string wide = text::Utf8ToUtf16(path.data(), path.size());
  ok = ok && os::FlushToDisk(wide_temp) && os::RenameFile(wide_temp, wide) &&
       os::FlushToDisk(folder_path_);
  if (!ok) {
    if (error->empty()) *error = "cannot create " + path;
    os::RemoveFile(wide_temp);
  }
  return ok;
}

void Store::DeferFlushes() {
  if (db_ == nullptr) return;
  // NORMAL in WAL mode: a commit is written to the log but not flushed;
  // checkpoints still flush the log before the database.
  Exec("PRAGMA synchronous = NORMAL");
  deferred_ = true;
}

bool Store::Flush() {
  if (!deferred_) return true;
  // The log's own name must be durable too, once (it lives as long as the
  // store is open: exclusive locking keeps it).
  const bool ok = os::FlushToDisk(wal_path_);
  if (ok && !folder_flushed_.load()) {
    if (!os::FlushToDisk(folder_path_)) return false;
    folder_flushed_.store(true);
  }
  return ok;
}

bool Store::Migrate(bool creating, std::string* error) {
  sqlite3_stmt* st = Prepare("PRAGMA user_version");
  if (st == nullptr) return false;
  int version = -1;
  {
    Reset reset{st};
    if (sqlite3_step(st) == SQLITE_ROW) version = sqlite3_column_int(st, 0);
  }
  if (version < 0) return false;
  if (version > kSchemaVersion) {
    *error =
        "the account database was made by a newer version (schema " + std::to_string(version) + ")";
    return false;
  }
  if (version == kSchemaVersion) return true;
  if (version == 0 && !creating) {
    // Every store is made with its tables (Create).
    damaged_ = true;
    *error = "the file holds no account tables";
    return false;
  }
  std::string sql = "BEGIN IMMEDIATE;";
  if (version == 0) {
    sql +=
        "CREATE TABLE accounts(login INTEGER PRIMARY KEY, balance REAL NOT NULL,"
        " credit REAL NOT NULL, next_ticket INTEGER NOT NULL, next_request_id INTEGER NOT NULL,"
        " evaluated_msc INTEGER NOT NULL);" +
        CreateTable(kPositionColumns) + ";" + CreateTable(kOrderColumns) + ";" +
        CreateTable(kDealColumns) + ";";
  } else {
    // Version 2: stops and swaps of positions, working orders (state placed
    // in the orders table) and how far the price stream was evaluated (0:
    // unknown, taken from the positions at load).
    sql += AddColumns(kPositionColumns, version) + AddColumns(kOrderColumns, version) +
           "ALTER TABLE accounts ADD COLUMN evaluated_msc INTEGER NOT NULL DEFAULT 0;";
  }
  sql +=
      "CREATE INDEX orders_state ON orders(login, state);"
      "PRAGMA user_version = " +
      std::to_string(kSchemaVersion) +
      ";"
      "COMMIT;";
  if (!Exec(sql.c_str())) {
    Exec("ROLLBACK");
    return false;
  }
  return true;
}

Store::LoadResult Store::Load(std::uint64_t login, AccountState* st) {
  sqlite3_stmt* a = Prepare(
      "SELECT balance, credit, next_ticket, next_request_id, evaluated_msc FROM accounts WHERE "
      "login = ?1");
  if (a == nullptr) return LoadResult::kError;
  AccountState s;
  s.login = login;
  {
    Reset reset{a};
    if (sqlite3_bind_int64(a, 1, static_cast<sqlite3_int64>(login)) != SQLITE_OK) {
      return LoadResult::kError;
    }
    const int rc = sqlite3_step(a);
    if (rc == SQLITE_DONE) return LoadResult::kMissing;
    if (rc != SQLITE_ROW) return LoadResult::kError;
    s.balance = sqlite3_column_double(a, 0);
    s.credit = sqlite3_column_double(a, 1);
    s.next_ticket = static_cast<std::uint64_t>(sqlite3_column_int64(a, 2));
    s.next_request_id = static_cast<std::uint32_t>(sqlite3_column_int64(a, 3));
    s.request_id_limit = s.next_request_id;
    s.evaluated_msc = sqlite3_column_int64(a, 4);
    s.stored_evaluated_msc = s.evaluated_msc;
  }
  sqlite3_stmt* p = Prepare("SELECT " + ColumnList(kPositionColumns) +
                            " FROM positions WHERE login = ?1 ORDER BY ticket");
  if (p == nullptr) return LoadResult::kError;
  Reset reset{p};
  if (sqlite3_bind_int64(p, 1, static_cast<sqlite3_int64>(login)) != SQLITE_OK) {
    return LoadResult::kError;
  }
  int rc;
  while ((rc = sqlite3_step(p)) == SQLITE_ROW) s.positions.push_back(Read(p, 0, kPositionColumns));
  if (rc != SQLITE_DONE) return LoadResult::kError;
  sqlite3_stmt* w = Prepare("SELECT " + ColumnList(kOrderColumns) +
                            " FROM orders WHERE login = ?1 AND state = 1 ORDER BY ticket");
  if (w == nullptr) return LoadResult::kError;
  Reset reset_working{w};
  if (sqlite3_bind_int64(w, 1, static_cast<sqlite3_int64>(login)) != SQLITE_OK) {
    return LoadResult::kError;
  }
  while ((rc = sqlite3_step(w)) == SQLITE_ROW) s.working.push_back(Read(w, 0, kOrderColumns));
  if (rc != SQLITE_DONE) return LoadResult::kError;
  *st = std::move(s);
  return LoadResult::kLoaded;
}

bool Store::BeginBatch() {
  if (db_ == nullptr || batch_) return false;
  sqlite3_stmt* begin = Prepare("BEGIN IMMEDIATE");
  if (begin == nullptr) return false;
  Reset reset{begin};
  if (sqlite3_step(begin) != SQLITE_DONE) return false;
  batch_ = true;
  batch_broken_ = false;
  return true;
}

bool Store::EndBatch() {
  if (!batch_) return false;
  batch_ = false;
  if (!batch_broken_ && !sqlite3_get_autocommit(db_)) {
    sqlite3_stmt* commit = Prepare("COMMIT");
    if (commit != nullptr) {
      Reset reset{commit};
      if (sqlite3_step(commit) == SQLITE_DONE) return true;
    }
  }
  // After a failed COMMIT the transaction may still be open.
  if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
  return false;
}

bool Store::Commit(AccountState* st) { return Write(st, false); }

bool Store::Replace(AccountState* st) { return Write(st, true); }

bool Store::Write(AccountState* st, bool replace) {
  if (db_ == nullptr) return false;
  if (batch_ && (batch_broken_ || sqlite3_get_autocommit(db_))) {
    batch_broken_ = true;
    return false;
  }
  sqlite3_stmt* begin = Prepare(batch_ ? "SAVEPOINT change" : "BEGIN IMMEDIATE");
  sqlite3_stmt* commit = Prepare(batch_ ? "RELEASE change" : "COMMIT");
  sqlite3_stmt* account = Prepare(
      "INSERT INTO accounts(login, balance, credit, next_ticket, next_request_id, evaluated_msc)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(login) DO UPDATE SET balance = excluded.balance,"
      " credit = excluded.credit, next_ticket = excluded.next_ticket,"
      " next_request_id = excluded.next_request_id, evaluated_msc = excluded.evaluated_msc");
  sqlite3_stmt* put_position = Prepare(InsertSql(kPositionColumns));
  sqlite3_stmt* drop_position = Prepare("DELETE FROM positions WHERE login = ?1 AND ticket = ?2");
  sqlite3_stmt* put_order = Prepare(InsertSql(kOrderColumns));
  sqlite3_stmt* put_deal = Prepare(InsertSql(kDealColumns));
  if (begin == nullptr || commit == nullptr || account == nullptr || put_position == nullptr ||
      drop_position == nullptr || put_order == nullptr || put_deal == nullptr) {
    return false;
  }
  auto step = [](sqlite3_stmt* s, bool bound) {
    Reset reset{s};
    return bound && sqlite3_step(s) == SQLITE_DONE;
  };
  const auto login = static_cast<sqlite3_int64>(st->login);
  if (!step(begin, true)) return false;
  bool ok = true;
  for (const char* table : {"positions", "orders", "deals"}) {
    if (!replace) break;
    sqlite3_stmt* erase = Prepare(std::string("DELETE FROM ") + table + " WHERE login = ?1");
    ok = ok && erase != nullptr && step(erase, sqlite3_bind_int64(erase, 1, login) == SQLITE_OK);
  }
  ok = ok &&
       step(account,
            sqlite3_bind_int64(account, 1, login) == SQLITE_OK &&
                sqlite3_bind_double(account, 2, st->balance) == SQLITE_OK &&
                sqlite3_bind_double(account, 3, st->credit) == SQLITE_OK &&
                sqlite3_bind_int64(account, 4, static_cast<sqlite3_int64>(st->next_ticket)) ==
                    SQLITE_OK &&
                sqlite3_bind_int64(account, 5,
                                   std::max<std::int64_t>(st->next_request_id,
                                                          st->request_id_limit)) == SQLITE_OK &&
                sqlite3_bind_int64(account, 6, st->evaluated_msc) == SQLITE_OK);
  for (std::uint64_t ticket : st->changed_positions) {
    const Position* open = nullptr;
    for (const Position& p : st->positions) {
      if (p.ticket == ticket) open = &p;
    }
    if (open != nullptr) {
      ok = ok && step(put_position, Bind(put_position, st->login, *open, kPositionColumns));
    } else {
      ok = ok && step(drop_position,
                      sqlite3_bind_int64(drop_position, 1, login) == SQLITE_OK &&
                          sqlite3_bind_int64(drop_position, 2,
                                             static_cast<sqlite3_int64>(ticket)) == SQLITE_OK);
    }
  }
  for (const Order& o : st->new_orders) {
    ok = ok && step(put_order, Bind(put_order, st->login, o, kOrderColumns));
  }
  for (const Deal& d : st->new_deals) {
    ok = ok && step(put_deal, Bind(put_deal, st->login, d, kDealColumns));
  }
  if (!ok || !step(commit, true)) {
    if (!batch_) {
      // After a failed COMMIT the transaction may still be open.
      if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
    } else if (sqlite3_get_autocommit(db_)) {
      batch_broken_ = true;  // the database rolled the whole batch back
    } else if (!Exec("ROLLBACK TO change") || !Exec("RELEASE change")) {
      batch_broken_ = true;
    }
    return false;
  }
  st->ClearJournal();
  st->stored_evaluated_msc = st->evaluated_msc;
  return true;
}

bool Store::Orders(std::uint64_t login, const HistoryQuery& q, std::vector<Order>* out) {
  if (db_ == nullptr) return false;
  sqlite3_stmt* st = Prepare("SELECT " + ColumnList(kOrderColumns) + " FROM orders" +
                             Where<Order>(q) + " ORDER BY ticket");
  return Select(st, login, q, kOrderColumns, out);
}

bool Store::Deals(std::uint64_t login, const HistoryQuery& q, std::vector<Deal>* out) {
  if (db_ == nullptr) return false;
  sqlite3_stmt* st = Prepare("SELECT " + ColumnList(kDealColumns) + " FROM deals" + Where<Deal>(q) +
                             " ORDER BY ticket");
  return Select(st, login, q, kDealColumns, out);
}

bool Store::Count(std::uint64_t login, bool deals, const HistoryQuery& q, std::uint64_t* n) {
  if (db_ == nullptr) return false;
  sqlite3_stmt* st = Prepare(deals ? "SELECT COUNT(*) FROM deals" + Where<Deal>(q)
                                   : "SELECT COUNT(*) FROM orders" + Where<Order>(q));
  if (st == nullptr) return false;
  Reset reset{st};
  if (!BindQuery(st, login, q) || sqlite3_step(st) != SQLITE_ROW) return false;
  *n = static_cast<std::uint64_t>(sqlite3_column_int64(st, 0));
  return true;
}

}  // namespace zk5::term
