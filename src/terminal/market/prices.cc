#include "market/prices.h"

#include <algorithm>
#include <cmath>

#include "market/history_store.h"

namespace zk5::term {

namespace {

// Kinds of random numbers, so that no two uses share a stream.
constexpr std::uint64_t kOctave = 1;
constexpr std::uint64_t kBridge = 100;
constexpr std::uint64_t kCount = 101;
constexpr std::uint64_t kTickKind = 102;
constexpr int kOctaves = 9;  // day-level noise up to 256-day swings
constexpr int kMinutesPerDay = 1440;

// An approximately standard normal number from one hash: the sum of four
// 16-bit uniforms, centred and scaled (bounded, which keeps prices sane).
double Normal(std::uint64_t h) {
  const double sum =
      static_cast<double>((h & 0xFFFF) + ((h >> 16) & 0xFFFF) + ((h >> 32) & 0xFFFF) + (h >> 48));
  return (sum / 65536.0 - 2.0) * 1.7320508075688772;
}

// Quote activity by hour of the day: quiet nights, busy overlaps.
double HourActivity(const SymbolSpec& s, std::int64_t minute) {
  if (s.always_open) return 1.0;
  const std::int64_t hour = FloorDiv(minute, 60) % 24;
  if (hour >= 13 && hour < 17) return 1.4;
  if (hour >= 7 && hour < 21) return 1.0;
  return 0.55;
}

}  // namespace

std::uint64_t PriceModel::Key(int sym, std::uint64_t kind, std::int64_t a, std::int64_t b) const {
  std::uint64_t h = Mix64(seed_ ^ (static_cast<std::uint64_t>(sym) << 40) ^ (kind << 20));
  h = Mix64(h ^ static_cast<std::uint64_t>(a));
  return Mix64(h ^ (static_cast<std::uint64_t>(b) * 0xD1B54A32D192ED03ULL));
}

bool PriceModel::SimulatedMinute(int sym, std::int64_t minute) const {
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  return !s.custom && minute >= kHistoryStartMinute && IsOpenAt(s, minute * 60);
}

bool PriceModel::HasTicks(int sym, std::int64_t minute) const {
  const Segment* seg = history_ != nullptr ? history_->Find(sym, minute) : nullptr;
  if (seg == nullptr) return SimulatedMinute(sym, minute);
  if (seg->header().kind == SegmentKind::kBars && seg->header().bar_minutes == 1) {
    Bar bar;
    return history_->MinuteBar(*seg, minute, &bar);
  }
  if (seg->header().kind == SegmentKind::kBars) {
    // Longer bars spread their ticks: some minutes of them have none.
    std::vector<Tick> ticks;
    history_->MinuteTicks(*seg, sym, minute, &ticks);
    return !ticks.empty();
  }
  const std::size_t i = seg->LowerBound(minute * 60000);
  return i < seg->size() && seg->TimeAt(i) < (minute + 1) * 60000;
}

int PriceModel::MinuteTicks(int sym, std::int64_t minute, std::vector<Tick>* out) const {
  const Segment* seg = history_ != nullptr ? history_->Find(sym, minute) : nullptr;
  if (seg != nullptr) {
    history_->MinuteTicks(*seg, sym, minute, out);
    return static_cast<int>(out->size());
  }
  int n = 0;
  const Tick* ticks = SimulatedTicks(sym, minute, &n);
  out->assign(ticks, ticks + n);
  return n;
}

std::int64_t PriceModel::FirstMinute(int sym) const {
  std::int64_t first = kHistoryStartMinute, last = 0;
  if (history_ == nullptr || !history_->Span(sym, &first, &last)) return kHistoryStartMinute;
  return Symbols()[static_cast<std::size_t>(sym)].custom ? first
                                                         : std::min(first, kHistoryStartMinute);
}

bool PriceModel::IsOpen(int sym, std::int64_t time_sec) const {
  const std::int64_t minute = FloorDiv(time_sec, 60);
  const Segment* seg = history_ != nullptr ? history_->Find(sym, minute) : nullptr;
  Tick t;
  if (seg == nullptr) {
    // A custom symbol's market is its data: the hour after its latest tick
    // too, the end of its data (where a replay ends) included.
    if (!Symbols()[static_cast<std::size_t>(sym)].custom) return SimulatedMinute(sym, minute);
    return LastTick(sym, time_sec * 1000 + 999, &t) && time_sec * 1000 - t.time_msc < 3600000;
  }
  Bar bar;
  // A bar longer than a minute is a market open for all of its time.
  if (seg->header().bar_minutes > 1) return history_->CoveringBar(*seg, minute, &bar);
  return history_->LastTick(*seg, sym, time_sec * 1000 + 999, &t) &&
         time_sec * 1000 - t.time_msc < 3600000;
}

double PriceModel::DayLevel(int sym, std::int64_t day) const {
  const double sigma = Symbols()[static_cast<std::size_t>(sym)].daily_volatility;
  // Slow swings are damped for volatile symbols, so that over years even
  // they stay within a plausible range of their level.
  const double damp = std::min(1.0, 0.3 / (11.2 * sigma));
  double level = 0;
  for (int k = 0; k < kOctaves; ++k) {
    const std::int64_t scale = std::int64_t{1} << k;
    const std::int64_t knot = FloorDiv(day, scale);
    const double f = static_cast<double>(day - knot * scale) / static_cast<double>(scale);
    const double a = Normal(Key(sym, kOctave + static_cast<std::uint64_t>(k), knot, 0));
    const double b = Normal(Key(sym, kOctave + static_cast<std::uint64_t>(k), knot + 1, 0));
    level += (k >= 3 ? damp : 1.0) * 0.5 * sigma * std::sqrt(static_cast<double>(scale)) *
             (a + (b - a) * f);
  }
  return level;
}

namespace {

// The last day paths and minutes computed on this thread: bars and tick
// streams walk minute by minute, and a connection asks for the same few
// symbols again and again (a quote, the bars of another, a trade), so
// nearly every look-up hits one.
struct DayPath {
  std::uint64_t seed = 0;
  int sym = -1;
  std::int64_t day = 0;
  double level[kMinutesPerDay + 1];
};
struct CachedMinute {
  std::uint64_t seed = 0;
  int sym = -1;
  std::int64_t minute = 0;
  int n = 0;
  Tick ticks[kMaxTicksPerMinute];
};
template <typename Entry, int N>
struct RecentlyUsed {
  Entry entries[N];
  int next = 0;  // the one replaced next
  template <typename Match>
  Entry* Find(Match&& match) {
    for (Entry& e : entries) {
      if (match(e)) return &e;
    }
    return nullptr;
  }
  Entry& Replace() {
    Entry& e = entries[next];
    next = (next + 1) % N;
    return e;
  }
};
thread_local RecentlyUsed<DayPath, 4> t_paths;
thread_local RecentlyUsed<CachedMinute, 8> t_minutes;

}  // namespace

void PriceModel::FillDay(int sym, std::int64_t day, double* level) const {
  const double sigma_minute =
      Symbols()[static_cast<std::size_t>(sym)].daily_volatility / std::sqrt(double{kMinutesPerDay});
  level[0] = DayLevel(sym, day);
  level[kMinutesPerDay] = DayLevel(sym, day + 1);
  // The same midpoint refinement as LogLevel, over every interval at once.
  struct Span {
    int lo, hi;
  };
  Span stack[64];
  int top = 0;
  stack[top++] = {0, kMinutesPerDay};
  while (top > 0) {
    const Span sp = stack[--top];
    if (sp.hi - sp.lo < 2) continue;
    const int mid = (sp.lo + sp.hi) / 2;
    const double spread = std::sqrt(static_cast<double>((mid - sp.lo) * (sp.hi - mid)) /
                                    static_cast<double>(sp.hi - sp.lo));
    level[mid] = 0.5 * (level[sp.lo] + level[sp.hi]) +
                 spread * sigma_minute * Normal(Key(sym, kBridge, day, mid));
    stack[top++] = {sp.lo, mid};
    stack[top++] = {mid, sp.hi};
  }
}

double PriceModel::LogLevel(int sym, std::int64_t minute) const {
  const std::int64_t day = FloorDiv(minute, kMinutesPerDay);
  const std::int64_t target = minute - day * kMinutesPerDay;
  DayPath* path = t_paths.Find(
      [&](const DayPath& p) { return p.sym == sym && p.day == day && p.seed == seed_; });
  if (path == nullptr) {
    path = &t_paths.Replace();
    FillDay(sym, day, path->level);
    path->sym = sym;
    path->day = day;
    path->seed = seed_;
  }
  return path->level[target];
}

double PriceModel::LogLevelSlow(int sym, std::int64_t minute) const {
  const std::int64_t day = FloorDiv(minute, kMinutesPerDay);
  const std::int64_t target = minute - day * kMinutesPerDay;
  const double sigma_minute =
      Symbols()[static_cast<std::size_t>(sym)].daily_volatility / std::sqrt(double{kMinutesPerDay});
  std::int64_t lo = 0;
  std::int64_t hi = kMinutesPerDay;
  double vlo = DayLevel(sym, day);
  if (target == 0) return vlo;
  double vhi = DayLevel(sym, day + 1);
  // Brownian bridge by midpoint refinement: each inner minute is the
  // midpoint of exactly one interval of this descent, so its draw is
  // keyed by (day, minute) alone.
  for (;;) {
    const std::int64_t mid = (lo + hi) / 2;
    const double spread =
        std::sqrt(static_cast<double>((mid - lo) * (hi - mid)) / static_cast<double>(hi - lo));
    const double vmid =
        0.5 * (vlo + vhi) + spread * sigma_minute * Normal(Key(sym, kBridge, day, mid));
    if (target == mid) return vmid;
    if (target < mid) {
      hi = mid;
      vhi = vmid;
    } else {
      lo = mid;
      vlo = vmid;
    }
  }
}

int PriceModel::MinuteTickCount(int sym, std::int64_t minute) const {
  if (history_ != nullptr && history_->Find(sym, minute) != nullptr) {
    std::vector<Tick> ticks;
    return MinuteTicks(sym, minute, &ticks);
  }
  return SimulatedCount(sym, minute);
}

int PriceModel::SimulatedCount(int sym, std::int64_t minute) const {
  if (!SimulatedMinute(sym, minute)) return 0;
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  const double mean = s.ticks_per_minute * HourActivity(s, minute);
  const auto span = static_cast<std::uint64_t>(std::max(1.0, std::floor(2 * mean - 1)));
  const auto k = 1 + static_cast<int>(Key(sym, kCount, minute, 0) % span);
  return std::min(k, kMaxTicksPerMinute);
}

int PriceModel::Simulate(int sym, std::int64_t minute, Tick* out) const {
  const int k = SimulatedCount(sym, minute);
  if (k == 0) return 0;
  const SymbolSpec& s = Symbols()[static_cast<std::size_t>(sym)];
  const double scale = s.base_price * Pow10(s.digits);
  const double from = scale * std::exp(LogLevel(sym, minute));
  const double to = scale * std::exp(LogLevel(sym, minute + 1));
  const double jitter = from * s.daily_volatility / std::sqrt(double{kMinutesPerDay}) * 0.3;
  const std::int64_t base_ms = minute * 60000;
  const std::uint64_t minute_key = Key(sym, kTickKind, minute, 0);
  Tick prev{};
  for (int j = 0; j < k; ++j) {
    const std::uint64_t h =
        Mix64(minute_key + static_cast<std::uint64_t>(j) * 0xD6E8FEB86659FD93ULL);
    // Tick j lies in its own slot of the minute: times strictly increase.
    const std::int64_t slot_lo = std::int64_t{60000} * j / k;
    const std::int64_t slot_hi = std::int64_t{60000} * (j + 1) / k;
    const std::int64_t offset =
        slot_lo +
        static_cast<std::int64_t>(Mix64(h) % static_cast<std::uint64_t>(slot_hi - slot_lo));
    Tick t{};
    t.time_msc = base_ms + offset;
    const bool trade = s.trade_ticks && j > 0 && Unit(Mix64(h + 3)) < 0.3;
    if (trade) {
      const std::uint64_t hv = Mix64(h + 4);
      const bool buy = (hv & 1) != 0;
      t.bid = prev.bid;
      t.ask = prev.ask;
      t.last = buy ? prev.ask : prev.bid;
      t.volume = s.volume_min * static_cast<double>(1 + (hv >> 1) % 50);
      t.flags = kTickFlagLast | kTickFlagVolume | (buy ? kTickFlagBuy : kTickFlagSell);
    } else {
      const double mid = from + (to - from) * (static_cast<double>(offset) / 60000.0) +
                         jitter * Normal(Mix64(h + 1));
      const std::int64_t spread =
          std::max<std::int64_t>(1, RoundToInt(s.spread * (0.75 + 0.5 * Unit(Mix64(h + 2)))));
      t.bid = std::max<std::int64_t>(1, RoundToInt(mid - 0.5 * static_cast<double>(spread)));
      t.ask = t.bid + spread;
      if (j == 0) {
        t.flags = kTickFlagBid | kTickFlagAsk;
      } else {
        t.flags = (t.bid != prev.bid ? kTickFlagBid : 0) | (t.ask != prev.ask ? kTickFlagAsk : 0);
        // A quote that moved neither price repeats both.
        if (t.flags == 0) t.flags = kTickFlagBid | kTickFlagAsk;
      }
    }
    out[j] = t;
    prev = t;
  }
  return k;
}

const Tick* PriceModel::SimulatedTicks(int sym, std::int64_t minute, int* n) const {
  CachedMinute* m = t_minutes.Find(
      [&](const CachedMinute& e) { return e.sym == sym && e.minute == minute && e.seed == seed_; });
  if (m == nullptr) {
    m = &t_minutes.Replace();
    m->n = Simulate(sym, minute, m->ticks);
    m->sym = sym;
    m->minute = minute;
    m->seed = seed_;
  }
  *n = m->n;
  return m->ticks;
}

bool PriceModel::LastTick(int sym, std::int64_t time_msc, Tick* out) const {
  std::int64_t minute = FloorDiv(time_msc, 60000);
  const bool custom = Symbols()[static_cast<std::size_t>(sym)].custom;
  for (;;) {
    const Segment* seg = history_ != nullptr ? history_->Find(sym, minute) : nullptr;
    if (seg != nullptr) {
      // Imported data: its latest tick up to the moment, else what came
      // before the segment.
      if (history_->LastTick(*seg, sym, std::min(time_msc, (minute + 1) * 60000 - 1), out))
        return true;
      minute = seg->header().first_minute - 1;
      continue;
    }
    if (custom) {
      // Nothing but imported data: straight to its latest minute before.
      if (history_ == nullptr || !history_->LatestCovered(sym, minute, &minute)) return false;
      continue;
    }
    if (minute < kHistoryStartMinute) {
      // Before the simulated history only imported data.
      if (history_ == nullptr || !history_->LatestCovered(sym, minute, &minute)) return false;
      continue;
    }
    if (!HasTicks(sym, minute)) {
      // A closed weekend: straight to the last minute of the day before,
      // or to imported data inside the weekend.
      std::int64_t covered = 0;
      const std::int64_t before = FloorDiv(minute, kMinutesPerDay) * kMinutesPerDay - 1;
      minute = history_ != nullptr && history_->LatestCovered(sym, minute, &covered)
                   ? std::max(before, covered)
                   : before;
      continue;
    }
    int n = 0;
    const Tick* ticks = SimulatedTicks(sym, minute, &n);
    for (int j = n - 1; j >= 0; --j) {
      if (ticks[j].time_msc <= time_msc) {
        *out = ticks[j];
        return true;
      }
    }
    --minute;
  }
}

}  // namespace zk5::term
