// An account's trading state: positions, history orders and deals, and the
// money arithmetic on them (margin, profit, swap, conversion between
// currencies at current prices).
#ifndef ZK5_TERMINAL_ACCOUNTS_ACCOUNT_H_
#define ZK5_TERMINAL_ACCOUNTS_ACCOUNT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "accounts/config.h"
#include "market/prices.h"

namespace zk5::term {

// Enumerations shared with clients (documented in docs/terminal.md).
constexpr std::uint32_t kOrderTypeBuy = 0;
constexpr std::uint32_t kOrderTypeSell = 1;
constexpr std::uint32_t kOrderTypeBuyLimit = 2;
constexpr std::uint32_t kOrderTypeSellLimit = 3;
constexpr std::uint32_t kOrderTypeBuyStop = 4;
constexpr std::uint32_t kOrderTypeSellStop = 5;
constexpr std::uint32_t kOrderTypeBuyStopLimit = 6;
constexpr std::uint32_t kOrderTypeSellStopLimit = 7;
constexpr std::uint32_t kOrderTypeCloseBy = 8;
constexpr std::uint32_t kDealTypeBuy = 0;
constexpr std::uint32_t kDealTypeSell = 1;
constexpr std::uint32_t kDealTypeBalance = 2;
constexpr std::uint32_t kEntryIn = 0;
constexpr std::uint32_t kEntryOut = 1;
constexpr std::uint32_t kEntryInOut = 2;  // a netting position reversed
constexpr std::uint32_t kEntryOutBy = 3;  // closed by an opposite position
constexpr std::uint32_t kOrderStatePlaced = 1;
constexpr std::uint32_t kOrderStateCanceled = 2;
constexpr std::uint32_t kOrderStateFilled = 4;
constexpr std::uint32_t kOrderStateExpired = 6;
constexpr std::uint32_t kOrderTimeGtc = 0;
constexpr std::uint32_t kOrderTimeDay = 1;
constexpr std::uint32_t kOrderTimeSpecified = 2;
constexpr std::uint32_t kOrderTimeSpecifiedDay = 3;
// Reasons of orders, deals and positions share their values.
constexpr std::uint32_t kReasonClient = 0;
constexpr std::uint32_t kReasonExpert = 3;  // placed through the programming interface
constexpr std::uint32_t kReasonSl = 4;
constexpr std::uint32_t kReasonTp = 5;
constexpr std::uint32_t kReasonSo = 6;

// Buy-side order types (market, limit, stop, stop-limit) are even.
inline bool IsBuyType(std::uint32_t type) { return type % 2 == 0; }

struct Position {
  std::uint64_t ticket = 0;  // also its identifier: the opening order's ticket
  std::int64_t time_msc = 0;
  std::int64_t time_update_msc = 0;
  std::uint32_t type = 0;  // 0 buy, 1 sell
  std::uint64_t magic = 0;
  std::uint32_t reason = kReasonExpert;
  double volume = 0;
  double price_open = 0;
  double sl = 0;  // 0: none
  double tp = 0;
  double swap = 0;  // charged at the rollovers so far, in the account currency
  std::u16string symbol;
  std::u16string comment;
};

struct Deal {
  std::uint64_t ticket = 0;
  std::uint64_t order = 0;
  std::int64_t time_msc = 0;
  std::uint32_t type = 0;
  std::uint32_t entry = 0;
  std::uint64_t magic = 0;
  std::uint64_t position_id = 0;
  std::uint32_t reason = kReasonExpert;
  double volume = 0;
  double price = 0;
  double commission = 0;
  double swap = 0;
  double profit = 0;
  double fee = 0;
  std::u16string symbol;
  std::u16string comment;
};

// An order: working (state placed) or in the history.
struct Order {
  std::uint64_t ticket = 0;
  std::int64_t time_setup_msc = 0;
  std::int64_t time_done_msc = 0;
  std::int64_t time_expiration = 0;  // seconds; 0 for good-till-cancelled
  std::uint32_t type = 0;
  std::uint32_t type_time = kOrderTimeGtc;
  std::uint32_t type_filling = 0;
  std::uint32_t state = kOrderStateFilled;
  std::uint64_t magic = 0;
  std::uint64_t position_id = 0;
  std::uint64_t position_by_id = 0;
  std::uint32_t reason = kReasonExpert;
  double volume_initial = 0;
  double volume_current = 0;
  double price_open = 0;
  double sl = 0;
  double tp = 0;
  double price_current = 0;
  double price_stoplimit = 0;
  std::u16string symbol;
  std::u16string comment;
};

// An account as the terminal holds it in memory: its money, counters and
// open positions. History lives in the store (store.h); a change records
// what it added in the journal fields until the store has committed it.
struct AccountState {
  std::uint64_t login = 0;
  double balance = 0;
  double credit = 0;
  std::uint64_t next_ticket = 1000001;  // orders, deals and positions share it
  std::uint32_t next_request_id = 1;
  // Ids below this are reserved in the store: a request takes one only
  // below it, so that none is handed out twice, whatever fails or ends.
  std::uint32_t request_id_limit = 0;
  static constexpr std::uint32_t kRequestIdBlock = 1000;
  // Market time up to which the price stream has been applied to the
  // working orders, stops, rollovers and the stop-out level.
  std::int64_t evaluated_msc = 0;
  std::int64_t stored_evaluated_msc = 0;  // the value the store holds
  std::vector<Position> positions;
  std::vector<Order> working;  // pending orders, in the order they were placed

  // The journal of the change in progress: orders and deals it added (or,
  // for orders, changed: a working order placed, modified or ended) and the
  // tickets of positions it opened, changed or closed. Store::Commit writes
  // them in one transaction and clears them.
  std::vector<Order> new_orders;
  std::vector<Deal> new_deals;
  std::vector<std::uint64_t> changed_positions;
  void ClearJournal() {
    new_orders.clear();
    new_deals.clear();
    changed_positions.clear();
  }
};

// A fresh account: its deposit as a balance deal at `now_ms`.
AccountState NewAccount(const AccountConfig& config, std::int64_t now_ms);

// Prices as of one moment, with the conversion between currencies.
class Quotes {
 public:
  Quotes(const PriceModel& model, std::int64_t now_ms) : model_(model), now_ms_(now_ms) {}
  std::int64_t now_ms() const { return now_ms_; }
  const PriceModel& model() const { return model_; }
  // Current bid and ask of a symbol as prices; false before history.
  bool Price(int sym, double* bid, double* ask) const;
  // Factor that turns an amount in `from` into `to`: a direct pair, its
  // inverse, or through USD. False when no pair connects them.
  bool Rate(const std::u16string& from, const std::u16string& to, double* rate) const;
  // The symbols whose prices Rate(from, to) reads.
  static std::vector<int> RateSymbols(const std::u16string& from, const std::u16string& to);

  // For a walk along the price stream: the moment moves on and ticks set
  // the prices (points) of the symbols they belong to.
  void MoveTo(std::int64_t now_ms) { now_ms_ = now_ms; }
  void Set(int sym, const Tick& t);

 private:
  bool Direct(const std::u16string& from, const std::u16string& to, double* rate) const;
  const PriceModel& model_;
  std::int64_t now_ms_;
  // Prices already looked up at this moment: 0 unknown, 1 known, -1 none.
  mutable std::vector<signed char> known_;
  mutable std::vector<double> bid_, ask_;
};

double RoundMoney(double v);

// Money of one position or deal, in the account currency. Each is false
// when a needed price or conversion is missing.
bool MarginFor(const Quotes& q, const AccountConfig& acc, int sym, double volume, double price,
               double* margin);
bool ProfitFor(const Quotes& q, const AccountConfig& acc, int sym, std::uint32_t type,
               double volume, double open, double close, double* profit);
// Nights charged at the rollover at 00:00 starting `day` (days since
// 1970): one, three for the Wednesday night, none for a closed market's.
int RolloverNights(const SymbolSpec& s, std::int64_t day);
// Swap of `volume` lots for that rollover, at the quotes' prices.
bool SwapFor(const Quotes& q, const AccountConfig& acc, int sym, std::uint32_t type, double volume,
             std::int64_t day, double* swap);
// Commission of a deal of `volume` lots (negative), by the symbol's group.
bool CommissionFor(const Quotes& q, const AccountConfig& acc, int sym, double volume,
                   double* commission);
// The commission per lot and deal, in US dollars, of a symbol's group.
double CommissionPerLot(const SymbolSpec& s);

// A position valued at current prices.
struct PositionValue {
  double price_current = 0;
  double profit = 0;
  double swap = 0;
  double margin = 0;
};
PositionValue ValuePosition(const Quotes& q, const AccountConfig& acc, const Position& p);

struct AccountSummary {
  double profit = 0;
  double equity = 0;
  double margin = 0;
  double margin_free = 0;
  double margin_level = 0;
};
AccountSummary Summarise(const Quotes& q, const AccountConfig& acc, const AccountState& st);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_ACCOUNT_H_
