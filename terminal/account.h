// An account's trading state: positions, history orders and deals, and the
// money arithmetic on them (margin, profit, swap, conversion between
// currencies at current prices).
#ifndef ZK5_TERMINAL_ACCOUNT_H_
#define ZK5_TERMINAL_ACCOUNT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "prices.h"

namespace zk5::term {

// Enumerations shared with clients (documented in docs/terminal.md).
constexpr std::uint32_t kOrderTypeBuy = 0;
constexpr std::uint32_t kOrderTypeSell = 1;
constexpr std::uint32_t kDealTypeBuy = 0;
constexpr std::uint32_t kDealTypeSell = 1;
constexpr std::uint32_t kDealTypeBalance = 2;
constexpr std::uint32_t kEntryIn = 0;
constexpr std::uint32_t kEntryOut = 1;
constexpr std::uint32_t kOrderStateFilled = 4;
constexpr std::uint32_t kReasonClient = 0;
constexpr std::uint32_t kReasonExpert = 3;  // placed through the programming interface

struct Position {
  std::uint64_t ticket = 0;  // also its identifier: the opening order's ticket
  std::int64_t time_msc = 0;
  std::int64_t time_update_msc = 0;
  std::uint32_t type = 0;    // 0 buy, 1 sell
  std::uint64_t magic = 0;
  std::uint32_t reason = kReasonExpert;
  double volume = 0;
  double price_open = 0;
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

struct HistoryOrder {
  std::uint64_t ticket = 0;
  std::int64_t time_setup_msc = 0;
  std::int64_t time_done_msc = 0;
  std::uint32_t type = 0;
  std::uint32_t type_filling = 0;
  std::uint32_t state = kOrderStateFilled;
  std::uint64_t magic = 0;
  std::uint64_t position_id = 0;
  std::uint32_t reason = kReasonExpert;
  double volume_initial = 0;
  double price_open = 0;
  double price_current = 0;
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
  std::vector<Position> positions;

  // The journal of the change in progress: orders and deals it added (or,
  // for orders, changed) and the tickets of positions it opened, changed or
  // closed. Store::Commit writes them in one transaction and clears them.
  std::vector<HistoryOrder> new_orders;
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
  // Current bid and ask of a symbol as prices; false before history.
  bool Price(int sym, double* bid, double* ask) const;
  // Factor that turns an amount in `from` into `to`: a direct pair, its
  // inverse, or through USD. False when no pair connects them.
  bool Rate(const std::u16string& from, const std::u16string& to, double* rate) const;

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
// Swap of `volume` lots held from open_msc to the quotes' time: one charge
// per night rolled over at 00:00, three for Wednesday nights, none for
// nights of a closed market.
bool SwapFor(const Quotes& q, const AccountConfig& acc, int sym, std::uint32_t type, double volume,
             std::int64_t open_msc, double* swap);

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

#endif  // ZK5_TERMINAL_ACCOUNT_H_
