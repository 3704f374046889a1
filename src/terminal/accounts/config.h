// The terminal's settings (config/terminal.ini) and its accounts
// (config/accounts.dat). Both are plain UTF-8 text in sections of
// key=value lines; ';' and '#' start a comment line. Unknown keys are kept
// out of the way, bad values fall back to the default.
#ifndef ZK5_TERMINAL_ACCOUNTS_CONFIG_H_
#define ZK5_TERMINAL_ACCOUNTS_CONFIG_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zk5::term {

// A parsed INI text: section -> key -> value, names lower-cased.
using IniData = std::map<std::string, std::map<std::string, std::string>>;
IniData ParseIni(const std::string& text);

// The build a terminal reports unless configured otherwise.
constexpr std::uint32_t kDefaultBuild = 4410;

// The ranges of the replay settings.
constexpr std::int64_t kMinReplaySpeed = 1;
constexpr std::int64_t kMaxReplaySpeed = 1000000;
constexpr std::int64_t kMaxReplayStepMs = 86400000LL * 366;

struct Settings {
  std::int64_t idle_exit_sec = 600;     // [Terminal] IdleExit; 0 = never
  std::uint32_t build = kDefaultBuild;  // [Terminal] Build
  bool trade_api = true;                // [Terminal] TradeApi
  bool trade_allowed = true;            // [Terminal] TradeAllowed
  std::int64_t max_bars = 100000;       // [Terminal] MaxBars
  std::int64_t login_delay_ms = 0;      // [Terminal] LoginDelay
  std::uint64_t seed = 1;               // [Market] Seed
  // A connection is closed when a request it started is not whole within
  // request_timeout_sec, or when it sends nothing for connection_idle_sec.
  std::int64_t request_timeout_sec = 30;   // [Terminal] RequestTimeout
  std::int64_t connection_idle_sec = 600;  // [Terminal] ConnectionIdle
  std::int64_t clock_shift_sec = 0;        // [Market] ClockShift: added to the system clock
  // [Replay] From (UTC), Speed, Step, To: a replay of the past when From is set.
  bool replay = false;
  std::int64_t replay_from_ms = 0;
  std::int64_t replay_speed = 1;    // market seconds per real second, 1..1000000
  std::int64_t replay_step_ms = 0;  // > 0: the clock moves this much per request instead
  bool replay_stepped = false;      // [Replay] Stepped: held until the script moves it
  // [Replay] To (UTC): where the clock stops; 0 = not set (the end of the
  // imported history, else the moment the replay starts).
  std::int64_t replay_to_ms = 0;
  // [Store] Durable: false for an installation thrown away after use (a
  // backtest's, a sweep's): the account store is never flushed to disk.
  bool durable = true;
  // Why a given From, Speed, Step, Stepped or To cannot be taken (the terminal does
  // not start then), naming the setting and what it may be.
  std::string replay_error;
};
Settings ParseSettings(const std::string& text);
// The file a fresh installation gets: every setting with its default and
// a comment.
std::string DefaultSettingsText();

struct AccountConfig {
  std::uint64_t login = 0;
  // A password written in clear in accounts.dat, until it is hashed at start
  // (HashClearPasswords); never written back.
  std::u16string password;
  std::string password_hash;  // see password.h
  std::u16string server;
  std::u16string name;
  std::u16string currency = u"USD";
  std::u16string company = u"Brundel Simulations Ltd.";
  std::uint32_t leverage = 100;
  double deposit = 10000;
  bool otp = false;         // needs a one-time password: LOGIN answers -7
  bool netting = false;     // a netting account: one position per symbol
  double margin_call = 50;  // margin level (%) at or below which no margin is added
  double stop_out = 30;     // margin level (%) at or below which positions are closed
};

struct AccountsFile {
  std::uint64_t last_login = 0;  // the account new connections start with
  std::vector<AccountConfig> accounts;
};
AccountsFile ParseAccounts(const std::string& text);
// The file's text; passwords only as their hashes (PasswordHash=).
std::string FormatAccounts(const AccountsFile& file);
// Replaces every clear password by its hash. False when a hash could not
// be made (that account then keeps its clear password in memory only).
bool HashClearPasswords(AccountsFile* file);
// The demo accounts of a fresh installation.
AccountsFile DefaultAccounts();

constexpr std::uint64_t kDemoLogin = 10000001;
constexpr char16_t kDemoPassword[] = u"demo";
constexpr char16_t kDemoServer[] = u"Brundel-Demo";

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_CONFIG_H_
