// Bars of every timeframe, aggregated from the ticks of the price model.
//
// A minute bar is made of the minute's ticks (open, high, low and close of
// the bid; tick_volume the number of ticks; spread the narrowest spread in
// points; real_volume the traded volume); every larger bar is made of the
// smaller bars inside it, so an hour's high is the highest of its minutes
// and a bar of any timeframe agrees with the ticks. Completed hours and
// days are cached. A bar exists when its interval holds at least one tick.
// Where imported bars longer than a minute are the market, bars are made of
// them instead, and only for timeframes that are multiples of theirs.
#ifndef ZK5_TERMINAL_MARKET_BARS_H_
#define ZK5_TERMINAL_MARKET_BARS_H_

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "market/prices.h"

namespace zk5::term {

struct Bar {
  std::int64_t time = 0;  // opening time, seconds
  std::int64_t open = 0;  // points
  std::int64_t high = 0;
  std::int64_t low = 0;
  std::int64_t close = 0;
  std::uint64_t tick_volume = 0;  // 0: no bar
  std::int32_t spread = 0;
  std::uint64_t real_volume = 0;
};

// Bar lengths: a number of minutes dividing a day, a week from Sunday, or a
// calendar month.
struct Timeframe {
  enum Kind { kMinutes, kWeek, kMonth } kind = kMinutes;
  std::int64_t minutes = 1;
};

// The timeframe codes clients send: 1..30 minutes (M1 to M30),
// 0x4000 | hours (H1 to H12), 0x4018 (D1), 0x8001 (W1), 0xC001 (MN1).
bool ParseTimeframe(std::int32_t code, Timeframe* tf);

// Opening time of the bar of `tf` that contains `t` (seconds).
std::int64_t BarStart(const Timeframe& tf, std::int64_t t);
// Opening time of the bar after the one opening at `start`.
std::int64_t NextBarStart(const Timeframe& tf, std::int64_t start);
// Opening time of the bar before the one opening at `start`.
std::int64_t PrevBarStart(const Timeframe& tf, std::int64_t start);

class BarSource {
 public:
  explicit BarSource(const PriceModel& model) : model_(model) {}

  // The bar of `tf` opening at `start`, made of the ticks at or before
  // now_ms. tick_volume 0 means there is no such bar.
  Bar Compute(int sym, const Timeframe& tf, std::int64_t start, std::int64_t now_ms);
  // Drops the bars kept: the history under them changed.
  void Forget();

  // The requests, each in time order and at most `max` bars long.
  // Up to `count` bars opening at or before `date_from`, the latest ones.
  std::vector<Bar> From(int sym, const Timeframe& tf, std::int64_t date_from, std::int64_t count,
                        std::int64_t now_ms, std::int64_t max);
  // Bars at positions start_pos .. start_pos+count-1 counted back from the
  // current bar (position 0); bars beyond position max-1 are not kept.
  std::vector<Bar> FromPos(int sym, const Timeframe& tf, std::int64_t start_pos, std::int64_t count,
                           std::int64_t now_ms, std::int64_t max);
  // Bars opening in [from, to], the first `max` of them.
  std::vector<Bar> Range(int sym, const Timeframe& tf, std::int64_t from, std::int64_t to,
                         std::int64_t now_ms, std::int64_t max);

 private:
  Bar Minute(int sym, std::int64_t minute, std::int64_t now_ms) const;
  bool ImportedBar(int sym, std::int64_t minute, Bar* bar) const;
  // When imported bars longer than a minute are the market at `start`:
  // true, with the bar of `minutes` from `start` made of them (none when
  // `minutes` is no multiple of theirs: nothing is invented inside a bar).
  bool LongBars(int sym, std::int64_t start, std::int64_t minutes, std::int64_t now_ms,
                Bar* bar) const;
  Bar Hour(int sym, std::int64_t hour, std::int64_t now_ms);
  Bar Day(int sym, std::int64_t day, std::int64_t now_ms);
  bool Cached(std::uint64_t key, Bar* bar);
  void Store(std::uint64_t key, const Bar& bar);

  const PriceModel& model_;
  std::mutex mutex_;
  std::unordered_map<std::uint64_t, Bar> cache_;
};

// Adds `next` (a later bar or part) to `into`.
void MergeBar(Bar* into, const Bar& next);

// Days since 1970 of a calendar date and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
void CivilFromDays(std::int64_t days, std::int64_t* y, unsigned* m, unsigned* d);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_BARS_H_
