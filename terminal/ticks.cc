#include "ticks.h"

#include <algorithm>
#include <vector>

#include "ipc/records.h"
#include "trade_records.h"

namespace zk5::term {

namespace {

// Records are written out in chunks of this many bytes.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool Selected(const TickQuery& q, const Tick& t) {
  return t.time_msc >= q.from_ms && t.time_msc <= q.to_ms &&
         ((q.info && IsInfoTick(t)) || (q.trade && IsTradeTick(t)));
}

struct MinuteRange {
  std::int64_t first;
  std::int64_t last;
};

MinuteRange Minutes(const TickQuery& q) {
  return {std::max(FloorDiv(q.from_ms, 60000), kHistoryStartMinute), FloorDiv(q.to_ms, 60000)};
}

}  // namespace

std::uint64_t CountTicks(const PriceModel& model, const TickQuery& q) {
  const bool mixed = Symbols()[static_cast<std::size_t>(q.sym)].trade_ticks;
  // Quote-only feeds have no trade ticks.
  if (!q.info && (!q.trade || !mixed)) return 0;
  const bool every_kind = q.info && (q.trade || !mixed);
  const std::uint64_t limit = std::min(q.max_count, kMaxTicksPerReply);
  const MinuteRange r = Minutes(q);
  std::uint64_t seen = 0;
  Tick ticks[kMaxTicksPerMinute];
  for (std::int64_t m = r.first; m <= r.last && seen < limit; ++m) {
    if (every_kind && m * 60000 >= q.from_ms && m * 60000 + 59999 <= q.to_ms) {
      // A minute taken whole is counted without computing its prices.
      seen += std::min<std::uint64_t>(static_cast<std::uint64_t>(model.MinuteTickCount(q.sym, m)),
                                      limit - seen);
      continue;
    }
    const int n = model.MinuteTicks(q.sym, m, ticks);
    for (int j = 0; j < n && seen < limit; ++j) {
      if (Selected(q, ticks[j])) ++seen;
    }
  }
  return seen;
}

bool StreamTicks(const PriceModel& model, const TickQuery& q, std::uint64_t count,
                 const PayloadSink& sink) {
  const std::uint32_t size = records::kTick.size;
  const std::uint32_t digits = Symbols()[static_cast<std::size_t>(q.sym)].digits;
  const TickEncoder encoder;
  std::vector<std::uint8_t> chunk((kChunkBytes / size) * size);
  std::size_t used = 0;
  std::uint64_t written = 0;
  const MinuteRange r = Minutes(q);
  Tick ticks[kMaxTicksPerMinute];
  for (std::int64_t m = r.first; m <= r.last && written < count; ++m) {
    const int n = model.MinuteTicks(q.sym, m, ticks);
    for (int j = 0; j < n && written < count; ++j) {
      if (!Selected(q, ticks[j])) continue;
      encoder.Write(ticks[j], digits, chunk.data() + used);
      used += size;
      ++written;
      if (used == chunk.size()) {
        if (!sink(chunk.data(), used)) return false;
        used = 0;
      }
    }
  }
  if (used != 0 && !sink(chunk.data(), used)) return false;
  // The same query over the same model always selects the same ticks; a
  // shortfall would leave the reply short of its announced length.
  return written == count;
}

}  // namespace zk5::term
