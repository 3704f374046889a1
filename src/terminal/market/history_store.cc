#include "market/history_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "market/market.h"
#include "os/os.h"
#include "os/service.h"

namespace zk5::term {

namespace {

// Version 2 adds the bars' timeframe after the span; version 1 files hold
// minute bars or ticks.
constexpr char kMagic[8] = {'Z', 'K', '5', 'H', 'I', 'S', 'T', '2'};
constexpr char kMagicV1[8] = {'Z', 'K', '5', 'H', 'I', 'S', 'T', '1'};
constexpr std::size_t kFixedHeaderV1 = 8 + 4 * 4 + 8 * 3;  // magic, kind..name length, count, span
constexpr std::size_t kFixedHeader = kFixedHeaderV1 + 4;   // ..., bar minutes

template <typename T>
void Put(std::uint8_t* out, std::size_t at, T v) {
  std::memcpy(out + at, &v, sizeof v);
}
template <typename T>
T Get(const std::uint8_t* in, std::size_t at) {
  T v;
  std::memcpy(&v, in + at, sizeof v);
  return v;
}

std::size_t RecordSize(const SegmentHeader& h) {
  if (h.kind == SegmentKind::kBars) return kStoredBarSize;
  return (h.columns & kColumnsTickTrades) != 0 ? kStoredTradeSize : kStoredQuoteSize;
}

std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

}  // namespace

std::string EncodeSegment(const SegmentHeader& h, const std::string& records) {
  std::string out(kFixedHeader + 2 * h.symbol.size(), '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(&out[0]);
  std::memcpy(p, kMagic, sizeof kMagic);
  Put<std::uint32_t>(p, 8, static_cast<std::uint32_t>(h.kind));
  Put<std::uint32_t>(p, 12, h.digits);
  Put<std::uint32_t>(p, 16, h.columns);
  Put<std::uint32_t>(p, 20, static_cast<std::uint32_t>(h.symbol.size()));
  Put<std::uint64_t>(p, 24, h.count);
  Put<std::int64_t>(p, 32, h.first_minute);
  Put<std::int64_t>(p, 40, h.last_minute);
  Put<std::uint32_t>(p, 48, h.bar_minutes);
  for (std::size_t i = 0; i < h.symbol.size(); ++i) {
    Put<std::uint16_t>(p, kFixedHeader + 2 * i, static_cast<std::uint16_t>(h.symbol[i]));
  }
  out += records;
  return out;
}

bool DecodeSegmentHeader(const std::string& bytes, SegmentHeader* h, std::size_t* records_at) {
  const bool v1 =
      bytes.size() >= kFixedHeaderV1 && std::memcmp(bytes.data(), kMagicV1, sizeof kMagic) == 0;
  const std::size_t fixed = v1 ? kFixedHeaderV1 : kFixedHeader;
  if (bytes.size() < fixed || (!v1 && std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0))
    return false;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto kind = Get<std::uint32_t>(p, 8);
  if (kind != static_cast<std::uint32_t>(SegmentKind::kBars) &&
      kind != static_cast<std::uint32_t>(SegmentKind::kTicks)) {
    return false;
  }
  h->kind = static_cast<SegmentKind>(kind);
  h->digits = Get<std::uint32_t>(p, 12);
  h->columns = Get<std::uint32_t>(p, 16);
  const auto name_units = Get<std::uint32_t>(p, 20);
  h->count = Get<std::uint64_t>(p, 24);
  h->first_minute = Get<std::int64_t>(p, 32);
  h->last_minute = Get<std::int64_t>(p, 40);
  h->bar_minutes = v1 ? 1 : Get<std::uint32_t>(p, 48);
  if (name_units == 0 || name_units > 64 || h->digits > 8 || h->bar_minutes < 1 ||
      h->bar_minutes > 1440 || 1440 % h->bar_minutes != 0 ||
      (h->kind == SegmentKind::kTicks && h->bar_minutes != 1))
    return false;
  const std::size_t at = fixed + 2 * std::size_t{name_units};
  if (bytes.size() < at) return false;
  h->symbol.resize(name_units);
  for (std::uint32_t i = 0; i < name_units; ++i) {
    h->symbol[i] = static_cast<char16_t>(Get<std::uint16_t>(p, fixed + 2 * i));
  }
  const std::size_t size = RecordSize(*h);
  if (h->count == 0 || (bytes.size() - at) / size != h->count || (bytes.size() - at) % size != 0)
    return false;
  *records_at = at;
  return true;
}

void PutBar(const Bar& b, std::uint8_t* out) {
  Put<std::int64_t>(out, 0, b.time);
  Put<std::int64_t>(out, 8, b.open);
  Put<std::int64_t>(out, 16, b.high);
  Put<std::int64_t>(out, 24, b.low);
  Put<std::int64_t>(out, 32, b.close);
  Put<std::uint64_t>(out, 40, b.tick_volume);
  Put<std::int32_t>(out, 48, b.spread);
  Put<std::uint64_t>(out, 52, b.real_volume);
}

void PutTick(const Tick& t, bool trades, std::uint8_t* out) {
  Put<std::int64_t>(out, 0, t.time_msc);
  Put<std::int64_t>(out, 8, t.bid);
  Put<std::int64_t>(out, 16, t.ask);
  Put<std::uint32_t>(out, 24, t.flags);
  if (!trades) return;
  Put<std::int64_t>(out, 28, t.last);
  Put<double>(out, 36, t.volume);
}

Segment::Segment(SegmentHeader h, std::string bytes, std::size_t records_at)
    : h_(std::move(h)), bytes_(std::move(bytes)), record_size_(RecordSize(h_)) {
  records_ = reinterpret_cast<const std::uint8_t*>(bytes_.data()) + records_at;
}

Bar Segment::BarAt(std::size_t i) const {
  const std::uint8_t* r = records_ + i * record_size_;
  Bar b;
  b.time = Get<std::int64_t>(r, 0);
  b.open = Get<std::int64_t>(r, 8);
  b.high = Get<std::int64_t>(r, 16);
  b.low = Get<std::int64_t>(r, 24);
  b.close = Get<std::int64_t>(r, 32);
  b.tick_volume = Get<std::uint64_t>(r, 40);
  b.spread = Get<std::int32_t>(r, 48);
  b.real_volume = Get<std::uint64_t>(r, 52);
  return b;
}

Tick Segment::TickAt(std::size_t i) const {
  const std::uint8_t* r = records_ + i * record_size_;
  Tick t{};
  t.time_msc = Get<std::int64_t>(r, 0);
  t.bid = Get<std::int64_t>(r, 8);
  t.ask = Get<std::int64_t>(r, 16);
  t.flags = Get<std::uint32_t>(r, 24);
  if (record_size_ == kStoredTradeSize) {
    t.last = Get<std::int64_t>(r, 28);
    t.volume = Get<double>(r, 36);
  }
  return t;
}

std::int64_t Segment::TimeAt(std::size_t i) const {
  return Get<std::int64_t>(records_ + i * record_size_, 0);
}

std::size_t Segment::LowerBound(std::int64_t time) const {
  std::size_t lo = 0, hi = size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (TimeAt(mid) < time)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

void TicksFromBar(const Bar& bar, std::int64_t spread, std::vector<Tick>* out, std::int64_t minutes,
                  std::int64_t from_ms, std::int64_t to_ms) {
  const bool flat = bar.open == bar.high && bar.open == bar.low && bar.open == bar.close;
  std::uint64_t want = bar.tick_volume;
  if (!flat) want = std::max<std::uint64_t>(want, 4);
  want = std::min<std::uint64_t>(std::max<std::uint64_t>(want, 1), 60000);
  const auto n = static_cast<std::int64_t>(want);
  if (bar.spread > 0) spread = bar.spread;
  // The path open -> first extreme -> second extreme -> close, the extreme
  // nearer the open first; the ticks between key points lie on the lines.
  const bool low_first = bar.open - bar.low <= bar.high - bar.open;
  const std::int64_t key_price[4] = {bar.open, low_first ? bar.low : bar.high,
                                     low_first ? bar.high : bar.low, bar.close};
  const std::int64_t key_at[4] = {0, n >= 4 ? n / 3 : std::min<std::int64_t>(1, n - 1),
                                  n >= 4 ? 2 * n / 3 : std::min<std::int64_t>(2, n - 1), n - 1};
  out->clear();
  const std::int64_t base_ms = bar.time * 1000;
  const std::int64_t span_ms = minutes * 60000;
  // Tick j is at base + j * span / n: only those inside [from, to).
  std::int64_t j0 = 0, j1 = n;
  if (from_ms >= base_ms + span_ms) {
    j0 = n;
  } else if (from_ms > base_ms) {
    j0 = ((from_ms - base_ms) * n + span_ms - 1) / span_ms;
  }
  if (to_ms <= base_ms) {
    j1 = 0;
  } else if (to_ms < base_ms + span_ms) {
    j1 = ((to_ms - base_ms) * n + span_ms - 1) / span_ms;
  }
  for (std::int64_t j = j0; j < j1; ++j) {
    int seg = 0;
    while (seg < 2 && j > key_at[seg + 1]) ++seg;
    const std::int64_t a = key_at[seg], b = key_at[seg + 1];
    std::int64_t price = key_price[seg + 1];
    if (j == a) {
      price = key_price[seg];
    } else if (b > a) {
      const double f = static_cast<double>(j - a) / static_cast<double>(b - a);
      price = RoundToInt(static_cast<double>(key_price[seg]) +
                         f * static_cast<double>(key_price[seg + 1] - key_price[seg]));
    }
    if (j == n - 1) price = bar.close;
    out->emplace_back();
    Tick& t = out->back();
    t = Tick{};
    t.time_msc = base_ms + j * span_ms / n;
    t.bid = price;
    t.ask = price + spread;
    // Bid and ask move together: every tick changes both or neither.
    t.flags = kTickFlagBid | kTickFlagAsk;
    t.on_path = j > 0;
  }
}

namespace {

// The whole of a regular file, never read through a link.
bool ReadRegularFile(const std::u16string& path, std::string* out) {
  os::FileHandle file = os::kInvalidFile;
  std::uint64_t size = 0;
  if (os::OpenRegularFile(path, &file, &size) != os::FileKind::kRegular) return false;
  bool ok = size < (std::uint64_t{1} << 40);
  if (ok) out->resize(static_cast<std::size_t>(size));
  std::size_t used = 0;
  while (ok) {
    if (used == out->size()) out->resize(used + 65536);  // it grew meanwhile
    std::size_t got = 0;
    ok = os::ReadFromFile(file, &(*out)[used], out->size() - used, &got);
    if (got == 0) break;
    used += got;
  }
  os::CloseFile(file);
  out->resize(ok ? used : 0);
  return ok;
}

}  // namespace

bool ReadSegmentFile(const std::u16string& path, std::string* bytes, SegmentHeader* h,
                     std::size_t* records_at) {
  if (ReadRegularFile(path, bytes) && DecodeSegmentHeader(*bytes, h, records_at)) return true;
  std::fprintf(stderr, "terminal64.exe: unreadable history file %s left out\n",
               Narrow(path).c_str());
  bytes->clear();
  return false;
}

void HistoryStore::Load(const std::u16string& folder) {
  const os::FileKind kind = os::KindOfPath(folder);
  if (kind == os::FileKind::kMissing) return;
  if (kind != os::FileKind::kFolder) {
    std::fprintf(stderr,
                 "terminal64.exe: %s is %s, not a folder inside the data folder: no imported "
                 "history is served\n",
                 Narrow(folder).c_str(), os::FileKindName(kind));
    return;
  }
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(folder, &entries)) return;
  std::vector<std::u16string> names;
  for (const os::DirEntry& e : entries) {
    if (e.is_directory) continue;
    const std::u16string& n = e.name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, u".hst") == 0 && loaded_.count(n) == 0)
      names.push_back(n);
  }
  // Names are zero-padded sequence numbers: their order is the import order.
  std::sort(names.begin(), names.end());
  for (const std::u16string& n : names) {
    std::string bytes;
    SegmentHeader h;
    std::size_t at = 0;
    if (ReadSegmentFile(folder + os::kPathSeparator + n, &bytes, &h, &at))
      Add(n, std::move(h), std::move(bytes), at);
  }
}

void HistoryStore::Add(const std::u16string& name, SegmentHeader h, std::string bytes,
                       std::size_t records_at) {
  loaded_.insert(name);
  segments_.emplace_back(std::move(h), std::move(bytes), records_at);
}

std::vector<std::u16string> HistoryStore::SymbolNames() const {
  std::vector<std::u16string> out;
  for (const Segment& s : segments_) {
    if (std::find(out.begin(), out.end(), s.header().symbol) == out.end())
      out.push_back(s.header().symbol);
  }
  return out;
}

void HistoryStore::Bind() {
  by_symbol_.assign(Symbols().size(), {});
  for (auto it = segments_.rbegin(); it != segments_.rend(); ++it) {
    const int sym = FindSymbol(it->header().symbol);
    if (sym >= 0) by_symbol_[static_cast<std::size_t>(sym)].push_back(&*it);
  }
}

std::uint32_t HistoryStore::Digits(const std::u16string& name) const {
  std::uint32_t d = 0;
  for (const Segment& s : segments_) {
    if (s.header().symbol == name) d = std::max(d, s.header().digits);
  }
  return d;
}

bool HistoryStore::HasTrades(const std::u16string& name) const {
  for (const Segment& s : segments_) {
    if (s.header().symbol == name && (s.header().columns & kColumnsTickTrades) != 0) return true;
  }
  return false;
}

std::int64_t HistoryStore::TypicalSpread(const std::u16string& name) const {
  std::vector<std::int64_t> sample;
  for (const Segment& s : segments_) {
    if (s.header().symbol != name) continue;
    const std::size_t step = std::max<std::size_t>(1, s.size() / 1000);
    for (std::size_t i = 0; i < s.size(); i += step) {
      if (s.header().kind == SegmentKind::kBars) {
        sample.push_back(s.BarAt(i).spread);
      } else {
        const Tick t = s.TickAt(i);
        sample.push_back(t.ask - t.bid);
      }
    }
  }
  if (sample.empty()) return 0;
  std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2),
                   sample.end());
  return sample[sample.size() / 2];
}

const Segment* HistoryStore::Find(int sym, std::int64_t minute) const {
  if (sym < 0 || static_cast<std::size_t>(sym) >= by_symbol_.size()) return nullptr;
  for (const Segment* s : by_symbol_[static_cast<std::size_t>(sym)]) {
    if (s->Covers(minute)) return s;
  }
  return nullptr;
}

bool HistoryStore::LatestCovered(int sym, std::int64_t minute, std::int64_t* out) const {
  if (sym < 0 || static_cast<std::size_t>(sym) >= by_symbol_.size()) return false;
  bool found = false;
  for (const Segment* s : by_symbol_[static_cast<std::size_t>(sym)]) {
    if (s->header().first_minute > minute) continue;
    const std::int64_t m = std::min(minute, s->header().last_minute);
    if (!found || m > *out) *out = m;
    found = true;
  }
  return found;
}

bool HistoryStore::Span(int sym, std::int64_t* first, std::int64_t* last) const {
  if (sym < 0 || static_cast<std::size_t>(sym) >= by_symbol_.size()) return false;
  const auto& segs = by_symbol_[static_cast<std::size_t>(sym)];
  if (segs.empty()) return false;
  *first = segs.front()->header().first_minute;
  *last = segs.front()->header().last_minute;
  for (const Segment* s : segs) {
    *first = std::min(*first, s->header().first_minute);
    *last = std::max(*last, s->header().last_minute);
  }
  return true;
}

bool HistoryStore::MinuteBar(const Segment& seg, std::int64_t minute, Bar* out) const {
  if (seg.header().kind != SegmentKind::kBars || seg.header().bar_minutes != 1) return false;
  const std::size_t i = seg.LowerBound(minute * 60);
  if (i == seg.size() || seg.TimeAt(i) != minute * 60) return false;
  *out = seg.BarAt(i);
  return true;
}

bool HistoryStore::CoveringBar(const Segment& seg, std::int64_t minute, Bar* out) const {
  if (seg.header().kind != SegmentKind::kBars) return false;
  const std::size_t i = seg.LowerBound(minute * 60 + 1);
  if (i == 0) return false;
  const std::int64_t opens = seg.TimeAt(i - 1);
  if (opens + std::int64_t{seg.header().bar_minutes} * 60 <= minute * 60) return false;
  *out = seg.BarAt(i - 1);
  return true;
}

void HistoryStore::MinuteTicks(const Segment& seg, int sym, std::int64_t minute,
                               std::vector<Tick>* out) const {
  out->clear();
  if (seg.header().kind == SegmentKind::kBars) {
    Bar bar;
    if (CoveringBar(seg, minute, &bar)) {
      TicksFromBar(bar, Symbols()[static_cast<std::size_t>(sym)].spread, out,
                   seg.header().bar_minutes, minute * 60000, (minute + 1) * 60000);
    }
    return;
  }
  for (std::size_t i = seg.LowerBound(minute * 60000);
       i < seg.size() && seg.TimeAt(i) < (minute + 1) * 60000; ++i) {
    out->push_back(seg.TickAt(i));
  }
}

bool HistoryStore::LastTick(const Segment& seg, int sym, std::int64_t time_msc, Tick* out) const {
  if (seg.header().kind == SegmentKind::kTicks) {
    const std::size_t i = seg.LowerBound(time_msc + 1);
    if (i == 0) return false;
    *out = seg.TickAt(i - 1);
    return true;
  }
  // The bar of the moment's minute, or the latest before it.
  const std::size_t i = seg.LowerBound(FloorDiv(time_msc, 60000) * 60 + 1);
  if (i == 0) return false;
  std::vector<Tick> ticks;
  const std::int64_t minutes = seg.header().bar_minutes;
  const std::int64_t spread = Symbols()[static_cast<std::size_t>(sym)].spread;
  TicksFromBar(seg.BarAt(i - 1), spread, &ticks, minutes, std::numeric_limits<std::int64_t>::min(),
               time_msc + 1);
  for (std::size_t j = ticks.size(); j-- > 0;) {
    if (ticks[j].time_msc <= time_msc) {
      *out = ticks[j];
      return true;
    }
  }
  // The bar of this minute has not begun its first tick yet: the one before.
  if (i < 2) return false;
  TicksFromBar(seg.BarAt(i - 2), spread, &ticks, minutes);
  *out = ticks.back();
  return true;
}

}  // namespace zk5::term
