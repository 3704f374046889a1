// Trade requests against an account: validation, the margin they need, and
// the execution of market deals (opening a position, or closing all or part
// of one by an opposite deal on it). Pure logic: no wire, no files.
#ifndef ZK5_TERMINAL_TRADE_H_
#define ZK5_TERMINAL_TRADE_H_

#include <cstdint>
#include <string>

#include "account.h"

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
constexpr std::uint32_t kRetInvalid = 10013;
constexpr std::uint32_t kRetInvalidVolume = 10014;
constexpr std::uint32_t kRetTradeDisabled = 10017;
constexpr std::uint32_t kRetMarketClosed = 10018;
constexpr std::uint32_t kRetNoMoney = 10019;
constexpr std::uint32_t kRetInvalidFill = 10030;
constexpr std::uint32_t kRetNotSupported = 10035;
constexpr std::uint32_t kRetPositionClosed = 10036;
constexpr std::uint32_t kRetInvalidCloseVolume = 10038;
constexpr std::uint32_t kRetLimitPositions = 10040;

// Most open positions an account may hold.
constexpr std::size_t kMaxPositions = 1000;

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
  double margin = 0;        // the account's margin after the deal
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

CheckOutcome CheckTrade(const Quotes& q, const AccountConfig& acc, const AccountState& st,
                        const TradeRequest& req);
// Executes the request when it passes the checks; *st changes only then.
SendOutcome ExecuteTrade(const Quotes& q, const AccountConfig& acc, AccountState* st,
                         const TradeRequest& req);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_TRADE_H_
