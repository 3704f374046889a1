#include "server/context.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "accounts/legacy_file.h"
#include "accounts/password.h"
#include "base/text.h"
#include "os/os.h"
#include "os/service.h"

namespace zk5::term {

namespace {

std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

}  // namespace

namespace {

MarketClock MakeClock(const Settings& s) {
  if (s.replay)
    return MarketClock(s.replay_from_ms, s.replay_speed, s.replay_step_ms, s.replay_stepped,
                       s.replay_to_ms);
  return MarketClock(s.clock_shift_sec * 1000);
}

}  // namespace

Terminal::Terminal(Installation inst, Settings settings, const HistoryStore* history)
    : inst_(std::move(inst)),
      settings_(settings),
      clock_(MakeClock(settings)),
      model_(settings.seed, history),
      bars_(model_) {
  selected_.assign(Symbols().size(), false);
  for (const std::u16string& name : DefaultMarketWatch()) {
    const int sym = FindSymbol(name);
    if (sym >= 0) selected_[static_cast<std::size_t>(sym)] = true;
  }
}

std::int64_t Terminal::NowMs() const { return clock_.NowMs(); }

void Terminal::CatchUp() {
  std::vector<std::uint64_t> stored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const AccountConfig& a : accounts_.accounts) {
      AccountState probe;
      if (!a.otp && store_.Load(a.login, &probe) == Store::LoadResult::kLoaded)
        stored.push_back(a.login);
    }
  }
  for (const std::uint64_t login : stored) {
    Session s;
    s.login = login;
    WithAccount(&s, [](const AccountConfig&, AccountState&, auto&&) { return kSuccess; });
  }
}

bool Terminal::Load(std::string* error, bool durable) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string file = Narrow(inst_.StoreFile());
  if (!store_.Open(file, durable, error)) {
    if (store_.damaged()) {
      *error =
          "the account store " + file + " is damaged (" + *error +
          "): nothing is served from it. Restore it from a backup, or move it aside (with its -wal "
          "file) to start with fresh accounts";
    } else {
      *error = "cannot open the account store " + file + ": " + *error;
    }
    return false;
  }
  if (store_.created()) {
    std::fprintf(
        stderr, "terminal64.exe: the account store %s is new: accounts start with their deposits\n",
        file.c_str());
  }
  MigrateLegacyFilesLocked();
  // Trade requests share flushes from now on.
  if (durable) {
    store_.DeferFlushes();
    StartBatches();
  }
  std::string text;
  if (os::ReadWholeFile(inst_.ConfigFile(u"accounts.dat"), &text)) {
    accounts_ = ParseAccounts(text);
  } else {
    accounts_ = DefaultAccounts();
  }
  if (!HashClearPasswords(&accounts_)) *error = "cannot hash the passwords of accounts.dat";
  if (os::ReadWholeFile(inst_.ConfigFile(u"symbols.dat"), &text)) {
    selected_.assign(Symbols().size(), false);
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      const int sym = FindSymbol(text::Utf8ToUtf16(line.data(), line.size()));
      if (sym >= 0) selected_[static_cast<std::size_t>(sym)] = true;
      at = end + 1;
    }
  }
  // Rewriting accounts.dat marks this installation as the one used last,
  // and takes clear passwords out of it.
  if (!SaveAccountsFileLocked()) *error = "cannot write config/accounts.dat";
  return true;
}

// Account files of earlier versions (bases/<login>.dat) go into the store,
// each in one transaction, and are kept as <login>.dat.migrated. A damaged
// one is moved aside as <login>.dat.corrupt.
void Terminal::MigrateLegacyFilesLocked() {
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(inst_.BasesFolder(), &entries)) return;
  for (const os::DirEntry& e : entries) {
    const std::size_t dot = e.name.size() >= 5 ? e.name.size() - 4 : 0;
    if (e.is_directory || dot == 0 || e.name.compare(dot, 4, u".dat") != 0) continue;
    bool digits = true;
    for (std::size_t i = 0; i < dot; ++i) digits = digits && e.name[i] >= u'0' && e.name[i] <= u'9';
    if (!digits) continue;
    const std::u16string path = inst_.BasesFolder() + os::kPathSeparator + e.name;
    std::string bytes;
    AccountState st;
    if (!os::ReadWholeFile(path, &bytes) || !ParseLegacyAccount(bytes, &st)) {
      const std::u16string aside = path + u".corrupt";
      os::RenameFile(path, aside);
      std::fprintf(stderr, "terminal64.exe: damaged account file moved to %s\n",
                   Narrow(aside).c_str());
      continue;
    }
    AccountState existing;
    const Store::LoadResult there = store_.Load(st.login, &existing);
    if (there == Store::LoadResult::kError) continue;
    // Already in the store: a migration whose rename did not happen.
    if (there == Store::LoadResult::kMissing && !store_.Commit(&st)) {
      std::fprintf(stderr, "terminal64.exe: cannot move %s into the account store\n",
                   Narrow(path).c_str());
      continue;
    }
    os::RenameFile(path, path + u".migrated");
  }
}

bool Terminal::SaveState() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool watch = SaveMarketWatchLocked();
  return SaveAccountsFileLocked() && watch;
}

bool Terminal::SaveAccountsFileLocked() {
  return os::WriteFileAtomic(inst_.ConfigFile(u"accounts.dat"), FormatAccounts(accounts_));
}

bool Terminal::SaveMarketWatchLocked() {
  std::string text;
  for (std::size_t i = 0; i < selected_.size(); ++i) {
    if (selected_[i]) text += Narrow(Symbols()[i].name) + "\n";
  }
  return os::WriteFileAtomic(inst_.ConfigFile(u"symbols.dat"), text);
}

AccountConfig* Terminal::FindConfig(std::uint64_t login) {
  for (AccountConfig& a : accounts_.accounts) {
    if (a.login == login) return &a;
  }
  return nullptr;
}

std::int32_t Terminal::Login(Session* s, std::uint64_t login, const std::u16string& password,
                             const std::u16string& server) {
  std::string hash;
  std::u16string clear;
  bool candidate = false;  // an account of that login on that server
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (login == 0) login = s->login != 0 ? s->login : accounts_.last_login;
    const AccountConfig* a = FindConfig(login);
    if (a != nullptr && a->otp) return kUnsupported;
    candidate = a != nullptr && (server.empty() || server == a->server);
    if (candidate) {
      hash = a->password_hash;
      clear = a->password;
      const auto it = verified_.find(login);
      known = it != verified_.end() && it->second.second == hash && !hash.empty() &&
              it->second.first == PasswordFingerprint(password);
    }
  }
  // The digest takes a while: other connections go on meanwhile. Without a
  // hash (it could not be made) the password is compared in memory.
  // The accounts of accounts.dat are this terminal's saved logins: one
  // named without a password logs in with the password saved for it.
  const bool saved = candidate && password.empty();
  bool ok = candidate && (known || saved);
  if (candidate && !ok) ok = hash.empty() ? clear == password : VerifyPassword(password, hash);
  std::lock_guard<std::mutex> lock(mutex_);
  const AccountConfig* a = FindConfig(login);
  if (!ok || a == nullptr || a->password_hash != hash) {
    // The account in use stays logged in; only the state says the login
    // was refused, until the next one.
    s->auth_failed = true;
    return kSuccess;
  }
  if (!known && !saved && !hash.empty()) verified_[login] = {PasswordFingerprint(password), hash};
  if (accounts_.last_login != login) {
    // The login new connections start with must be saved, or the login
    // fails: a restart would otherwise go back to another account.
    const std::uint64_t before = accounts_.last_login;
    accounts_.last_login = login;
    if (!SaveAccountsFileLocked()) {
      accounts_.last_login = before;
      return kCallFailed;
    }
  }
  s->login = login;
  s->auth_failed = false;
  s->ready_at_ms = NowMs() + settings_.login_delay_ms;
  return kSuccess;
}

std::uint32_t Terminal::State(Session* s) {
  if (s->auth_failed) return kStateAuthorizationFailed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t login = s->login != 0 ? s->login : accounts_.last_login;
    const AccountConfig* a = FindConfig(login);
    if (a == nullptr || a->otp) return kStateAuthorizationFailed;
  }
  return NowMs() < s->ready_at_ms ? kStateConnecting : kStateReady;
}

std::int32_t Terminal::Account(Session* s, AccountConfig** config, AccountState** state) {
  if (s->login == 0) s->login = accounts_.last_login;
  AccountConfig* a = FindConfig(s->login);
  if (a == nullptr || a->otp) return kAuthorizationFailed;
  auto it = states_.find(a->login);
  if (it != states_.end() && stale_.count(a->login) != 0) {
    states_.erase(it);
    it = states_.end();
  }
  if (it == states_.end()) {
    AccountState st;
    switch (store_.Load(a->login, &st)) {
      case Store::LoadResult::kLoaded:
        break;
      case Store::LoadResult::kMissing:
        // A new account: its deposit, stored before anything can use it.
        st = NewAccount(*a, NowMs());
        if (!StoreCommit(&st)) return kCallFailed;
        break;
      case Store::LoadResult::kError:
        return kCallFailed;
    }
    it = states_.emplace(a->login, std::move(st)).first;
    stale_.erase(a->login);
  }
  *config = a;
  *state = &it->second;
  return kSuccess;
}

bool Terminal::ResetAccount(std::uint64_t login) {
  std::lock_guard<std::mutex> lock(mutex_);
  const AccountConfig* a = FindConfig(login);
  if (a == nullptr) return false;
  AccountState st = NewAccount(*a, NowMs());
  // Request ids go on increasing over a reset.
  AccountState stored;
  if (store_.Load(login, &stored) == Store::LoadResult::kLoaded) {
    st.next_request_id = std::max(st.next_request_id, stored.next_request_id);
  }
  if (!store_.Replace(&st) || !store_.Flush()) return false;
  states_[login] = std::move(st);
  stale_.erase(login);
  return true;
}

bool Terminal::StoreCommit(AccountState* state, bool shown) {
  // The journal is gone once stored.
  std::vector<ChangeKey> keys;
  if (shown) ChangedKeys(*state, &keys);
  if (!store_.Commit(state)) return false;
  // Inside a batch the change is stored with the batch's transaction.
  if (in_batch_) {
    batch_logins_.insert(state->login);
    batch_keys_.insert(batch_keys_.end(), keys.begin(), keys.end());
  } else {
    NumberChanges(keys, committed_.fetch_add(1) + 1);
  }
  return true;
}

void Terminal::ChangedKeys(const AccountState& state, std::vector<ChangeKey>* keys) {
  const std::uint64_t login = state.login;
  keys->emplace_back(login, Shows::kAccount, 0);
  if (!state.changed_positions.empty()) keys->emplace_back(login, Shows::kPositions, 0);
  for (const std::uint64_t ticket : state.changed_positions) {
    keys->emplace_back(login, Shows::kPosition, ticket);
  }
  if (!state.new_orders.empty()) keys->emplace_back(login, Shows::kWorking, 0);
  if (!state.new_orders.empty() || !state.new_deals.empty()) {
    keys->emplace_back(login, Shows::kHistory, 0);
  }
  for (const Order& o : state.new_orders) {
    keys->emplace_back(login, Shows::kPositionHistory, o.position_id);
  }
  for (const Deal& d : state.new_deals) {
    keys->emplace_back(login, Shows::kPositionHistory, d.position_id);
  }
}

void Terminal::NumberChanges(const std::vector<ChangeKey>& keys, std::uint64_t number) {
  // What is on disk needs no number: dropped once there are many.
  constexpr std::size_t kPruneAt = 4096;
  if (last_commit_.size() >= kPruneAt) {
    const std::uint64_t durable = durable_.load();
    for (auto it = last_commit_.begin(); it != last_commit_.end();) {
      it = it->second <= durable ? last_commit_.erase(it) : std::next(it);
    }
  }
  for (const ChangeKey& key : keys) last_commit_[key] = number;
}

std::uint64_t Terminal::ShownLocked(const Session* s, Shows shows) const {
  if (shows.kind == Shows::kNothing) return 0;
  const auto it = last_commit_.find(ChangeKey(s->login, shows.kind, shows.id));
  return it == last_commit_.end() ? 0 : it->second;
}

bool Terminal::WaitFlushed(std::uint64_t seen) {
  if (!group_) return true;
  std::unique_lock<std::mutex> queue(queue_mutex_);
  if (seen <= flushed_) return true;
  reads_waited_.fetch_add(1);
  if (flusher_stopping_) {
    // No flusher any more: this thread flushes.
    queue.unlock();
    std::lock_guard<std::mutex> lock(mutex_);
    return store_.Flush();
  }
  Call call;
  call.seen = seen;
  flush_queue_.push_back(&call);
  flush_cv_.notify_one();
  call.ready.wait(queue, [&call] { return call.done; });
  return true;
}

void Terminal::RunInBatch(Call* call) {
  bool alone = !group_;
  if (!alone) {
    std::unique_lock<std::mutex> queue(queue_mutex_);
    // Once the batches have stopped (the store is closing), a call runs
    // alone; it can store nothing any more.
    alone = stopping_;
    if (!alone) {
      queue_.push_back(call);
      batch_cv_.notify_one();
      call->ready.wait(queue, [call] { return call->done; });
    }
  }
  if (alone) {
    // Nothing to share: the call runs here, alone.
    std::vector<Call*> one{call};
    RunBatch(one);
    if (!WaitFlushed(call->seen)) call->lost = true;
  }
  if (call->error) std::rethrow_exception(call->error);
}

void Terminal::StartBatches() {
  group_ = true;
  batcher_ = std::thread([this] { BatchLoop(); });
  flusher_ = std::thread([this] { FlushLoop(); });
}

Terminal::~Terminal() { Close(); }

bool Terminal::Close() {
  StopBatches();
  std::lock_guard<std::mutex> lock(mutex_);
  return store_.Close();
}

void Terminal::StopBatches() {
  // The batches still queued run, then their flush.
  {
    std::lock_guard<std::mutex> queue(queue_mutex_);
    stopping_ = true;
  }
  batch_cv_.notify_all();
  if (batcher_.joinable()) batcher_.join();
  {
    std::lock_guard<std::mutex> queue(queue_mutex_);
    flusher_stopping_ = true;
  }
  flush_cv_.notify_all();
  if (flusher_.joinable()) flusher_.join();
}

void Terminal::BatchLoop() {
  std::vector<Call*> batch;
  std::unique_lock<std::mutex> queue(queue_mutex_);
  for (;;) {
    batch_cv_.wait(queue, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    batch.swap(queue_);
    queue.unlock();
    // The calls that arrive meanwhile are the next batch; this one's flush
    // runs while it executes.
    RunBatch(batch);
    queue.lock();
    // A call waits for the flush of what it showed only; a read of an
    // account whose changes are on disk returns at once.
    bool waiting = false;
    for (Call* c : batch) {
      if (c->seen <= flushed_) {
        Finish(c);
      } else {
        flush_queue_.push_back(c);
        waiting = true;
      }
    }
    if (waiting) flush_cv_.notify_one();
    batch.clear();
  }
}

void Terminal::FlushLoop() {
  std::vector<Call*> waiting;
  std::unique_lock<std::mutex> queue(queue_mutex_);
  for (;;) {
    flush_cv_.wait(queue, [this] { return flusher_stopping_ || !flush_queue_.empty(); });
    if (flush_queue_.empty()) return;
    // One flush for every transaction written so far: each waiting call saw
    // no more than these.
    waiting.swap(flush_queue_);
    const std::uint64_t target = committed_.load();
    queue.unlock();
    if (!store_.Flush()) {
      // A change is written but may never reach the disk: no reply may
      // confirm it, and nothing after it may build on it.
      std::fprintf(stderr, "terminal64.exe: cannot flush the account store %s to disk: stopping\n",
                   Narrow(inst_.StoreFile()).c_str());
      std::fflush(nullptr);
      std::_Exit(2);
    }
    queue.lock();
    flushed_ = std::max(flushed_, target);
    durable_.store(flushed_);
    for (Call* c : waiting) Finish(c);
    waiting.clear();
  }
}

void Terminal::Finish(Call* call) {
  call->done = true;
  call->ready.notify_one();
}

void Terminal::RunBatch(const std::vector<Call*>& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Without a batch transaction (it could not begin) every commit is its
  // own, as outside batches.
  in_batch_ = store_.BeginBatch();
  batch_logins_.clear();
  batch_keys_.clear();
  for (Call* c : batch) {
    try {
      c->result = c->run(this, c->session, c->fn);
    } catch (...) {
      c->error = std::current_exception();
    }
  }
  if (in_batch_) {
    in_batch_ = false;
    if (store_.EndBatch()) {
      if (!batch_logins_.empty()) NumberChanges(batch_keys_, committed_.fetch_add(1) + 1);
    } else {
      // None of the batch's changes is stored, and every call of it may
      // have shown one: all of them fail, and the accounts are back to
      // what the store holds.
      for (Call* c : batch) c->lost = true;
      for (const std::uint64_t login : batch_logins_) {
        const auto it = states_.find(login);
        if (it != states_.end()) Revert(&it->second);
      }
    }
  }
  // A trade's reply shows the account: its money, its tickets.
  for (Call* c : batch) c->seen = ShownLocked(c->session, Shows{});
}

bool Terminal::CommitLocked(AccountState* state, bool shown) {
  if (StoreCommit(state, shown)) return true;
  Revert(state);
  return false;
}

void Terminal::Revert(AccountState* state) {
  // Back to what the store holds; request ids handed out stay used.
  const std::uint32_t next_request_id = state->next_request_id;
  AccountState stored;
  if (store_.Load(state->login, &stored) == Store::LoadResult::kLoaded) {
    *state = std::move(stored);
  } else {
    stale_.insert(state->login);  // read again before its next use
  }
  state->ClearJournal();
  if (state->next_request_id < next_request_id) state->next_request_id = next_request_id;
}

void Terminal::ChangeMarket(const std::function<void()>& change) {
  std::unique_lock<std::shared_mutex> alone(market_mutex_);
  change();
  bars_.Forget();
  std::lock_guard<std::mutex> lock(mutex_);
  selected_.resize(Symbols().size(), false);
}

bool Terminal::Selected(int sym) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sym >= 0 && selected_[static_cast<std::size_t>(sym)];
}

bool Terminal::Select(int sym, bool enable) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enable) {
    const std::u16string& name = Symbols()[static_cast<std::size_t>(sym)].name;
    for (const auto& [login, st] : states_) {
      for (const Position& p : st.positions) {
        if (p.symbol == name) return false;
      }
      for (const Order& o : st.working) {
        if (o.symbol == name) return false;
      }
    }
  }
  if (selected_[static_cast<std::size_t>(sym)] != enable) {
    selected_[static_cast<std::size_t>(sym)] = enable;
    SaveMarketWatchLocked();
  }
  return true;
}

}  // namespace zk5::term
