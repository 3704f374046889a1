// The running terminal's shared state: settings, market, accounts, market
// watch, and each connection's session. Market data is immutable or
// internally synchronised; accounts and the market watch are guarded by one
// mutex, held for the whole of a change including its save, so the file
// always holds what the last reply confirmed.
#ifndef ZK5_TERMINAL_CONTEXT_H_
#define ZK5_TERMINAL_CONTEXT_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "account.h"
#include "bars.h"
#include "config.h"
#include "installation.h"
#include "ipc/status.h"
#include "prices.h"

namespace zk5::term {

// One client connection.
struct Session {
  std::uint64_t login = 0;        // 0 until the first use: then the default account
  bool auth_failed = false;
  std::int64_t ready_at_ms = 0;
  std::set<int> books;            // symbols with an open depth of market
};

class Terminal {
 public:
  Terminal(Installation inst, Settings settings);

  // Reads accounts.dat and the market watch. False when accounts.dat cannot
  // be read or written.
  bool Load();
  // Writes what is not saved on every change (the market watch, the last
  // login).
  bool SaveState();

  const Installation& installation() const { return inst_; }
  const Settings& settings() const { return settings_; }
  const PriceModel& model() const { return model_; }
  BarSource& bars() { return bars_; }
  std::int64_t NowMs() const;

  // LOGIN: 1 when accepted (success or failed authorisation, which the
  // state then reports), -7 for an account that needs a one-time password.
  std::int32_t Login(Session* s, std::uint64_t login, const std::u16string& password,
                     const std::u16string& server);
  std::uint32_t State(Session* s);

  // Runs f(config, state, save) on the session's account with the lock
  // held; save() writes the account file and returns whether it did. The
  // result is -6 when the session has no usable account, else f's.
  template <typename F>
  std::int32_t WithAccount(Session* s, F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    AccountConfig* config = nullptr;
    AccountState* state = nullptr;
    if (!Account(s, &config, &state)) return kAuthorizationFailed;
    auto save = [this, config, state] { return SaveAccountLocked(*config, *state); };
    return f(static_cast<const AccountConfig&>(*config), *state, save);
  }

  // Puts the account back to how its first use made it: its deposit as
  // the only deal, no orders or positions. False for an unknown login or
  // when the account cannot be saved.
  bool ResetAccount(std::uint64_t login);

  // The market watch.
  bool Selected(int sym);
  // False when a symbol with open positions would be removed.
  bool Select(int sym, bool enable);

 private:
  bool Account(Session* s, AccountConfig** config, AccountState** state);
  bool SaveAccountLocked(const AccountConfig& config, const AccountState& state);
  AccountConfig* FindConfig(std::uint64_t login);
  bool SaveAccountsFileLocked();
  bool SaveMarketWatchLocked();

  Installation inst_;
  Settings settings_;
  PriceModel model_;
  BarSource bars_;

  std::mutex mutex_;
  AccountsFile accounts_;
  std::map<std::uint64_t, AccountState> states_;
  std::vector<bool> selected_;
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_CONTEXT_H_
