// Trade requests against an account: validation, the margin they need, and
// their execution: market deals (hedging: each opens a position or closes
// all or part of one; netting: one position per symbol), pending orders,
// stops, close-by. Pure logic: no wire, no files. The price stream's
// triggers (stream.h) execute their deals through ApplyFill.
#ifndef ZK5_TERMINAL_ACCOUNTS_TRADE_H_
#define ZK5_TERMINAL_ACCOUNTS_TRADE_H_

#include <cstdint>
#include <string>

#include "accounts/account.h"

namespace zk5::term {

// Trade actions and the return codes of results (table in docs/terminal.md).
constexpr std::uint32_t kActionDeal = 1;
constexpr std::uint32_t kActionPending = 5;
constexpr std::uint32_t kActionSltp = 6;
constexpr std::uint32_t kActionModify = 7;
constexpr std::uint32_t kActionRemove = 8;
constexpr std::uint32_t kActionCloseBy = 10;

constexpr std::uint32_t kRetCheckOk = 0;
constexpr std::uint32_t kRetDone = 10009;
constexpr std::uint32_t kRetError = 10011;
constexpr std::uint32_t kRetInvalid = 10013;
constexpr std::uint32_t kRetInvalidVolume = 10014;
constexpr std::uint32_t kRetInvalidPrice = 10015;
constexpr std::uint32_t kRetInvalidStops = 10016;
constexpr std::uint32_t kRetTradeDisabled = 10017;
constexpr std::uint32_t kRetMarketClosed = 10018;
constexpr std::uint32_t kRetNoMoney = 10019;
constexpr std::uint32_t kRetInvalidExpiration = 10022;
constexpr std::uint32_t kRetNoChanges = 10025;
constexpr std::uint32_t kRetInvalidFill = 10030;
constexpr std::uint32_t kRetLimitOrders = 10033;
constexpr std::uint32_t kRetPositionClosed = 10036;
constexpr std::uint32_t kRetInvalidCloseVolume = 10038;
constexpr std::uint32_t kRetLimitPositions = 10040;
constexpr std::uint32_t kRetLongOnly = 10042;
constexpr std::uint32_t kRetShortOnly = 10043;
constexpr std::uint32_t kRetCloseOnly = 10044;

// A request's type_filling.
constexpr std::uint32_t kFillingFok = 0;
constexpr std::uint32_t kFillingIoc = 1;
constexpr std::uint32_t kFillingReturn = 2;

// Most open positions and working orders an account may hold.
constexpr std::size_t kMaxPositions = 1000;
constexpr std::size_t kMaxWorkingOrders = 1000;

struct TradeRequest {
  std::uint32_t action = 0;
  std::uint64_t magic = 0;
  std::uint64_t order = 0;
  std::u16string symbol;
  double volume = 0;
  double price = 0;
  double stoplimit = 0;
  double sl = 0;
  double tp = 0;
  std::uint64_t deviation = 0;
  std::uint32_t type = 0;
  std::uint32_t type_filling = 0;
  std::uint32_t type_time = 0;
  std::int64_t expiration = 0;
  std::u16string comment;
  std::uint64_t position = 0;
  std::uint64_t position_by = 0;
};

struct CheckOutcome {
  std::uint32_t retcode = 0;
  std::u16string comment;
  double balance = 0;
  double equity = 0;
  double profit = 0;
  double margin = 0;  // the account's margin after the deal
  double margin_free = 0;
  double margin_level = 0;
};

struct SendOutcome {
  std::uint32_t retcode = 0;
  std::u16string comment;
  std::uint64_t deal = 0;
  std::uint64_t order = 0;
  double volume = 0;
  double price = 0;
  double bid = 0;
  double ask = 0;
  std::uint32_t request_id = 0;
};

// A price as a whole number of the symbol's points; false when it is not
// one (or not a positive finite number).
bool ToPoints(const SymbolSpec& s, double price, std::int64_t* points);

// One deal at the market, from a request or a trigger on the price stream.
struct Fill {
  int sym = -1;
  std::uint32_t type = 0;  // buy or sell
  double volume = 0;
  double price = 0;
  std::int64_t time_msc = 0;
  std::uint64_t position = 0;  // hedging: the position it closes; 0 opens one
  std::uint32_t reason = kReasonExpert;
  std::uint64_t magic = 0;
  std::u16string comment;
  double sl = 0;  // of the position it opens (netting: replace when non-zero)
  double tp = 0;
};
// The account's margin once `f` is executed; false without a conversion.
bool MarginAfter(const Quotes& q, const AccountConfig& acc, const AccountState& st, const Fill& f,
                 double margin_now, double* margin_after);
// Whether the account may take on `margin_after` (no negative free margin,
// not at or below the margin-call level while margin grows).
bool Affordable(const AccountConfig& acc, const AccountSummary& now, double margin_after);
// Moves working order `i` into the history in its final state.
void RetireOrder(AccountState* st, std::size_t i, std::uint32_t state, std::int64_t time_msc);
// Executes `f`, recording `order` (its ticket already drawn) as filled.
// Returns the deal's ticket.
std::uint64_t ApplyFill(const Quotes& q, const AccountConfig& acc, AccountState* st, Order order,
                        const Fill& f);

CheckOutcome CheckTrade(const Quotes& q, const AccountConfig& acc, const AccountState& st,
                        const TradeRequest& req);
// Executes the request when it passes the checks; *st changes only then.
SendOutcome ExecuteTrade(const Quotes& q, const AccountConfig& acc, AccountState* st,
                         const TradeRequest& req);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_TRADE_H_
