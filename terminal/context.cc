#include "context.h"

#include <cstdio>

#include "base/text.h"
#include "os/os.h"
#include "os/terminal_host.h"
#include "store.h"

namespace zk5::term {

namespace {

std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

}  // namespace

Terminal::Terminal(Installation inst, Settings settings)
    : inst_(std::move(inst)), settings_(settings), model_(settings.seed), bars_(model_) {
  selected_.assign(Symbols().size(), false);
  for (const std::u16string& name : DefaultMarketWatch()) {
    const int sym = FindSymbol(name);
    if (sym >= 0) selected_[static_cast<std::size_t>(sym)] = true;
  }
}

std::int64_t Terminal::NowMs() const { return os::NowMs(); }

bool Terminal::Load() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  if (os::ReadWholeFile(inst_.ConfigFile(u"accounts.dat"), &text)) {
    accounts_ = ParseAccounts(text);
  } else {
    accounts_ = DefaultAccounts();
  }
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
  // Rewriting accounts.dat marks this installation as the one used last.
  return SaveAccountsFileLocked();
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (login == 0) login = s->login != 0 ? s->login : accounts_.last_login;
  const AccountConfig* a = FindConfig(login);
  if (a != nullptr && a->otp) return kUnsupported;
  if (a == nullptr || a->password != password || (!server.empty() && server != a->server)) {
    s->auth_failed = true;
    return kSuccess;
  }
  s->login = login;
  s->auth_failed = false;
  s->ready_at_ms = NowMs() + settings_.login_delay_ms;
  if (accounts_.last_login != login) {
    accounts_.last_login = login;
    SaveAccountsFileLocked();
  }
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

bool Terminal::Account(Session* s, AccountConfig** config, AccountState** state) {
  if (s->auth_failed) return false;
  if (s->login == 0) s->login = accounts_.last_login;
  AccountConfig* a = FindConfig(s->login);
  if (a == nullptr || a->otp) return false;
  auto it = states_.find(a->login);
  if (it == states_.end()) {
    AccountState st;
    const std::u16string path = inst_.AccountFile(a->login);
    const LoadResult r = LoadAccount(path, &st);
    if (r == LoadResult::kCorrupt) {
      // Kept for inspection; the account starts again rather than refusing
      // every request.
      const std::u16string aside = path + u".corrupt";
      os::RenameFile(path, aside);
      std::fprintf(stderr, "terminal64.exe: damaged account file moved to %s\n", Narrow(aside).c_str());
    }
    if (r != LoadResult::kLoaded) {
      st = NewAccount(*a, NowMs());
      SaveAccountLocked(*a, st);
    }
    it = states_.emplace(a->login, std::move(st)).first;
  }
  *config = a;
  *state = &it->second;
  return true;
}

bool Terminal::ResetAccount(std::uint64_t login) {
  std::lock_guard<std::mutex> lock(mutex_);
  const AccountConfig* a = FindConfig(login);
  if (a == nullptr) return false;
  AccountState st = NewAccount(*a, NowMs());
  if (!SaveAccountLocked(*a, st)) return false;
  states_[login] = std::move(st);
  return true;
}

bool Terminal::SaveAccountLocked(const AccountConfig& config, const AccountState& state) {
  return SaveAccount(inst_.AccountFile(config.login), state);
}

bool Terminal::Selected(int sym) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sym >= 0 && selected_[static_cast<std::size_t>(sym)];
}

bool Terminal::Select(int sym, bool enable) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enable) {
    for (const auto& [login, st] : states_) {
      for (const Position& p : st.positions) {
        if (p.symbol == Symbols()[static_cast<std::size_t>(sym)].name) return false;
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
