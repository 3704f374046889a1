// The market's clock: the moment the quotes, the trading and the accounts
// live at. Everything that asks "now" asks it here, so that another clock
// (a replay of the past at any speed) can take its place.
#ifndef ZK5_TERMINAL_MARKET_CLOCK_H_
#define ZK5_TERMINAL_MARKET_CLOCK_H_

#include <atomic>
#include <cstdint>

#include "os/service.h"

namespace zk5::term {

class MarketClock {
 public:
  // The system clock plus `shift_ms` ([Market] ClockShift).
  explicit MarketClock(std::int64_t shift_ms = 0) : shift_ms_(shift_ms) {}

  // How a replay's clock moves.
  enum class Mode : std::uint32_t {
    kLive = 0,        // the system clock (plus a shift)
    kTimed = 1,       // `speed` market seconds per real second
    kPerRequest = 2,  // step_ms at every answered request
    kHeld = 3,        // only when the script moves it (Advance, MoveTo)
  };

  // A replay that is at `from_ms` now and runs `speed` times real time; or,
  // with step_ms > 0, moves step_ms at every Step() and not by itself, so
  // that the same requests always meet the same moments; or, `held`, stands
  // still until Advance or MoveTo moves it, whatever is asked meanwhile.
  // However it runs, it stops at `end_ms` (> from_ms; 0: no end).
  MarketClock(std::int64_t from_ms, std::int64_t speed, std::int64_t step_ms, bool held = false,
              std::int64_t end_ms = 0)
      : replay_(true),
        held_(held),
        from_ms_(from_ms),
        end_ms_(end_ms),
        speed_(speed),
        step_ms_(held ? 0 : step_ms),
        started_ms_(os::NowMs()) {}

  std::int64_t NowMs() const {
    if (fixed_ms_ != 0) return fixed_ms_;
    if (!replay_) return os::NowMs() + shift_ms_;
    if (held_) return from_ms_ + moved_ms_.load();
    if (step_ms_ > 0) return Capped(from_ms_ + steps_.load() * step_ms_);
    std::int64_t now = Capped(from_ms_ + (os::NowMs() - started_ms_) * speed_);
    // A system clock set back must not take the market back with it.
    std::int64_t seen = latest_.load();
    while (now > seen && !latest_.compare_exchange_weak(seen, now)) {
    }
    return now > seen ? now : seen;
  }

  // One request answered: a stepped replay moves on.
  void Step() {
    if (step_ms_ > 0) steps_.fetch_add(1);
  }

  // A held clock moves on `ms` (>= 0), no further than the end, and
  // returns where it stands; other clocks do not move.
  std::int64_t Advance(std::int64_t ms) {
    if (!held_ || ms <= 0) return NowMs();
    std::int64_t seen = moved_ms_.load();
    while (!moved_ms_.compare_exchange_weak(seen, Capped(from_ms_ + seen + ms) - from_ms_)) {
    }
    return NowMs();
  }
  // A held clock moves on to `ms` (no further than the end) unless it is
  // there or later already: it never goes back.
  std::int64_t MoveTo(std::int64_t ms) {
    if (!held_) return NowMs();
    const std::int64_t target = Capped(ms) - from_ms_;
    std::int64_t seen = moved_ms_.load();
    while (target > seen && !moved_ms_.compare_exchange_weak(seen, target)) {
    }
    return from_ms_ + (target > seen ? target : seen);
  }

  bool replay() const { return replay_; }
  Mode mode() const {
    if (!replay_) return Mode::kLive;
    if (held_) return Mode::kHeld;
    return step_ms_ > 0 ? Mode::kPerRequest : Mode::kTimed;
  }
  std::int64_t from_ms() const { return from_ms_; }
  // Where a replay ends (0: live, or no end).
  std::int64_t end_ms() const { return end_ms_; }
  // Whether a replay's clock stands at its end.
  bool ended() const { return end_ms_ != 0 && NowMs() >= end_ms_; }
  std::int64_t speed() const { return speed_; }
  std::int64_t step_ms() const { return step_ms_; }
  // Stops the clock at `ms` (0: running again).
  void Fix(std::int64_t ms) { fixed_ms_ = ms; }

 private:
  std::int64_t Capped(std::int64_t ms) const { return end_ms_ != 0 && ms > end_ms_ ? end_ms_ : ms; }

  bool replay_ = false;
  bool held_ = false;
  std::int64_t shift_ms_ = 0;
  std::int64_t from_ms_ = 0;
  std::int64_t end_ms_ = 0;
  std::int64_t speed_ = 1;
  std::int64_t step_ms_ = 0;
  std::int64_t started_ms_ = 0;
  std::atomic<std::int64_t> steps_{0};
  std::atomic<std::int64_t> moved_ms_{0};
  mutable std::atomic<std::int64_t> latest_{0};
  std::int64_t fixed_ms_ = 0;
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_CLOCK_H_
