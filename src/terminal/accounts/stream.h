// The price stream applied to an account: between two moments every tick
// of the symbols the account depends on is visited in time order, and what
// a trade server does on it happens at that tick, with its time and price:
// pending orders activate (a stop-limit becomes its limit order) or expire,
// stops close positions, rollovers charge swaps, and a margin level at or
// below the stop-out level closes the most losing position until it
// recovers. The walk is lazy: it runs before a request is served and at
// start, from the moment it last reached, so time the terminal was not
// running is evaluated exactly as if it had been.
#ifndef ZK5_TERMINAL_ACCOUNTS_STREAM_H_
#define ZK5_TERMINAL_ACCOUNTS_STREAM_H_

#include <cstdint>

#include "accounts/account.h"
#include "market/prices.h"

namespace zk5::term {

struct StreamOutcome {
  bool changed = false;     // anything but evaluated_msc moved
  std::uint64_t ticks = 0;  // ticks visited
};

// Walks the ticks in (st->evaluated_msc, to_msc] and leaves evaluated_msc
// at to_msc (unchanged when to_msc is not later).
StreamOutcome AdvanceAccount(const PriceModel& model, const AccountConfig& acc, AccountState* st,
                             std::int64_t to_msc);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_STREAM_H_
