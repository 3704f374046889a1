// Price history the user imported, as the terminal keeps it: one binary
// file per imported CSV file under <data>/history/, loaded whole at start
// (or as it is stored, when imported while the terminal serves) and read in
// place (fixed-size little-endian records, no parsing).
//
// Each file is a segment of one symbol covering whole minutes [first,
// last]. Inside a segment its data is the market: bars are served exactly
// at their timeframe and the larger ones made of them (never at a smaller
// one: nothing is invented inside a bar), and get ticks made to reproduce
// them over their time; ticks are served as they are. A later segment
// wins over an earlier one where they overlap.
#ifndef ZK5_TERMINAL_MARKET_HISTORY_STORE_H_
#define ZK5_TERMINAL_MARKET_HISTORY_STORE_H_

#include <cstdint>
#include <deque>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "market/bars.h"
#include "market/prices.h"

namespace zk5::term {

// What a stored file holds.
enum class SegmentKind : std::uint32_t { kBars = 1, kTicks = 2 };

// Column sets of a segment (the optional CSV columns that were present).
constexpr std::uint32_t kColumnsBarExtra = 1;    // spread, real_volume
constexpr std::uint32_t kColumnsTickTrades = 2;  // last, volume, flags

// The fixed record sizes of the two kinds.
constexpr std::size_t kStoredBarSize = 60;    // time, o, h, l, c, tick_volume, spread, real_volume
constexpr std::size_t kStoredQuoteSize = 28;  // time_msc, bid, ask, flags
constexpr std::size_t kStoredTradeSize = 48;  // ... last, volume

// The header of a stored file, before its records.
struct SegmentHeader {
  SegmentKind kind = SegmentKind::kBars;
  std::uint32_t digits = 0;
  std::uint32_t columns = 0;
  std::uint64_t count = 0;
  std::int64_t first_minute = 0;
  std::int64_t last_minute = 0;
  std::uint32_t bar_minutes = 1;  // a bar segment's timeframe
  std::u16string symbol;
};

// Serialises a segment: header, then the records as given (already in the
// stored layout).
std::string EncodeSegment(const SegmentHeader& h, const std::string& records);
// Reads a header; `*records_at` is where the records start. False when
// the bytes are not a complete stored file.
bool DecodeSegmentHeader(const std::string& bytes, SegmentHeader* h, std::size_t* records_at);

// Record writers, shared by the importer and the tests.
void PutBar(const Bar& b, std::uint8_t* out);
void PutTick(const Tick& t, bool trades, std::uint8_t* out);

class Segment {
 public:
  Segment(SegmentHeader h, std::string bytes, std::size_t records_at);

  const SegmentHeader& header() const { return h_; }
  bool Covers(std::int64_t minute) const {
    return minute >= h_.first_minute && minute <= h_.last_minute;
  }
  std::size_t size() const { return static_cast<std::size_t>(h_.count); }
  // Record i, decoded.
  Bar BarAt(std::size_t i) const;
  Tick TickAt(std::size_t i) const;
  // Time of record i: seconds for bars, milliseconds for ticks.
  std::int64_t TimeAt(std::size_t i) const;
  // The first record whose time is not before `time` (size() when none).
  std::size_t LowerBound(std::int64_t time) const;

 private:
  SegmentHeader h_;
  std::string bytes_;
  const std::uint8_t* records_;
  std::size_t record_size_;
};

// The ticks that reproduce an imported bar of `minutes`: the first at the
// open, the last at the close, the extremes at the high and the low,
// tick_volume of them (at least 4 when the prices differ, at most 60000),
// evenly over the bar's time, spread at the bar's spread (`spread` when it
// has none). Only those in [from_ms, to_ms) are kept.
void TicksFromBar(const Bar& bar, std::int64_t spread, std::vector<Tick>* out,
                  std::int64_t minutes = 1,
                  std::int64_t from_ms = std::numeric_limits<std::int64_t>::min(),
                  std::int64_t to_ms = std::numeric_limits<std::int64_t>::max());

// A stored file read whole; false (reported on stderr) when it is not one.
bool ReadSegmentFile(const std::u16string& path, std::string* bytes, SegmentHeader* h,
                     std::size_t* records_at);

class HistoryStore {
 public:
  // Loads every stored file of `folder` in the order they were imported,
  // leaving out those loaded before. Files that cannot be read are
  // reported on stderr and left out.
  void Load(const std::u16string& folder);
  // Adds one stored file ReadSegmentFile read, as the latest. Readers must
  // be kept out until Bind() has run again.
  void Add(const std::u16string& name, SegmentHeader h, std::string bytes, std::size_t records_at);
  // The symbol names of the segments, in the order first imported.
  std::vector<std::u16string> SymbolNames() const;
  // Binds segments to symbol indices (after custom symbols are added).
  void Bind();

  bool empty() const { return segments_.empty(); }
  // Highest digits of the segments of a symbol name, and whether its ticks
  // carry trades.
  std::uint32_t Digits(const std::u16string& name) const;
  bool HasTrades(const std::u16string& name) const;
  // Typical spread of a symbol's data in points (the median of a sample).
  std::int64_t TypicalSpread(const std::u16string& name) const;

  // The segment whose data is the market of `sym` in `minute`, or null.
  const Segment* Find(int sym, std::int64_t minute) const;
  // The latest minute at or before `minute` that a segment of `sym`
  // covers; false when there is none.
  bool LatestCovered(int sym, std::int64_t minute, std::int64_t* out) const;
  // The minute span all segments of `sym` cover; false without any.
  bool Span(int sym, std::int64_t* first, std::int64_t* last) const;

  // The ticks of a covered minute (cleared when it has none).
  void MinuteTicks(const Segment& seg, int sym, std::int64_t minute, std::vector<Tick>* out) const;
  // The imported bar of a minute of a segment of minute bars; false when
  // none (or the segment's bars are longer).
  bool MinuteBar(const Segment& seg, std::int64_t minute, Bar* out) const;
  // The imported bar whose time holds `minute`, of any timeframe; false
  // when none.
  bool CoveringBar(const Segment& seg, std::int64_t minute, Bar* out) const;
  // The latest tick of `seg` at or before time_msc, searching no earlier
  // than seg's first minute; false when none.
  bool LastTick(const Segment& seg, int sym, std::int64_t time_msc, Tick* out) const;

 private:
  std::deque<Segment> segments_;     // never moved once added: by_symbol_ points into it
  std::set<std::u16string> loaded_;  // file names
  std::vector<std::vector<const Segment*>> by_symbol_;  // newest first
};

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_MARKET_HISTORY_STORE_H_
