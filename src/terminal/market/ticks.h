// Tick requests: which ticks a request selects, how many there are, and
// their records written in large chunks.
#ifndef ZK5_TERMINAL_MARKET_TICKS_H_
#define ZK5_TERMINAL_MARKET_TICKS_H_

#include <cstdint>

#include "market/prices.h"
#include "server/dispatch.h"

namespace zk5::term {

// Tick-copy flags of the requests: 1 quote ticks (a bid or ask change),
// 2 trade ticks (a last price or volume), -1 all.
constexpr std::int32_t kCopyTicksInfo = 1;
constexpr std::int32_t kCopyTicksTrade = 2;
constexpr std::int32_t kCopyTicksAll = -1;

// The most ticks one reply carries (its length field is 32 bits).
constexpr std::uint64_t kMaxTicksPerReply = 50000000;

struct TickQuery {
  int sym = 0;
  std::int64_t from_ms = 0;  // inclusive
  std::int64_t to_ms = 0;    // inclusive
  std::uint64_t max_count = 0;
  bool info = true;
  bool trade = true;
};

// Number of ticks the query selects (at most max_count).
std::uint64_t CountTicks(const PriceModel& model, const TickQuery& q);
// Writes the first `count` selected ticks as records into the sink.
bool StreamTicks(const PriceModel& model, const TickQuery& q, std::uint64_t count,
                 const PayloadSink& sink);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_TICKS_H_
