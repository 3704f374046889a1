// The running terminal's shared state: settings, market, accounts, market
// watch, and each connection's session. Market data is immutable or
// internally synchronised; accounts, the account store and the market watch
// are guarded by one mutex, held for the whole of a change including its
// commit, so the store always holds what the last reply confirmed.
#ifndef ZK5_TERMINAL_SERVER_CONTEXT_H_
#define ZK5_TERMINAL_SERVER_CONTEXT_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "accounts/account.h"
#include "accounts/config.h"
#include "accounts/store.h"
#include "accounts/stream.h"
#include "ipc/status.h"
#include "market/bars.h"
#include "market/clock.h"
#include "market/history_store.h"
#include "market/prices.h"
#include "server/installation.h"

namespace zk5::term {

// What a reply about an account shows of the store, so that it waits for
// the flush of that only: the whole account (money and counters change with
// every stored change), its open positions or one of them, its working
// orders, its history or the history of one position, or nothing stored
// (what comes from the settings and prices alone).
struct Shows {
  enum Kind : std::uint8_t {
    kNothing,
    kAccount,
    kPositions,
    kPosition,
    kWorking,
    kHistory,
    kPositionHistory
  } kind = kAccount;
  std::uint64_t id = 0;  // kPosition: the ticket; kPositionHistory: the position identifier
};

// One client connection.
struct Session {
  std::uint64_t login = 0;   // 0 until the first use: then the default account
  bool auth_failed = false;  // the last login was refused (the account above stays)
  std::int64_t ready_at_ms = 0;
  std::set<int> books;   // symbols with an open depth of market
  bool greeted = false;  // a HELLO was answered: never dropped for idling
};

class Terminal {
 public:
  // How far the price stream may run ahead of the evaluated time the store
  // holds before it is stored without any other change.
  static constexpr std::int64_t kStoreEvaluatedEveryMs = 3600000;

  // `history`, when given, is imported price history; it must outlive the
  // terminal.
  Terminal(Installation inst, Settings settings, const HistoryStore* history = nullptr);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Opens the account store (taking over the account files of earlier
  // versions), reads accounts.dat (hashing clear passwords) and the market
  // watch. False with a reason in *error when the store cannot be opened;
  // a failure to rewrite accounts.dat is only reported in *error.
  bool Load(std::string* error, bool durable = true);
  // Writes what is not saved on every change (the market watch, the last
  // login).
  bool SaveState();
  // Applies the market since the terminal last ran to every stored account.
  void CatchUp();

  const Installation& installation() const { return inst_; }
  const Settings& settings() const { return settings_; }
  const PriceModel& model() const { return model_; }
  BarSource& bars() { return bars_; }
  std::int64_t NowMs() const;
  // Stops the clock at `ms` (0: the wall clock again). For the fuzzer,
  // whose requests then cover a history of the length it chooses.
  void FixClock(std::int64_t ms) { clock_.Fix(ms); }
  // Called once a request has been answered (a stepped replay moves on).
  void Answered() { clock_.Step(); }
  // The market clock, for the replay's own commands.
  MarketClock& clock() { return clock_; }

  // LOGIN: 1 when accepted (success or failed authorisation, which the
  // state then reports), -7 for an account that needs a one-time password.
  // A saved account (one of accounts.dat) needs no password; an empty
  // server means the account's own. A refused login leaves the session's
  // account logged in.
  std::int32_t Login(Session* s, std::uint64_t login, const std::u16string& password,
                     const std::u16string& server);
  std::uint32_t State(Session* s);

  // Runs f(config, state, commit) on the session's account with the lock
  // held, once the price stream has been applied to it up to now and what
  // the stream did is stored, so that f reads it from the store too (the
  // history requests do). commit() stores the state's change and returns
  // whether it did; when it did not, the state is back to what the store
  // holds (only request ids stay used). The result is -6 when the session
  // has no usable account, -1 when the store fails, else f's.
  //
  // Calls arriving together run as one batch on one thread: their commits
  // are one transaction (group commit), written while the previous batch
  // is flushed, and every call returns once what it saw is on disk, so no
  // reply confirms a change, or shows one, that a crash could take back. When the batch's
  // transaction cannot be written, none of its changes is kept: the result is -1, or, given `lost`,
  // f's with *lost set so that the caller can say what was not saved.
  template <typename F>
  std::int32_t WithAccount(Session* s, F&& f, bool* lost = nullptr) {
    using Fn = std::remove_reference_t<F>;
    Call call;
    call.session = s;
    call.fn = const_cast<void*>(static_cast<const void*>(&f));
    call.run = [](Terminal* t, Session* session, void* fn) {
      return t->WithAccountLocked(session, *static_cast<Fn*>(fn));
    };
    RunInBatch(&call);
    if (call.lost) {
      if (lost == nullptr) return kCallFailed;
      *lost = true;
    }
    return call.result;
  }
  // WithAccount for a call that changes nothing itself (only what the price
  // stream did, as every call stores): it runs at once under the lock, not
  // in a batch, and waits only for the flush of the last stored change of
  // what it shows (what the price stream did to it included), when that is
  // not on disk yet.
  template <typename F>
  std::int32_t ReadAccount(Session* s, Shows shows, F&& f) {
    std::int32_t result;
    std::uint64_t shown;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result = WithAccountLocked(s, f);
      shown = ShownLocked(s, shows);
    }
    return WaitFlushed(shown) ? result : kCallFailed;
  }
  // The store's history; only inside WithAccount or ReadAccount.
  Store& store() { return store_; }
  // How many calls outside the batches (reads) waited for a flush
  // (diagnostics).
  std::uint64_t ReadsThatWaited() const { return reads_waited_.load(); }

  // Ends group commit (the calls queued run and are flushed) and closes the
  // store, its log folded into its file. Calls after it fail to store
  // anything. False when the log could not be folded.
  bool Close();

  // Puts the account back to how its first use made it: its deposit as
  // the only deal, no orders or positions. False for an unknown login or
  // when the account cannot be saved.
  bool ResetAccount(std::uint64_t login);

  // Requests read the market holding this shared; a change of the imported
  // history holds it alone, so that no reply mixes the history before a
  // file's import with the history after it.
  std::shared_lock<std::shared_mutex> ReadMarket() {
    return std::shared_lock<std::shared_mutex>(market_mutex_);
  }
  // Runs change() while no request reads the market (it may add custom
  // symbols and segments to the history), then lets the bars kept and the
  // market watch follow.
  void ChangeMarket(const std::function<void()>& change);
  // Whether an import of history runs beside the serving: the terminal does
  // not leave for idling meanwhile.
  bool Importing() const { return importing_.load(); }
  void SetImporting(bool on) { importing_.store(on); }

  // The market watch.
  bool Selected(int sym);
  // False when a symbol with open positions would be removed.
  bool Select(int sym, bool enable);

 private:
  template <typename F>
  std::int32_t WithAccountLocked(Session* s, F& f) {
    AccountConfig* config = nullptr;
    AccountState* state = nullptr;
    const std::int32_t found = Account(s, &config, &state);
    if (found < 0) return found;
    // What the stream did is stored; so is, now and then, how far it went
    // (so that a restart does not walk the same hours again). That alone
    // shows nothing: were it lost, a restart walks the same ticks to the
    // same account, so no reply waits for its flush.
    const bool changed = AdvanceAccount(model_, *config, state, NowMs()).changed;
    const bool walked =
        changed || ((!state->positions.empty() || !state->working.empty()) &&
                    state->evaluated_msc - state->stored_evaluated_msc > kStoreEvaluatedEveryMs);
    if (walked && !CommitLocked(state, changed)) return kCallFailed;
    auto commit = [this, state] { return CommitLocked(state); };
    return f(static_cast<const AccountConfig&>(*config), *state, commit);
  }
  // One WithAccount call waiting for its batch.
  struct Call {
    std::int32_t (*run)(Terminal*, Session*, void*) = nullptr;
    Session* session = nullptr;
    void* fn = nullptr;
    std::int32_t result = 0;
    bool lost = false;       // its batch could not be stored
    std::uint64_t seen = 0;  // the last stored transaction it showed
    bool done = false;       // run, and what it saw is on disk
    std::condition_variable ready;
    std::exception_ptr error;
  };
  // Runs the call in the next batch and returns once what it saw is on
  // disk; without group commit, runs it at once.
  void RunInBatch(Call* call);
  // Runs the calls under the lock, their commits one transaction; sets
  // each call's `seen`.
  void RunBatch(const std::vector<Call*>& batch);
  // The last stored transaction that changed what `shows` names of the
  // session's account (under mutex_).
  std::uint64_t ShownLocked(const Session* s, Shows shows) const;
  // What a stored change of `state`'s journal changes, as keys of
  // last_commit_; and numbers them with the transaction that stored them.
  using ChangeKey = std::tuple<std::uint64_t, std::uint8_t, std::uint64_t>;
  static void ChangedKeys(const AccountState& state, std::vector<ChangeKey>* keys);
  void NumberChanges(const std::vector<ChangeKey>& keys, std::uint64_t number);
  // Returns once the transactions up to `seen` are on disk; false when
  // they cannot be flushed.
  bool WaitFlushed(std::uint64_t seen);
  void StopBatches();
  // Group commit's two threads: one runs the queued calls batch after
  // batch, the other flushes what they stored and lets their callers go.
  void StartBatches();
  void BatchLoop();
  void FlushLoop();
  void Finish(Call* call);  // under queue_mutex_
  // Store::Commit, counted as a stored transaction outside batches.
  // `shown` false: a change no reply shows (how far the stream went), not
  // numbered in last_commit_.
  bool StoreCommit(AccountState* state, bool shown = true);
  std::int32_t Account(Session* s, AccountConfig** config, AccountState** state);
  bool CommitLocked(AccountState* state, bool shown = true);
  // Puts the state back to what the store holds (request ids handed out
  // stay used); a state that cannot be read is read again at its next use.
  void Revert(AccountState* state);
  void MigrateLegacyFilesLocked();
  AccountConfig* FindConfig(std::uint64_t login);
  bool SaveAccountsFileLocked();
  bool SaveMarketWatchLocked();

  Installation inst_;
  Settings settings_;
  MarketClock clock_;
  PriceModel model_;
  BarSource bars_;

  std::mutex mutex_;
  Store store_;
  // Group commit (once Load made the store durable): the calls waiting for
  // their batch and those waiting for its flush, under queue_mutex_ with
  // flushed_, how many stored transactions are known to be on disk.
  // committed_ counts the stored transactions (under mutex_); last_commit_
  // gives, for each part of an account a reply may show (a key made of the
  // login, a Shows kind and its id, see ChangedKeys), the last one that
  // changed it, as long as it may not be on disk (entries known flushed,
  // below durable_, are dropped now and then). flushed_ is copied to
  // durable_ for the batcher, which does not take queue_mutex_ there.
  bool group_ = false;
  std::mutex queue_mutex_;
  std::condition_variable batch_cv_;
  std::condition_variable flush_cv_;
  std::vector<Call*> queue_;
  std::vector<Call*> flush_queue_;
  std::uint64_t flushed_ = 0;
  bool stopping_ = false;          // the batcher ends once the queue is empty
  bool flusher_stopping_ = false;  // then the flusher
  std::atomic<std::uint64_t> committed_{0};
  std::map<ChangeKey, std::uint64_t> last_commit_;
  std::atomic<std::uint64_t> durable_{0};
  std::atomic<std::uint64_t> reads_waited_{0};
  std::thread batcher_;
  std::thread flusher_;
  // Inside a batch (under mutex_): the accounts whose changes it stored.
  bool in_batch_ = false;
  std::set<std::uint64_t> batch_logins_;
  std::vector<ChangeKey> batch_keys_;  // what its stored changes changed
  AccountsFile accounts_;
  // Passwords already verified in this run, by login: a keyed digest of the
  // password and the hash it matched, so a repeated login is cheap.
  std::map<std::uint64_t, std::pair<std::string, std::string>> verified_;
  std::string verify_key_;
  std::map<std::uint64_t, AccountState> states_;
  std::set<std::uint64_t> stale_;  // states that may differ from the store
  std::vector<bool> selected_;
  std::shared_mutex market_mutex_;
  std::atomic<bool> importing_{false};
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_SERVER_CONTEXT_H_
