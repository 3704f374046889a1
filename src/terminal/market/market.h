// The built-in symbol catalogue: what each symbol is and how it trades.
//
// Prices are kept in whole points (1 point = 10^-digits) everywhere inside
// the terminal, so that ticks and bars compare exactly; they become doubles
// only on the wire.
#ifndef ZK5_TERMINAL_MARKET_MARKET_H_
#define ZK5_TERMINAL_MARKET_MARKET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zk5::term {

// How margin and profit are computed (the symbol record's trade_calc_mode).
enum class CalcMode : std::uint32_t {
  kForex = 0,        // margin = lots * contract / leverage, in the base currency
  kCfd = 2,          // margin = lots * contract * price, no leverage
  kCfdLeverage = 4,  // margin = lots * contract * price / leverage
};

// Who may trade a symbol (the symbol record's trade_mode).
enum class TradeMode : std::uint32_t {
  kDisabled = 0,
  kLongOnly = 1,   // no new short exposure
  kShortOnly = 2,  // no new long exposure
  kCloseOnly = 3,  // positions may only be reduced
  kFull = 4,
};

// How market orders are priced (trade_exemode). Return filling, which
// leaves a remainder working, exists only in exchange execution.
enum class Execution : std::uint32_t {
  kMarket = 2,
  kExchange = 3,
};

// Bits of filling_mode: the policies a market order may ask for.
constexpr std::uint32_t kSymbolFillingFok = 1;
constexpr std::uint32_t kSymbolFillingIoc = 2;

struct SymbolSpec {
  std::u16string name;
  std::u16string description;
  std::u16string category;  // "Forex", "Metals", "Indices", "Crypto"
  std::u16string base;      // base currency
  std::u16string profit;    // profit currency
  std::u16string margin;    // margin currency
  std::uint32_t digits;
  double contract_size;
  CalcMode calc_mode;
  double base_price;              // the level prices swing around
  double daily_volatility;        // standard deviation of a day's log return
  std::int32_t spread;            // typical spread in points
  std::int32_t ticks_per_minute;  // average quote activity
  double volume_min;
  double volume_max;
  double volume_step;
  double swap_long;  // points per lot and night
  double swap_short;
  bool always_open;     // trades at weekends too
  bool trade_ticks;     // the feed carries trades (last price, volume)
  bool custom = false;  // made from imported history alone
  TradeMode trade_mode = TradeMode::kFull;
  Execution execution = Execution::kMarket;
  std::uint32_t filling_mode = kSymbolFillingFok | kSymbolFillingIoc;

  double point() const;
  std::u16string path() const;  // category + "\" + name
  // Least distance in points between the market and a stop or a pending
  // order's price: the typical spread.
  std::int64_t stops_level() const { return spread; }
};

// The catalogue, in a fixed order; a symbol's index is its identity inside
// the terminal.
const std::vector<SymbolSpec>& Symbols();
// The symbol at an index FindSymbol gave.
inline const SymbolSpec& SymbolAt(int sym) { return Symbols()[static_cast<std::size_t>(sym)]; }
// Adds a custom symbol (path Custom\<name>, contract size 1, CFD
// calculation, no weekend) after the built-in ones and returns its index.
// Only before the terminal serves: indices must not move under requests.
int AddCustomSymbol(const std::u16string& name, std::uint32_t digits, std::int32_t spread,
                    bool trades);
// Index of the symbol with exactly this name, or -1.
int FindSymbol(const std::u16string& name);
// The symbols in the market watch of a fresh installation.
std::vector<std::u16string> DefaultMarketWatch();

// 10^digits as a double, for digits up to 8.
inline double Pow10(std::uint32_t digits) {
  constexpr double kPow[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
  return digits < 9 ? kPow[digits] : 1e8;
}

// a / b rounded towards minus infinity (b > 0): the bar, minute or day a
// time before 1970 falls in.
inline std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// The market is closed from Saturday 00:00 to Monday 00:00 (server time =
// UTC) for every symbol that is not always open.
bool IsWeekend(std::int64_t time_sec);
bool IsOpenAt(const SymbolSpec& s, std::int64_t time_sec);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_MARKET_H_
