#include "market/ticks.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "accounts/trade_records.h"
#include "ipc/records.h"

namespace zk5::term {

namespace {

// Records are written out in chunks of this many bytes.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

bool Selected(const TickQuery& q, const Tick& t) {
  return t.time_msc >= q.from_ms && t.time_msc <= q.to_ms &&
         ((q.info && IsInfoTick(t)) || (q.trade && IsTradeTick(t)));
}

struct MinuteRange {
  std::int64_t first;
  std::int64_t last;
};

MinuteRange Minutes(const PriceModel& model, const TickQuery& q) {
  return {std::max(FloorDiv(q.from_ms, 60000), model.FirstMinute(q.sym)), FloorDiv(q.to_ms, 60000)};
}

}  // namespace

std::uint64_t CountTicks(const PriceModel& model, const TickQuery& q) {
  const bool mixed = Symbols()[static_cast<std::size_t>(q.sym)].trade_ticks;
  // Quote-only feeds have no trade ticks.
  if (!q.info && (!q.trade || !mixed)) return 0;
  const bool every_kind = q.info && (q.trade || !mixed);
  const std::uint64_t limit = std::min(q.max_count, kMaxTicksPerReply);
  const MinuteRange r = Minutes(model, q);
  std::uint64_t seen = 0;
  std::vector<Tick> ticks;
  for (std::int64_t m = r.first; m <= r.last && seen < limit; ++m) {
    if (every_kind && m * 60000 >= q.from_ms && m * 60000 + 59999 <= q.to_ms) {
      // A minute taken whole is counted without computing its prices.
      seen += std::min<std::uint64_t>(static_cast<std::uint64_t>(model.MinuteTickCount(q.sym, m)),
                                      limit - seen);
      continue;
    }
    const int n = model.MinuteTicks(q.sym, m, &ticks);
    for (int j = 0; j < n && seen < limit; ++j) {
      if (Selected(q, ticks[j])) ++seen;
    }
  }
  return seen;
}

namespace {

// Hands filled chunks to a writer thread, so that generating the next chunk
// overlaps writing the last one into the pipe. Up to kSlots chunks are in
// flight; a failed write stops the producer.
class ChunkPipeline {
 public:
  ChunkPipeline(std::size_t chunk_bytes, const PayloadSink& sink) : sink_(sink) {
    for (int i = 0; i < kSlots; ++i) {
      buffers_[i].resize(chunk_bytes);
      free_.push_back(i);
    }
    writer_ = std::thread([this] { Write(); });
  }
  ~ChunkPipeline() { Finish(); }

  // A buffer to fill, or null once writing has failed.
  std::vector<std::uint8_t>* Take(int* slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !free_.empty() || failed_; });
    if (failed_) return nullptr;
    *slot = free_.front();
    free_.pop_front();
    return &buffers_[*slot];
  }

  void Give(int slot, std::size_t used) {
    std::lock_guard<std::mutex> lock(mutex_);
    full_.emplace_back(slot, used);
    ready_.notify_all();
  }

  // Waits for everything handed over; true when all of it was written.
  bool Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      ready_.notify_all();
    }
    if (writer_.joinable()) writer_.join();
    return !failed_;
  }

 private:
  static constexpr int kSlots = 3;

  void Write() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return !full_.empty() || done_; });
      if (full_.empty()) return;
      const auto [slot, used] = full_.front();
      full_.pop_front();
      lock.unlock();
      const bool ok = sink_(buffers_[slot].data(), used);
      lock.lock();
      free_.push_back(slot);
      if (!ok) {
        failed_ = true;
        full_.clear();
        ready_.notify_all();
        return;
      }
      ready_.notify_all();
    }
  }

  const PayloadSink& sink_;
  std::vector<std::uint8_t> buffers_[kSlots];
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<int> free_;
  std::deque<std::pair<int, std::size_t>> full_;
  bool done_ = false;
  bool failed_ = false;
  std::thread writer_;
};

}  // namespace

bool StreamTicks(const PriceModel& model, const TickQuery& q, std::uint64_t count,
                 const PayloadSink& sink) {
  const std::uint32_t size = records::kTick.size;
  const std::uint32_t digits = Symbols()[static_cast<std::size_t>(q.sym)].digits;
  const std::size_t chunk_bytes = (kChunkBytes / size) * size;
  const TickEncoder encoder;
  const MinuteRange r = Minutes(model, q);
  std::vector<Tick> ticks;
  std::uint64_t written = 0;

  // A reply that fits one chunk is written from here; longer ones overlap
  // generation and writing.
  std::unique_ptr<ChunkPipeline> pipeline;
  std::vector<std::uint8_t> single;
  std::vector<std::uint8_t>* chunk = &single;
  int slot = 0;
  if (count * size > chunk_bytes) {
    pipeline.reset(new ChunkPipeline(chunk_bytes, sink));
    chunk = pipeline->Take(&slot);
    if (chunk == nullptr) return false;
  } else {
    single.resize(chunk_bytes);
  }
  std::size_t used = 0;
  for (std::int64_t m = r.first; m <= r.last && written < count; ++m) {
    const int n = model.MinuteTicks(q.sym, m, &ticks);
    for (int j = 0; j < n && written < count; ++j) {
      if (!Selected(q, ticks[j])) continue;
      encoder.Write(ticks[j], digits, chunk->data() + used);
      used += size;
      ++written;
      if (used == chunk_bytes) {
        if (pipeline == nullptr) {
          if (!sink(chunk->data(), used)) return false;
        } else {
          pipeline->Give(slot, used);
          chunk = pipeline->Take(&slot);
          if (chunk == nullptr) return false;
        }
        used = 0;
      }
    }
  }
  if (pipeline == nullptr) {
    if (used != 0 && !sink(chunk->data(), used)) return false;
  } else {
    if (used != 0) pipeline->Give(slot, used);
    if (!pipeline->Finish()) return false;
  }
  // The same query over the same model always selects the same ticks; a
  // shortfall would leave the reply short of its announced length.
  return written == count;
}

}  // namespace zk5::term
