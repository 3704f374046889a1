#include "accounts/config.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "accounts/password.h"
#include "base/text.h"
#include "market/import.h"

namespace zk5::term {

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const std::size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::u16string Wide(const std::string& s) { return text::Utf8ToUtf16(s.data(), s.size()); }
std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

const std::string* Get(const IniData& ini, const char* section, const char* key) {
  const auto s = ini.find(section);
  if (s == ini.end()) return nullptr;
  const auto k = s->second.find(key);
  return k == s->second.end() ? nullptr : &k->second;
}

bool ToInt(const std::string& v, std::int64_t lo, std::int64_t hi, std::int64_t* out) {
  std::int64_t n = 0;
  if (!text::ParseDecimal(v, &n) || n < lo || n > hi) return false;
  *out = n;
  return true;
}

bool ToUInt64(const std::string& v, std::uint64_t* out) { return text::ParseDecimal(v, out); }

bool ToDouble(const std::string& v, double* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  const double d = std::strtod(v.c_str(), &end);
  if (*end != '\0' || !(d == d)) return false;
  *out = d;
  return true;
}

// A margin level in percent: 0 (never) up to 10000.
bool ToPercent(const std::string& v, double* out) {
  double d;
  if (!ToDouble(v, &d) || d < 0 || d > 10000) return false;
  *out = d;
  return true;
}

bool ToBool(const std::string& v, bool* out) {
  const std::string l = Lower(v);
  if (l == "1" || l == "true" || l == "yes" || l == "on") {
    *out = true;
    return true;
  }
  if (l == "0" || l == "false" || l == "no" || l == "off") {
    *out = false;
    return true;
  }
  return false;
}

template <typename T>
void ReadInt(const IniData& ini, const char* section, const char* key, std::int64_t lo,
             std::int64_t hi, T* field) {
  std::int64_t n;
  const std::string* v = Get(ini, section, key);
  if (v != nullptr && ToInt(*v, lo, hi, &n)) *field = static_cast<T>(n);
}

void ReadBool(const IniData& ini, const char* section, const char* key, bool* field) {
  const std::string* v = Get(ini, section, key);
  if (v != nullptr) ToBool(*v, field);
}

std::string FormatDouble(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

IniData ParseIni(const std::string& text) {
  IniData ini;
  std::string section;
  std::istringstream in(text);
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    // A byte-order mark from an editor is not part of the first line.
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    ini[section][Lower(Trim(line.substr(0, eq)))] = Trim(line.substr(eq + 1));
  }
  return ini;
}

Settings ParseSettings(const std::string& text) {
  const IniData ini = ParseIni(text);
  Settings s;
  ReadInt(ini, "terminal", "idleexit", 0, 100LL * 365 * 86400, &s.idle_exit_sec);
  ReadInt(ini, "terminal", "build", 1, 0x7FFFFFFF, &s.build);
  ReadBool(ini, "terminal", "tradeapi", &s.trade_api);
  ReadBool(ini, "terminal", "tradeallowed", &s.trade_allowed);
  ReadInt(ini, "terminal", "maxbars", 1, 10000000, &s.max_bars);
  ReadInt(ini, "terminal", "logindelay", 0, 600000, &s.login_delay_ms);
  const std::string* seed = Get(ini, "market", "seed");
  if (seed != nullptr) ToUInt64(*seed, &s.seed);
  ReadInt(ini, "terminal", "requesttimeout", 1, 3600, &s.request_timeout_sec);
  ReadInt(ini, "terminal", "connectionidle", 1, 100LL * 365 * 86400, &s.connection_idle_sec);
  ReadBool(ini, "store", "durable", &s.durable);
  ReadInt(ini, "market", "clockshift", -100LL * 365 * 86400, 100LL * 365 * 86400,
          &s.clock_shift_sec);
  // A replay's settings are checked, not defaulted: a replay on other terms
  // than asked (or on the wall clock, trading the ordinary accounts) would
  // be worse than none.
  const std::string* from = Get(ini, "replay", "from");
  if (from != nullptr && !from->empty()) {
    bool seconds = false, fraction = false;
    if (ParseDateTime(from->data(), from->data() + from->size(), &s.replay_from_ms, &seconds,
                      &fraction)) {
      s.replay = true;
    } else {
      s.replay_error =
          "[Replay] From=" + *from +
          " is not a UTC date and time YYYY-MM-DD HH:MM[:SS] (such as 2024-03-05 00:00)";
    }
  }
  const struct {
    const char* key;
    const char* name;
    std::int64_t lo, hi;
    const char* unit;
    std::int64_t* field;
  } kReplayNumbers[] = {
      {"speed", "Speed", kMinReplaySpeed, kMaxReplaySpeed, "market seconds per real second",
       &s.replay_speed},
      {"step", "Step", 0, kMaxReplayStepMs, "milliseconds per request", &s.replay_step_ms},
  };
  for (const auto& n : kReplayNumbers) {
    const std::string* v = Get(ini, "replay", n.key);
    if (v == nullptr || v->empty() || !s.replay_error.empty()) continue;
    std::int64_t value;
    if (ToInt(*v, n.lo, n.hi, &value)) {
      *n.field = value;
    } else {
      s.replay_error = std::string("[Replay] ") + n.name + "=" + *v +
                       " is not a whole number from " + std::to_string(n.lo) + " to " +
                       std::to_string(n.hi) + " (" + n.unit + ")";
    }
  }
  const std::string* stepped = Get(ini, "replay", "stepped");
  if (stepped != nullptr && !stepped->empty() && s.replay_error.empty() &&
      !ToBool(*stepped, &s.replay_stepped)) {
    s.replay_error = "[Replay] Stepped=" + *stepped + " is not 0 or 1";
  }
  const std::string* to = Get(ini, "replay", "to");
  if (to != nullptr && !to->empty() && s.replay_error.empty()) {
    bool seconds = false, fraction = false;
    if (!ParseDateTime(to->data(), to->data() + to->size(), &s.replay_to_ms, &seconds, &fraction)) {
      s.replay_to_ms = 0;
      s.replay_error = "[Replay] To=" + *to +
                       " is not a UTC date and time YYYY-MM-DD HH:MM[:SS] (such as 2024-03-06 "
                       "00:00)";
    } else if (s.replay && s.replay_to_ms <= s.replay_from_ms) {
      s.replay_error = "[Replay] To=" + *to + " is not after From=" + *from;
    }
  }
  return s;
}

std::string DefaultSettingsText() {
  return "; Settings of the bundled Zelkor 5 terminal. Read at start.\n"
         "[Terminal]\n"
         "; Seconds without any client before the terminal exits; 0 = never.\n"
         "IdleExit=600\n"
         "; Build number reported to clients; 2363 or lower behaves as an old build.\n"
         "Build=4410\n"
         "; 0 refuses trade requests from the programming interface.\n"
         "TradeApi=1\n"
         "; The terminal's own trade permission, reported in terminal_info.\n"
         "TradeAllowed=1\n"
         "; Most bars one request returns and one chart keeps.\n"
         "MaxBars=100000\n"
         "; Milliseconds a login takes before the terminal reports ready.\n"
         "LoginDelay=0\n"
         "; Seconds a client may take to send the whole of a request it started.\n"
         "RequestTimeout=30\n"
         "; Seconds a connection may stay silent before the terminal closes it.\n"
         "ConnectionIdle=600\n"
         "[Market]\n"
         "; Seed of the simulated prices: equal seeds give equal ticks and bars.\n"
         "Seed=1\n"
         "; Seconds added to the system clock for the market and the accounts (for\n"
         "; tests: a negative shift puts the market back in the past). Never lower it\n"
         "; on an installation whose accounts already traded at a later time.\n"
         "ClockShift=0\n"
         "[Replay]\n"
         "; A replay of the past: the market clock starts at From (UTC, YYYY-MM-DD HH:MM)\n"
         "; when the terminal starts and runs Speed market seconds per real second\n"
         "; (1 to 1000000). Step=N instead moves it N milliseconds per request, for\n"
         "; replays that repeat exactly. Stepped=1 holds the clock still until the\n"
         "; script moves it (zelkor5.replay.advance, next_bar); Speed and Step are then\n"
         "; ignored. Accounts start afresh in a store of their own at every start.\n"
         "; The clock stops at To (UTC), by default at the end of the imported history\n"
         "; (else where the replay started). Empty From: the market runs on the wall clock.\n"
         "From=\n"
         "Speed=1\n"
         "Step=0\n"
         "Stepped=0\n"
         "To=\n"
         "[Store]\n"
         "; 0: the account store is never flushed to disk, so changes cost no wait for\n"
         "; the disk. Only for an installation thrown away after use (a backtest's or a\n"
         "; sweep's): a crash or a power cut may lose or damage its accounts.\n"
         "Durable=1\n";
}

AccountsFile ParseAccounts(const std::string& text) {
  const IniData ini = ParseIni(text);
  AccountsFile file;
  for (const auto& [section, keys] : ini) {
    if (section == "terminal") {
      const auto it = keys.find("lastlogin");
      if (it != keys.end()) ToUInt64(it->second, &file.last_login);
      continue;
    }
    if (section.compare(0, 8, "account ") != 0) continue;
    AccountConfig a;
    if (!ToUInt64(Trim(section.substr(8)), &a.login) || a.login == 0) continue;
    for (const auto& [key, value] : keys) {
      if (key == "password")
        a.password = Wide(value);
      else if (key == "passwordhash")
        a.password_hash = value;
      else if (key == "server")
        a.server = Wide(value);
      else if (key == "name")
        a.name = Wide(value);
      else if (key == "currency")
        a.currency = Wide(value);
      else if (key == "company")
        a.company = Wide(value);
      else if (key == "leverage") {
        std::int64_t n;
        if (ToInt(value, 1, 100000, &n)) a.leverage = static_cast<std::uint32_t>(n);
      } else if (key == "deposit") {
        ToDouble(value, &a.deposit);
      } else if (key == "otp") {
        ToBool(value, &a.otp);
      } else if (key == "mode") {
        a.netting = Lower(value) == "netting";
      } else if (key == "margincall") {
        ToPercent(value, &a.margin_call);
      } else if (key == "stopout") {
        ToPercent(value, &a.stop_out);
      }
    }
    file.accounts.push_back(a);
  }
  return file;
}

std::string FormatAccounts(const AccountsFile& file) {
  std::string out =
      "; Accounts of the bundled Zelkor 5 terminal. Rewritten by the terminal:\n"
      "; edit only while it is not running. To set a password, write\n"
      "; Password=<new password> in the account's section: the terminal replaces\n"
      "; it by a PasswordHash line when it starts.\n"
      "[Terminal]\nLastLogin=" +
      std::to_string(file.last_login) + "\n";
  for (const AccountConfig& a : file.accounts) {
    out += "\n[Account " + std::to_string(a.login) + "]\n";
    if (!a.password_hash.empty()) out += "PasswordHash=" + a.password_hash + "\n";
    out += "Server=" + Narrow(a.server) + "\n";
    out += "Name=" + Narrow(a.name) + "\n";
    out += "Currency=" + Narrow(a.currency) + "\n";
    out += "Company=" + Narrow(a.company) + "\n";
    out += "Leverage=" + std::to_string(a.leverage) + "\n";
    out += "Deposit=" + FormatDouble(a.deposit) + "\n";
    out += std::string("Otp=") + (a.otp ? "1" : "0") + "\n";
    out += std::string("Mode=") + (a.netting ? "netting" : "hedging") + "\n";
    out += "MarginCall=" + FormatDouble(a.margin_call) + "\n";
    out += "StopOut=" + FormatDouble(a.stop_out) + "\n";
  }
  return out;
}

bool HashClearPasswords(AccountsFile* file) {
  bool ok = true;
  for (AccountConfig& a : file->accounts) {
    if (a.password.empty()) continue;
    std::string hash = HashPassword(a.password);
    if (hash.empty()) {
      ok = false;
      continue;
    }
    a.password_hash = std::move(hash);
    a.password.clear();
  }
  return ok;
}

AccountsFile DefaultAccounts() {
  AccountsFile file;
  file.last_login = kDemoLogin;
  AccountConfig demo;
  demo.login = kDemoLogin;
  demo.password = kDemoPassword;
  demo.server = kDemoServer;
  demo.name = u"Demo Trader";
  file.accounts.push_back(demo);
  // Examples of the kinds of account the terminal knows: one that needs a
  // one-time password and a netting account.
  AccountConfig otp = demo;
  otp.login = kDemoLogin + 1;
  otp.name = u"Demo Trader (one-time password)";
  otp.otp = true;
  file.accounts.push_back(otp);
  AccountConfig netting = demo;
  netting.login = kDemoLogin + 2;
  netting.name = u"Demo Trader (netting)";
  netting.netting = true;
  file.accounts.push_back(netting);
  return file;
}

}  // namespace zk5::term
