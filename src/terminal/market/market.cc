#include "market/market.h"

namespace zk5::term {

namespace {

struct Row {
  const char16_t* name;
  const char16_t* description;
  const char16_t* category;
  const char16_t* base;
  const char16_t* profit;
  std::uint32_t digits;
  double contract;
  CalcMode mode;
  double price;
  double vol;
  std::int32_t spread;
  std::int32_t activity;
  double vmin, vmax, vstep;
  double swap_long, swap_short;
  bool always_open;
  bool trades;
};

constexpr CalcMode kFx = CalcMode::kForex;
constexpr CalcMode kLev = CalcMode::kCfdLeverage;

// Levels and volatilities are typical of recent years; they only need to
// look plausible.
const Row kRows[] = {
    {u"EURUSD", u"Euro vs US Dollar", u"Forex", u"EUR", u"USD", 5, 100000, kFx, 1.0850, 0.0050, 8,
     30, 0.01, 100, 0.01, -6.9, 1.4, false, false},
    {u"GBPUSD", u"Great Britain Pound vs US Dollar", u"Forex", u"GBP", u"USD", 5, 100000, kFx,
     1.2700, 0.0055, 12, 28, 0.01, 100, 0.01, -4.2, -1.1, false, false},
    {u"USDJPY", u"US Dollar vs Japanese Yen", u"Forex", u"USD", u"JPY", 3, 100000, kFx, 148.50,
     0.0055, 10, 28, 0.01, 100, 0.01, 14.6, -28.3, false, false},
    {u"USDCHF", u"US Dollar vs Swiss Franc", u"Forex", u"USD", u"CHF", 5, 100000, kFx, 0.8850,
     0.0050, 12, 20, 0.01, 100, 0.01, 5.1, -11.7, false, false},
    {u"AUDUSD", u"Australian Dollar vs US Dollar", u"Forex", u"AUD", u"USD", 5, 100000, kFx, 0.6600,
     0.0060, 10, 22, 0.01, 100, 0.01, -3.3, -0.9, false, false},
    {u"USDCAD", u"US Dollar vs Canadian Dollar", u"Forex", u"USD", u"CAD", 5, 100000, kFx, 1.3600,
     0.0045, 14, 20, 0.01, 100, 0.01, 0.8, -6.1, false, false},
    {u"NZDUSD", u"New Zealand Dollar vs US Dollar", u"Forex", u"NZD", u"USD", 5, 100000, kFx,
     0.6100, 0.0062, 14, 16, 0.01, 100, 0.01, -2.8, -1.6, false, false},
    {u"EURGBP", u"Euro vs Great Britain Pound", u"Forex", u"EUR", u"GBP", 5, 100000, kFx, 0.8550,
     0.0035, 12, 15, 0.01, 100, 0.01, -5.0, 0.4, false, false},
    {u"EURJPY", u"Euro vs Japanese Yen", u"Forex", u"EUR", u"JPY", 3, 100000, kFx, 161.00, 0.0060,
     16, 18, 0.01, 100, 0.01, 8.2, -21.5, false, false},
    {u"GBPJPY", u"Great Britain Pound vs Japanese Yen", u"Forex", u"GBP", u"JPY", 3, 100000, kFx,
     188.50, 0.0068, 22, 18, 0.01, 100, 0.01, 11.4, -30.2, false, false},
    {u"EURCHF", u"Euro vs Swiss Franc", u"Forex", u"EUR", u"CHF", 5, 100000, kFx, 0.9600, 0.0035,
     16, 12, 0.01, 100, 0.01, -1.2, -5.8, false, false},
    {u"AUDJPY", u"Australian Dollar vs Japanese Yen", u"Forex", u"AUD", u"JPY", 3, 100000, kFx,
     98.00, 0.0070, 18, 14, 0.01, 100, 0.01, 6.1, -14.9, false, false},
    {u"EURAUD", u"Euro vs Australian Dollar", u"Forex", u"EUR", u"AUD", 5, 100000, kFx, 1.6400,
     0.0055, 22, 12, 0.01, 100, 0.01, -9.8, 2.2, false, false},
    {u"EURCAD", u"Euro vs Canadian Dollar", u"Forex", u"EUR", u"CAD", 5, 100000, kFx, 1.4700,
     0.0050, 22, 10, 0.01, 100, 0.01, -8.1, 1.5, false, false},
    {u"GBPCHF", u"Great Britain Pound vs Swiss Franc", u"Forex", u"GBP", u"CHF", 5, 100000, kFx,
     1.1200, 0.0055, 24, 10, 0.01, 100, 0.01, 1.9, -9.4, false, false},
    {u"CADJPY", u"Canadian Dollar vs Japanese Yen", u"Forex", u"CAD", u"JPY", 3, 100000, kFx,
     109.00, 0.0062, 20, 10, 0.01, 100, 0.01, 7.0, -17.2, false, false},
    {u"CHFJPY", u"Swiss Franc vs Japanese Yen", u"Forex", u"CHF", u"JPY", 3, 100000, kFx, 168.00,
     0.0058, 24, 10, 0.01, 100, 0.01, 2.5, -12.8, false, false},
    {u"AUDNZD", u"Australian Dollar vs New Zealand Dollar", u"Forex", u"AUD", u"NZD", 5, 100000,
     kFx, 1.0850, 0.0040, 24, 8, 0.01, 100, 0.01, -4.6, -0.7, false, false},
    {u"USDSEK", u"US Dollar vs Swedish Krona", u"Forex", u"USD", u"SEK", 5, 100000, kFx, 10.450,
     0.0065, 300, 8, 0.01, 100, 0.01, 12.5, -95.0, false, false},
    {u"USDMXN", u"US Dollar vs Mexican Peso", u"Forex", u"USD", u"MXN", 5, 100000, kFx, 17.200,
     0.0080, 400, 8, 0.01, 100, 0.01, -310.0, 150.0, false, false},
    {u"XAUUSD", u"Gold vs US Dollar", u"Metals", u"XAU", u"USD", 2, 100, kFx, 2050.00, 0.0090, 25,
     26, 0.01, 50, 0.01, -38.5, 14.2, false, false},
    {u"XAGUSD", u"Silver vs US Dollar", u"Metals", u"XAG", u"USD", 3, 5000, kFx, 24.000, 0.0150, 30,
     18, 0.01, 50, 0.01, -5.2, 0.9, false, false},
    {u"XPTUSD", u"Platinum vs US Dollar", u"Metals", u"XPT", u"USD", 2, 100, kFx, 950.00, 0.0120,
     300, 8, 0.01, 20, 0.01, -12.0, 2.5, false, false},
    {u"US500", u"US 500 Cash Index", u"Indices", u"USD", u"USD", 2, 1, kLev, 5000.00, 0.0100, 50,
     24, 0.1, 500, 0.1, -80.0, 20.0, false, false},
    {u"US30", u"US Wall Street 30 Cash Index", u"Indices", u"USD", u"USD", 1, 1, kLev, 38000.0,
     0.0095, 20, 22, 0.1, 200, 0.1, -60.0, 15.0, false, false},
    {u"NAS100", u"US Tech 100 Cash Index", u"Indices", u"USD", u"USD", 2, 1, kLev, 17500.00, 0.0130,
     120, 24, 0.1, 200, 0.1, -300.0, 75.0, false, false},
    {u"GER40", u"Germany 40 Cash Index", u"Indices", u"EUR", u"EUR", 1, 1, kLev, 17000.0, 0.0105,
     12, 20, 0.1, 200, 0.1, -30.0, 5.0, false, false},
    {u"UK100", u"UK 100 Cash Index", u"Indices", u"GBP", u"GBP", 1, 1, kLev, 7600.0, 0.0090, 10, 18,
     0.1, 200, 0.1, -12.0, 3.0, false, false},
    {u"JP225", u"Japan 225 Cash Index", u"Indices", u"JPY", u"JPY", 0, 1, kLev, 38000, 0.0120, 10,
     18, 1, 1000, 1, -7.0, 1.0, false, false},
    {u"BTCUSD", u"Bitcoin vs US Dollar", u"Crypto", u"BTC", u"USD", 2, 1, kLev, 60000.00, 0.0300,
     2500, 26, 0.01, 10, 0.01, -2000.0, -1000.0, true, true},
    {u"ETHUSD", u"Ethereum vs US Dollar", u"Crypto", u"ETH", u"USD", 2, 1, kLev, 3000.00, 0.0380,
     250, 24, 0.01, 100, 0.01, -150.0, -75.0, true, true},
    {u"LTCUSD", u"Litecoin vs US Dollar", u"Crypto", u"LTC", u"USD", 2, 1, kLev, 80.00, 0.0450, 12,
     14, 0.1, 1000, 0.1, -5.0, -2.5, true, true},
    {u"XRPUSD", u"Ripple vs US Dollar", u"Crypto", u"XRP", u"USD", 5, 1, kLev, 0.55000, 0.0500, 120,
     14, 100, 1000000, 100, -3.0, -1.5, true, true},
};

// Symbols whose trading conditions differ from the default (full access,
// market execution, fill-or-kill and immediate-or-cancel), as brokers set
// them: index CFDs filled immediate-or-cancel, exotic pairs and minor
// metals fill-or-kill, one coin being delisted and one without short selling.
struct Conditions {
  const char16_t* name;
  TradeMode trade_mode;
  std::uint32_t filling_mode;
};

const Conditions kConditions[] = {
    {u"US30", TradeMode::kFull, kSymbolFillingIoc},
    {u"NAS100", TradeMode::kFull, kSymbolFillingIoc},
    {u"GER40", TradeMode::kFull, kSymbolFillingIoc},
    {u"UK100", TradeMode::kFull, kSymbolFillingIoc},
    {u"USDSEK", TradeMode::kFull, kSymbolFillingFok},
    {u"USDMXN", TradeMode::kFull, kSymbolFillingFok},
    {u"XAGUSD", TradeMode::kFull, kSymbolFillingFok},
    {u"XPTUSD", TradeMode::kFull, kSymbolFillingFok},
    {u"LTCUSD", TradeMode::kLongOnly, kSymbolFillingFok | kSymbolFillingIoc},
    {u"XRPUSD", TradeMode::kCloseOnly, kSymbolFillingFok | kSymbolFillingIoc},
};

std::vector<SymbolSpec> Build() {
  std::vector<SymbolSpec> out;
  for (const Row& r : kRows) {
    SymbolSpec s;
    s.name = r.name;
    s.description = r.description;
    s.category = r.category;
    s.base = r.base;
    s.profit = r.profit;
    // Forex-style symbols margin in the base currency, CFDs in the quote.
    s.margin = r.mode == CalcMode::kForex ? r.base : r.profit;
    s.digits = r.digits;
    s.contract_size = r.contract;
    s.calc_mode = r.mode;
    s.base_price = r.price;
    s.daily_volatility = r.vol;
    s.spread = r.spread;
    s.ticks_per_minute = r.activity;
    s.volume_min = r.vmin;
    s.volume_max = r.vmax;
    s.volume_step = r.vstep;
    s.swap_long = r.swap_long;
    s.swap_short = r.swap_short;
    s.always_open = r.always_open;
    s.trade_ticks = r.trades;
    for (const Conditions& c : kConditions) {
      if (s.name == c.name) {
        s.trade_mode = c.trade_mode;
        s.filling_mode = c.filling_mode;
      }
    }
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

double SymbolSpec::point() const { return 1.0 / Pow10(digits); }

std::u16string SymbolSpec::path() const { return category + u"\\" + name; }

namespace {

std::vector<SymbolSpec>& Catalogue() {
  static std::vector<SymbolSpec> symbols = Build();
  return symbols;
}

}  // namespace

const std::vector<SymbolSpec>& Symbols() { return Catalogue(); }

int AddCustomSymbol(const std::u16string& name, std::uint32_t digits, std::int32_t spread,
                    bool trades) {
  SymbolSpec s;
  s.name = name;
  s.description = name;
  s.category = u"Custom";
  s.base = s.profit = s.margin = u"USD";
  s.digits = digits;
  s.contract_size = 1;
  s.calc_mode = CalcMode::kCfd;
  s.base_price = 1;
  s.daily_volatility = 0;
  s.spread = spread;
  s.ticks_per_minute = 0;
  s.volume_min = 0.01;
  s.volume_max = 100000;
  s.volume_step = 0.01;
  s.swap_long = s.swap_short = 0;
  s.always_open = true;
  s.trade_ticks = trades;
  s.custom = true;
  Catalogue().push_back(std::move(s));
  return static_cast<int>(Catalogue().size() - 1);
}

int FindSymbol(const std::u16string& name) {
  const auto& all = Symbols();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::u16string> DefaultMarketWatch() {
  return {u"EURUSD", u"GBPUSD", u"USDJPY", u"USDCHF", u"AUDUSD",
          u"USDCAD", u"XAUUSD", u"US500",  u"BTCUSD"};
}

bool IsWeekend(std::int64_t time_sec) {
  // 1970-01-01 was a Thursday: day 2 and 3 of each week counted from there
  // are Saturday and Sunday.
  std::int64_t day = time_sec / 86400;
  if (time_sec < 0 && time_sec % 86400 != 0) --day;
  const std::int64_t weekday = ((day % 7) + 7) % 7;  // 0 = Thursday
  return weekday == 2 || weekday == 3;
}

bool IsOpenAt(const SymbolSpec& s, std::int64_t time_sec) {
  return s.always_open || !IsWeekend(time_sec);
}

}  // namespace zk5::term
