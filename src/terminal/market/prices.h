// The deterministic market: every tick of every symbol is a pure function of
// (seed, symbol, minute), so any minute can be generated on its own, twice
// with the same result, and bars are aggregated from exactly the ticks that
// a tick request returns.
//
// The path: a day-level log price made of octaves of interpolated noise
// (random-walk-like within a few months, held around the symbol's level over
// years), a Brownian bridge between consecutive days at every minute, and
// within a minute ticks on the straight line between its two minute anchors
// plus a little jitter, each on its own slot of the minute so times strictly
// increase. Prices are whole points.
#ifndef ZK5_TERMINAL_MARKET_PRICES_H_
#define ZK5_TERMINAL_MARKET_PRICES_H_

#include <cstdint>
#include <vector>

#include "market/market.h"

namespace zk5::term {

// History starts on 2015-01-01 00:00 (server time = UTC).
constexpr std::int64_t kHistoryStartSec = 1420070400;
constexpr std::int64_t kHistoryStartMinute = kHistoryStartSec / 60;
constexpr int kMaxTicksPerMinute = 120;

// Tick flags of the tick records.
constexpr std::uint32_t kTickFlagBid = 2;
constexpr std::uint32_t kTickFlagAsk = 4;
constexpr std::uint32_t kTickFlagLast = 8;
constexpr std::uint32_t kTickFlagVolume = 16;
constexpr std::uint32_t kTickFlagBuy = 32;
constexpr std::uint32_t kTickFlagSell = 64;

struct Tick {
  std::int64_t time_msc;
  std::int64_t bid;   // points
  std::int64_t ask;   // points
  std::int64_t last;  // points; trade ticks only, else 0
  double volume;      // trade ticks only, else 0
  std::uint32_t flags;
  // Made from an imported bar after its first tick: the price went from the
  // bar's tick before along the straight line to this one, through every
  // price between (never on the wire).
  bool on_path = false;
};

// A quote tick carries a bid or ask change; a trade tick a last price.
inline bool IsTradeTick(const Tick& t) {
  return (t.flags & (kTickFlagLast | kTickFlagVolume)) != 0;
}
inline bool IsInfoTick(const Tick& t) { return (t.flags & (kTickFlagBid | kTickFlagAsk)) != 0; }

class HistoryStore;

class PriceModel {
 public:
  // Imported history, where there is some, takes the place of the
  // simulated prices (and is a custom symbol's only market).
  explicit PriceModel(std::uint64_t seed, const HistoryStore* history = nullptr)
      : seed_(seed), history_(history) {}

  std::uint64_t seed() const { return seed_; }
  const HistoryStore* history() const { return history_; }

  // Whether symbol `sym` has ticks in minute `minute` (minutes since 1970):
  // inside history and not a closed weekend, or a minute of imported data.
  bool HasTicks(int sym, std::int64_t minute) const;

  // All ticks of a minute, in time order, into *out (resized to them);
  // returns their number (0 when the minute has none). Simulated minutes
  // have at most kMaxTicksPerMinute, imported ones any number.
  int MinuteTicks(int sym, std::int64_t minute, std::vector<Tick>* out) const;

  // The first minute that can have ticks: the start of the simulated
  // history, or of imported data before it.
  std::int64_t FirstMinute(int sym) const;

  // Whether the symbol trades at `time_sec`: its session, or for imported
  // data a tick within the hour before.
  bool IsOpen(int sym, std::int64_t time_sec) const;

  // Only the number of ticks of a minute: no prices are computed.
  int MinuteTickCount(int sym, std::int64_t minute) const;

  // The latest tick at or before `time_msc`; false before history starts.
  bool LastTick(int sym, std::int64_t time_msc, Tick* out) const;

  // Log price level (relative to the symbol's level) at the start of a
  // minute; exposed for the tests of the path's continuity.
  double LogLevel(int sym, std::int64_t minute) const;
  // The same by descending the bridge to one minute alone (for the tests:
  // both ways must agree).
  double LogLevelSlow(int sym, std::int64_t minute) const;

 private:
  int Simulate(int sym, std::int64_t minute, Tick* out) const;
  // Simulate's ticks of the minute, from the minutes last simulated on this
  // thread when it is one of them; valid until the thread's next call.
  const Tick* SimulatedTicks(int sym, std::int64_t minute, int* n) const;
  int SimulatedCount(int sym, std::int64_t minute) const;
  bool SimulatedMinute(int sym, std::int64_t minute) const;
  void FillDay(int sym, std::int64_t day, double* level) const;
  double DayLevel(int sym, std::int64_t day) const;
  std::uint64_t Key(int sym, std::uint64_t kind, std::int64_t a, std::int64_t b) const;

  std::uint64_t seed_;
  const HistoryStore* history_;
};

// Hash helper shared by the generators (the splitmix64 finaliser); inline,
// since millions of ticks call it several times each.
inline std::uint64_t Mix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Nearest integer, halves away from zero (as llround, without the call).
inline std::int64_t RoundToInt(double v) {
  return static_cast<std::int64_t>(v >= 0 ? v + 0.5 : v - 0.5);
}
// Uniform in [0, 1) from a hash.
inline double Unit(std::uint64_t h) {
  return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_PRICES_H_
