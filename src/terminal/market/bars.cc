#include "market/bars.h"

#include <algorithm>
#include <cmath>

#include "market/history_store.h"

namespace zk5::term {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::size_t kCacheLimit = 2000000;
constexpr std::uint64_t kLevelHour = 1;
constexpr std::uint64_t kLevelDay = 2;

// Hours and days since 1970 up to the year 9999 fit 28 bits; any number of
// symbols (custom ones included) the upper 32.
std::uint64_t CacheKey(int sym, std::uint64_t level, std::int64_t index) {
  return (static_cast<std::uint64_t>(sym) << 32) | (level << 28) |
         (static_cast<std::uint64_t>(index) & 0xFFFFFFFULL);
}

std::int64_t MonthStart(std::int64_t t) {
  std::int64_t y;
  unsigned m, d;
  CivilFromDays(FloorDiv(t, kDay), &y, &m, &d);
  return DaysFromCivil(y, m, 1) * kDay;
}

std::int64_t AddMonths(std::int64_t month_start, int n) {
  std::int64_t y;
  unsigned m, d;
  CivilFromDays(FloorDiv(month_start, kDay), &y, &m, &d);
  std::int64_t months = y * 12 + (m - 1) + n;
  const std::int64_t ny = FloorDiv(months, 12);
  const auto nm = static_cast<unsigned>(months - ny * 12 + 1);
  return DaysFromCivil(ny, nm, 1) * kDay;
}

// End (exclusive) of the bar opening at `start`.
std::int64_t BarEnd(const Timeframe& tf, std::int64_t start) { return NextBarStart(tf, start); }

// Takes one more tick into a bar made of ticks: its bid, its spread, one
// more tick counted.
void AddTick(Bar* bar, const Tick& t) {
  const auto spread = static_cast<std::int32_t>(t.ask - t.bid);
  if (bar->tick_volume == 0) {
    bar->open = bar->high = bar->low = t.bid;
    bar->spread = spread;
  }
  bar->high = std::max(bar->high, t.bid);
  bar->low = std::min(bar->low, t.bid);
  bar->close = t.bid;
  bar->spread = std::min(bar->spread, spread);
  bar->tick_volume += 1;
}

}  // namespace

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = FloorDiv(y, 400);
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const std::int64_t era = FloorDiv(z, 146097);
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool ParseTimeframe(std::int32_t code, Timeframe* tf) {
  static const std::int32_t kMinutes[] = {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30};
  static const std::int32_t kHours[] = {1, 2, 3, 4, 6, 8, 12, 24};
  for (std::int32_t m : kMinutes) {
    if (code == m) {
      *tf = Timeframe{Timeframe::kMinutes, m};
      return true;
    }
  }
  for (std::int32_t h : kHours) {
    if (code == (0x4000 | h)) {
      *tf = Timeframe{Timeframe::kMinutes, h * 60};
      return true;
    }
  }
  if (code == 0x8001) {
    *tf = Timeframe{Timeframe::kWeek, 7 * 1440};
    return true;
  }
  if (code == 0xC001) {
    *tf = Timeframe{Timeframe::kMonth, 0};
    return true;
  }
  return false;
}

std::int64_t BarStart(const Timeframe& tf, std::int64_t t) {
  switch (tf.kind) {
    case Timeframe::kMinutes: {
      const std::int64_t len = tf.minutes * 60;
      return FloorDiv(t, len) * len;
    }
    case Timeframe::kWeek: {
      // Weeks open on Sunday; 1970-01-01 was a Thursday.
      const std::int64_t day = FloorDiv(t, kDay);
      const std::int64_t since_sunday = ((day % 7) + 7 + 4) % 7;
      return (day - since_sunday) * kDay;
    }
    case Timeframe::kMonth:
      return MonthStart(t);
  }
  return t;
}

std::int64_t NextBarStart(const Timeframe& tf, std::int64_t start) {
  switch (tf.kind) {
    case Timeframe::kMinutes:
      return start + tf.minutes * 60;
    case Timeframe::kWeek:
      return start + 7 * kDay;
    case Timeframe::kMonth:
      return AddMonths(start, 1);
  }
  return start;
}

std::int64_t PrevBarStart(const Timeframe& tf, std::int64_t start) {
  switch (tf.kind) {
    case Timeframe::kMinutes:
      return start - tf.minutes * 60;
    case Timeframe::kWeek:
      return start - 7 * kDay;
    case Timeframe::kMonth:
      return AddMonths(start, -1);
  }
  return start;
}

void MergeBar(Bar* into, const Bar& next) {
  if (next.tick_volume == 0) return;
  if (into->tick_volume == 0) {
    const std::int64_t time = into->time;
    *into = next;
    into->time = time;
    return;
  }
  into->high = std::max(into->high, next.high);
  into->low = std::min(into->low, next.low);
  into->close = next.close;
  into->tick_volume += next.tick_volume;
  into->spread = std::min(into->spread, next.spread);
  into->real_volume += next.real_volume;
}

Bar BarSource::Minute(int sym, std::int64_t minute, std::int64_t now_ms) const {
  Bar bar;
  bar.time = minute * 60;
  if (minute * 60000 > now_ms || LongBars(sym, bar.time, 1, now_ms, &bar)) return bar;
  thread_local std::vector<Tick> ticks;
  const int n = model_.MinuteTicks(sym, minute, &ticks);
  // An imported minute bar is served as it was imported once its ticks
  // are all past (its volumes and spread need not follow from them).
  if (n > 0 && ticks[static_cast<std::size_t>(n - 1)].time_msc <= now_ms &&
      ImportedBar(sym, minute, &bar))
    return bar;
  for (int j = 0; j < n; ++j) {
    const Tick& t = ticks[j];
    if (t.time_msc > now_ms) break;
    AddTick(&bar, t);
    if (IsTradeTick(t)) bar.real_volume += static_cast<std::uint64_t>(RoundToInt(t.volume));
  }
  return bar;
}

bool BarSource::ImportedBar(int sym, std::int64_t minute, Bar* bar) const {
  const HistoryStore* h = model_.history();
  const Segment* seg = h != nullptr ? h->Find(sym, minute) : nullptr;
  return seg != nullptr && h->MinuteBar(*seg, minute, bar);
}

bool BarSource::LongBars(int sym, std::int64_t start, std::int64_t minutes, std::int64_t now_ms,
                         Bar* bar) const {
  const HistoryStore* h = model_.history();
  const Segment* seg = h != nullptr ? h->Find(sym, FloorDiv(start, 60)) : nullptr;
  if (seg == nullptr || seg->header().kind != SegmentKind::kBars || seg->header().bar_minutes == 1)
    return false;
  *bar = Bar{};
  bar->time = start;
  const std::int64_t len = seg->header().bar_minutes;
  if (minutes < len || minutes % len != 0) return true;
  const std::int64_t end = start + minutes * 60;
  for (std::size_t i = seg->LowerBound(start); i < seg->size() && seg->TimeAt(i) < end; ++i) {
    const Bar b = seg->BarAt(i);
    if (b.time * 1000 > now_ms) break;
    if ((b.time + len * 60) * 1000 <= now_ms) {
      MergeBar(bar, b);  // as imported once all its ticks are past
      continue;
    }
    // The bar in progress: its ticks so far.
    thread_local std::vector<Tick> ticks;
    TicksFromBar(b, Symbols()[static_cast<std::size_t>(sym)].spread, &ticks, len, b.time * 1000,
                 now_ms + 1);
    Bar part;
    for (const Tick& t : ticks) {
      AddTick(&part, t);
    }
    MergeBar(bar, part);
  }
  return true;
}

bool BarSource::Cached(std::uint64_t key, Bar* bar) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = cache_.find(key);
  if (it == cache_.end()) return false;
  *bar = it->second;
  return true;
}

void BarSource::Forget() {
  std::lock_guard<std::mutex> lock(mutex_);
  cache_.clear();
}

void BarSource::Store(std::uint64_t key, const Bar& bar) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A crude bound: long sessions over many symbols start the cache afresh.
  if (cache_.size() >= kCacheLimit) cache_.clear();
  cache_[key] = bar;
}

Bar BarSource::Hour(int sym, std::int64_t hour, std::int64_t now_ms) {
  const bool complete = (hour + 1) * 3600000 <= now_ms;
  const std::uint64_t key = CacheKey(sym, kLevelHour, hour);
  Bar bar;
  if (complete && Cached(key, &bar)) return bar;
  if (LongBars(sym, hour * 3600, 60, now_ms, &bar)) return bar;
  bar = Bar{};
  bar.time = hour * 3600;
  for (std::int64_t m = hour * 60; m < hour * 60 + 60; ++m) MergeBar(&bar, Minute(sym, m, now_ms));
  if (complete) Store(key, bar);
  return bar;
}

Bar BarSource::Day(int sym, std::int64_t day, std::int64_t now_ms) {
  const bool complete = (day + 1) * kDay * 1000 <= now_ms;
  const std::uint64_t key = CacheKey(sym, kLevelDay, day);
  Bar bar;
  if (complete && Cached(key, &bar)) return bar;
  if (LongBars(sym, day * kDay, 1440, now_ms, &bar)) return bar;
  bar = Bar{};
  bar.time = day * kDay;
  for (std::int64_t h = day * 24; h < day * 24 + 24; ++h) MergeBar(&bar, Hour(sym, h, now_ms));
  if (complete) Store(key, bar);
  return bar;
}

Bar BarSource::Compute(int sym, const Timeframe& tf, std::int64_t start, std::int64_t now_ms) {
  Bar bar;
  bar.time = start;
  const std::int64_t end = BarEnd(tf, start);
  if (end <= model_.FirstMinute(sym) * 60 || start * 1000 > now_ms) return bar;
  if (tf.kind == Timeframe::kMinutes && LongBars(sym, start, tf.minutes, now_ms, &bar)) return bar;
  if (tf.kind == Timeframe::kMinutes && tf.minutes < 60) {
    for (std::int64_t m = start / 60; m < end / 60; ++m) MergeBar(&bar, Minute(sym, m, now_ms));
  } else if (tf.kind == Timeframe::kMinutes && tf.minutes < 1440) {
    for (std::int64_t h = start / 3600; h < end / 3600; ++h) MergeBar(&bar, Hour(sym, h, now_ms));
  } else {
    for (std::int64_t d = FloorDiv(start, kDay); d < FloorDiv(end, kDay); ++d) {
      MergeBar(&bar, Day(sym, d, now_ms));
    }
  }
  return bar;
}

std::vector<Bar> BarSource::From(int sym, const Timeframe& tf, std::int64_t date_from,
                                 std::int64_t count, std::int64_t now_ms, std::int64_t max) {
  std::vector<Bar> out;
  count = std::min(count, max);
  if (count <= 0) return out;
  std::int64_t start = BarStart(tf, std::min(date_from, FloorDiv(now_ms, 1000)));
  const std::int64_t first = model_.FirstMinute(sym) * 60;
  while (static_cast<std::int64_t>(out.size()) < count && BarEnd(tf, start) > first) {
    Bar bar = Compute(sym, tf, start, now_ms);
    if (bar.tick_volume != 0) out.push_back(bar);
    start = PrevBarStart(tf, start);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::vector<Bar> BarSource::FromPos(int sym, const Timeframe& tf, std::int64_t start_pos,
                                    std::int64_t count, std::int64_t now_ms, std::int64_t max) {
  std::vector<Bar> out;
  const std::int64_t last = std::min(start_pos + count, max);  // exclusive position
  if (start_pos < 0 || count <= 0 || start_pos >= last) return out;
  std::int64_t start = BarStart(tf, FloorDiv(now_ms, 1000));
  std::int64_t pos = 0;
  const std::int64_t first = model_.FirstMinute(sym) * 60;
  while (pos < last && BarEnd(tf, start) > first) {
    if (pos < start_pos) {
      // Only existence matters before the wanted positions: a bar whose
      // interval is all closed market has no ticks.
      Bar bar = Compute(sym, tf, start, now_ms);
      if (bar.tick_volume != 0) ++pos;
    } else {
      Bar bar = Compute(sym, tf, start, now_ms);
      if (bar.tick_volume != 0) {
        out.push_back(bar);
        ++pos;
      }
    }
    start = PrevBarStart(tf, start);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::vector<Bar> BarSource::Range(int sym, const Timeframe& tf, std::int64_t from, std::int64_t to,
                                  std::int64_t now_ms, std::int64_t max) {
  std::vector<Bar> out;
  const std::int64_t until = std::min(to, FloorDiv(now_ms, 1000));
  std::int64_t start = BarStart(tf, std::max(from, model_.FirstMinute(sym) * 60));
  if (start < from) start = NextBarStart(tf, start);
  while (start <= until && static_cast<std::int64_t>(out.size()) < max) {
    Bar bar = Compute(sym, tf, start, now_ms);
    if (bar.tick_volume != 0) out.push_back(bar);
    start = NextBarStart(tf, start);
  }
  return out;
}

}  // namespace zk5::term
