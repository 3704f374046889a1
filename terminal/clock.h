// The market's clock: the moment the quotes, the trading and the accounts
// live at. Everything that asks "now" asks it here, so that another clock
// (a replay of the past at any speed) can take its place.
#ifndef ZK5_TERMINAL_CLOCK_H_
#define ZK5_TERMINAL_CLOCK_H_

#include <cstdint>

#include "os/terminal_host.h"

namespace zk5::term {

class MarketClock {
 public:
  // `shift_ms` is added to the system clock ([Market] ClockShift).
  explicit MarketClock(std::int64_t shift_ms = 0) : shift_ms_(shift_ms) {}
  std::int64_t NowMs() const { return fixed_ms_ != 0 ? fixed_ms_ : os::NowMs() + shift_ms_; }
  // Stops the clock at `ms` (0: running again).
  void Fix(std::int64_t ms) { fixed_ms_ = ms; }

 private:
  std::int64_t shift_ms_;
  std::int64_t fixed_ms_ = 0;
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_CLOCK_H_
