#include "market/import.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "market/market.h"
#include "os/os.h"
#include "os/service.h"

namespace zk5::term {

namespace {

constexpr int kScaleDigits = 8;  // prices are parsed exactly to 10^-8
constexpr std::int64_t kScale = 100000000;
constexpr std::int64_t kLatestSec = 253402300799;  // 9999-12-31 23:59:59
constexpr std::int64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::u16string Join(const std::u16string& a, const char16_t* b) {
  return a + os::kPathSeparator + b;
}
std::u16string Join(const std::u16string& a, const std::u16string& b) {
  return a + os::kPathSeparator + b;
}
std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s.data(), s.size()); }

// One line's fields, cut at commas, without surrounding blanks.
struct Fields {
  const char* begin[8];
  const char* end[8];
  int count = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits [p, e) into at most 8 fields; false when there are more.
bool Split(const char* p, const char* e, Fields* f) {
  f->count = 0;
  for (;;) {
    const char* q = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(e - p)));
    const char* stop = q != nullptr ? q : e;
    if (f->count == 8) return false;
    const char* b = p;
    const char* z = stop;
    while (b < z && IsBlank(*b)) ++b;
    while (z > b && IsBlank(z[-1])) --z;
    f->begin[f->count] = b;
    f->end[f->count] = z;
    ++f->count;
    if (q == nullptr) return true;
    p = q + 1;
  }
}

bool Digits(const char*& p, const char* e, int n, std::int64_t* v) {
  std::int64_t x = 0;
  for (int i = 0; i < n; ++i, ++p) {
    if (p >= e || *p < '0' || *p > '9') return false;
    x = x * 10 + (*p - '0');
  }
  *v = x;
  return true;
}

// A whole number of up to 18 digits.
bool ParseInt(const char* p, const char* e, std::int64_t* v) {
  if (p == e || e - p > 18) return false;
  std::int64_t x = 0;
  for (; p < e; ++p) {
    if (*p < '0' || *p > '9') return false;
    x = x * 10 + (*p - '0');
  }
  *v = x;
  return true;
}

}  // namespace

bool ParseDateTime(const char* p, const char* e, std::int64_t* ms, bool* seconds, bool* fraction) {
  std::int64_t y, mo, d, h, mi, s = 0, f = 0;
  if (!Digits(p, e, 4, &y) || p == e || *p++ != '-' || !Digits(p, e, 2, &mo) || p == e ||
      *p++ != '-' || !Digits(p, e, 2, &d) || p == e || (*p != ' ' && *p != 'T')) {
    return false;
  }
  ++p;
  if (!Digits(p, e, 2, &h) || p == e || *p++ != ':' || !Digits(p, e, 2, &mi)) return false;
  *seconds = *fraction = false;
  if (p < e && *p == ':') {
    ++p;
    if (!Digits(p, e, 2, &s)) return false;
    *seconds = true;
    if (p < e && *p == '.') {
      ++p;
      int n = 0;
      while (p < e && *p >= '0' && *p <= '9') {
        // Digits past the millisecond are dropped: times are whole milliseconds.
        if (n < 3) f = f * 10 + (*p - '0');
        ++p;
        if (++n > 9) return false;
      }
      if (n == 0) return false;
      while (n++ < 3) f *= 10;
      *fraction = true;
    }
  }
  // ISO 8601's zone: Z for UTC, or an offset east of it, +HH:MM, +HHMM or +HH.
  std::int64_t offset_min = 0;
  if (p < e && (*p == 'Z' || *p == 'z')) {
    ++p;
  } else if (p < e && (*p == '+' || *p == '-')) {
    const bool east = *p++ == '+';
    std::int64_t oh = 0, om = 0;
    if (!Digits(p, e, 2, &oh)) return false;
    if (p < e && *p == ':') {
      if (!Digits(++p, e, 2, &om)) return false;
    } else if (p < e && !Digits(p, e, 2, &om)) {
      return false;
    }
    if (oh > 23 || om > 59) return false;
    offset_min = (east ? 1 : -1) * (oh * 60 + om);
  }
  if (p != e) return false;
  static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 || s > 59)
    return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return false;
  const std::int64_t day = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  *ms = ((day * 24 + h) * 60 + mi - offset_min) * 60000 + s * 1000 + f;
  return true;
}

namespace {

// A positive decimal number, exactly, in units of 10^-8 (further digits are
// rounded); `*decimals` is how many of the 8 fraction digits it needs.
bool ParsePrice(const char* p, const char* e, std::int64_t* scaled, int* decimals) {
  std::int64_t whole = 0;
  int int_digits = 0;
  while (p < e && *p >= '0' && *p <= '9') {
    if (++int_digits > 10) return false;
    whole = whole * 10 + (*p++ - '0');
  }
  std::int64_t frac = 0;
  int n = 0;
  bool round_up = false;
  if (p < e && *p == '.') {
    ++p;
    while (p < e && *p >= '0' && *p <= '9') {
      if (n < kScaleDigits) {
        frac = frac * 10 + (*p - '0');
      } else if (n == kScaleDigits) {
        round_up = *p >= '5';
      }
      ++n;
      ++p;
    }
  }
  if (p != e || (int_digits == 0 && n == 0)) return false;
  for (int k = std::min(n, kScaleDigits); k < kScaleDigits; ++k) frac *= 10;
  std::int64_t v = whole * kScale + frac + (round_up ? 1 : 0);
  *scaled = v;
  int d = kScaleDigits;
  std::int64_t f = v % kScale;
  if (f == 0) {
    d = 0;
  } else {
    while (f % 10 == 0) f /= 10, --d;
  }
  *decimals = d;
  return true;
}

struct Fault {
  std::uint64_t line;
  std::string what;
};

// Reads a CSV text line by line as it arrives (Feed), so that memory
// grows with the rows kept, never with the size of the text or its
// number of lines.
class Parser {
 public:
  Parser(SegmentKind kind, int digits) : kind_(kind), digits_(digits) {
    size_ = kind_ == SegmentKind::kBars ? kStoredBarSize : kStoredQuoteSize;
    out_.header.kind = kind_;
  }

  // The next bytes of the text; false once a fault is found (the rest
  // need not be read).
  bool Feed(const char* p, std::size_t n) {
    const char* end = p + n;
    while (p < end && !failed_) {
      // Runs of empty lines are only counted (past the header).
      if (carry_.empty() && line_ != 0 && *p == '\n') {
        ++line_;
        ++p;
        continue;
      }
      const char* nl =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = nl != nullptr ? nl : end;
      if (!carry_.empty() || nl == nullptr) {
        if (carry_.size() + static_cast<std::size_t>(stop - p) > kMaxImportLineBytes) {
          failed_ = true;
          fault_ = {line_ + 1,
                    "the line is longer than " + std::to_string(kMaxImportLineBytes) + " bytes"};
          return false;
        }
        carry_.append(p, stop);
        if (nl == nullptr) return true;
        Line(carry_.data(), carry_.data() + carry_.size());
        carry_.clear();
      } else {
        Line(p, stop);
      }
      p = stop + 1;
    }
    return !failed_;
  }

  ParsedHistory Finish() {
    if (!failed_ && !carry_.empty()) {
      Line(carry_.data(), carry_.data() + carry_.size());
      carry_.clear();
    }
    if (!failed_ && line_ == 0) {
      static const char kNothing[1] = {'\0'};
      Line(kNothing, kNothing);  // an empty file: no header
    }
    if (!failed_ && rows_ == 0) Bad(0, "no rows after the header");
    if (failed_) return Fail();
    std::string(records_).swap(records_);  // no room kept beyond the rows
    Finish(rows_, size_);
    out_.records = std::move(records_);
    out_.ok = true;
    return std::move(out_);
  }

 private:
  void Line(const char* p, const char* e) {
    ++line_;
    if (static_cast<std::size_t>(e - p) > kMaxImportLineBytes) {
      Bad(line_, "the line is longer than " + std::to_string(kMaxImportLineBytes) + " bytes");
      return;
    }
    if (line_ == 1) {
      if (!Header(p, e)) failed_ = true;
      return;
    }
    const char* q = e;
    while (q > p && IsBlank(q[-1])) --q;
    if (q == p) return;  // an empty line
    std::uint8_t rec[kStoredBarSize > kStoredTradeSize ? kStoredBarSize : kStoredTradeSize];
    if (!(kind_ == SegmentKind::kBars ? BarRow(p, q, line_, rec) : TickRow(p, q, line_, rec))) {
      failed_ = true;
      return;
    }
    records_.append(reinterpret_cast<const char*>(rec), size_);
  }

  ParsedHistory Fail() {
    out_.ok = false;
    out_.line = fault_.line;
    out_.error = fault_.what;
    out_.records.clear();
    return std::move(out_);
  }

  bool Bad(std::uint64_t line, std::string what) {
    fault_ = {line, std::move(what)};
    failed_ = true;
    return false;
  }

  bool Header(const char* begin, const char* end) {
    if (end - begin >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0)
      begin += 3;  // an editor's byte-order mark
    Fields f;
    if (!Split(begin, end, &f)) return Bad(1, "too many columns in the header");
    static const char* const kBars[] = {"time",  "open",        "high",   "low",
                                        "close", "tick_volume", "spread", "real_volume"};
    static const char* const kTicks[] = {"time_msc", "bid", "ask", "last", "volume", "flags"};
    const bool bars = kind_ == SegmentKind::kBars;
    const char* const* names = bars ? kBars : kTicks;
    const int most = bars ? 8 : 6;
    const int least = bars ? 6 : 3;
    const char* expected = bars ? "time,open,high,low,close,tick_volume[,spread,real_volume]"
                                : "time_msc,bid,ask[,last,volume,flags]";
    // What the exporter writes for ticks: the whole tick record, time_msc
    // giving the time (time is the same in whole seconds) and volume_real
    // the volume again.
    static const char* const kExportedTicks[] = {"time",   "bid",      "ask",   "last",
                                                 "volume", "time_msc", "flags", "volume_real"};
    if (!bars && f.count == 8) {
      for (int i = 0; i < f.count; ++i) {
        std::string name(f.begin[i], f.end[i]);
        for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (name != kExportedTicks[i]) return Bad(1, std::string("the header must be ") + expected);
      }
      columns_ = 8;
      exported_ = trades_ = true;
      size_ = kStoredTradeSize;
      out_.header.columns = kColumnsTickTrades;
      return true;
    }
    if (f.count < least || f.count > most)
      return Bad(1, std::string("the header must be ") + expected);
    for (int i = 0; i < f.count; ++i) {
      std::string name(f.begin[i], f.end[i]);
      for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      if (name != names[i]) return Bad(1, std::string("the header must be ") + expected);
    }
    columns_ = f.count;
    trades_ = !bars && f.count > 3;
    if (trades_) size_ = kStoredTradeSize;
    out_.header.columns =
        bars ? (f.count > 6 ? kColumnsBarExtra : 0) : (trades_ ? kColumnsTickTrades : 0);
    return true;
  }

  bool Price(const char* b, const char* e, std::uint64_t line, const char* name, std::int64_t* v) {
    int d = 0;
    if (!ParsePrice(b, e, v, &d) || *v <= 0) {
      return Bad(line,
                 std::string(name) + " is not a positive number: \"" + std::string(b, e) + "\"");
    }
    max_decimals_ = std::max(max_decimals_, d);
    if (digits_ >= 0) {
      // A known symbol: to its points, halves up.
      const std::int64_t unit = kPow10[kScaleDigits - digits_];
      *v = (*v + unit / 2) / unit;
    }
    return true;
  }

  bool Count(const char* b, const char* e, std::uint64_t line, const char* name, std::int64_t* v) {
    if (!ParseInt(b, e, v)) {
      return Bad(line, std::string(name) + " is not a whole number: \"" + std::string(b, e) + "\"");
    }
    return true;
  }

  bool BarRow(const char* p, const char* e, std::uint64_t line, std::uint8_t* rec) {
    Fields f;
    if (!Split(p, e, &f) || f.count != columns_) {
      return Bad(line, "expected " + std::to_string(columns_) + " columns");
    }
    Bar b;
    std::int64_t t;
    bool secs, frac;
    if (ParseInt(f.begin[0], f.end[0], &t)) {
      // seconds since 1970
    } else if (ParseDateTime(f.begin[0], f.end[0], &t, &secs, &frac) && t % 1000 == 0) {
      t /= 1000;
    } else {
      return Bad(line, "time is not seconds since 1970 or YYYY-MM-DD[T]HH:MM[:SS][Z|+HH:MM]: \"" +
                           std::string(f.begin[0], f.end[0]) + "\"");
    }
    if (t > kLatestSec) return Bad(line, "time is after the year 9999");
    if (t % 60 != 0) return Bad(line, "time is not the start of a minute");
    if (rows_ > 0 && t <= last_time_) return Bad(line, "time is not later than the row before");
    if (!Price(f.begin[1], f.end[1], line, "open", &b.open) ||
        !Price(f.begin[2], f.end[2], line, "high", &b.high) ||
        !Price(f.begin[3], f.end[3], line, "low", &b.low) ||
        !Price(f.begin[4], f.end[4], line, "close", &b.close)) {
      return false;
    }
    if (b.high < std::max(b.open, b.close) || b.low > std::min(b.open, b.close)) {
      return Bad(line, "high and low do not contain open and close");
    }
    std::int64_t n;
    if (!Count(f.begin[5], f.end[5], line, "tick_volume", &n)) return false;
    // 0 is no count given: the bar counts the ticks made for it, so that
    // it exists like any bar with ticks.
    const bool flat = b.open == b.high && b.open == b.low && b.open == b.close;
    b.tick_volume = n > 0 ? static_cast<std::uint64_t>(n) : (flat ? 1 : 4);
    if (f.count > 6) {
      if (!Count(f.begin[6], f.end[6], line, "spread", &n)) return false;
      if (n > 0x7FFFFFFF) return Bad(line, "spread is too large");
      b.spread = static_cast<std::int32_t>(n);
    }
    if (f.count > 7) {
      if (!Count(f.begin[7], f.end[7], line, "real_volume", &n)) return false;
      b.real_volume = static_cast<std::uint64_t>(n);
    }
    b.time = t;
    PutBar(b, rec);
    Span(t / 60);
    last_time_ = t;
    ++rows_;
    return true;
  }

  bool TickRow(const char* p, const char* e, std::uint64_t line, std::uint8_t* rec) {
    Fields f;
    if (!Split(p, e, &f) || f.count != columns_) {
      return Bad(line, "expected " + std::to_string(columns_) + " columns");
    }
    if (exported_) {
      // Into the import layout: time_msc,bid,ask,last,volume,flags.
      const Fields all = f;
      static const int kFrom[] = {5, 1, 2, 3, 4, 6};
      for (int i = 0; i < 6; ++i) f.begin[i] = all.begin[kFrom[i]], f.end[i] = all.end[kFrom[i]];
      f.count = 6;
    }
    Tick t{};
    bool secs, frac;
    if (!ParseInt(f.begin[0], f.end[0], &t.time_msc) &&
        !(ParseDateTime(f.begin[0], f.end[0], &t.time_msc, &secs, &frac) && secs)) {
      return Bad(
          line,
          "time_msc is not milliseconds since 1970 or YYYY-MM-DD[T]HH:MM:SS[.fff][Z|+HH:MM]: \"" +
              std::string(f.begin[0], f.end[0]) + "\"");
    }
    if (t.time_msc > kLatestSec * 1000 + 999) return Bad(line, "time_msc is after the year 9999");
    if (rows_ > 0 && t.time_msc < last_time_)
      return Bad(line, "time_msc is earlier than the row before");
    if (!Price(f.begin[1], f.end[1], line, "bid", &t.bid) ||
        !Price(f.begin[2], f.end[2], line, "ask", &t.ask)) {
      return false;
    }
    if (t.ask < t.bid) return Bad(line, "ask is below bid");
    if (trades_) {
      int d;
      std::int64_t v = 0;
      if (f.end[3] != f.begin[3] && !(ParsePrice(f.begin[3], f.end[3], &v, &d))) {
        return Bad(line, "last is not a number: \"" + std::string(f.begin[3], f.end[3]) + "\"");
      }
      if (v > 0) {
        max_decimals_ = std::max(max_decimals_, d);
        if (digits_ >= 0) {
          const std::int64_t unit = kPow10[kScaleDigits - digits_];
          v = (v + unit / 2) / unit;
        }
      }
      t.last = v;
      std::int64_t vol = 0;
      if (f.count > 4 && f.end[4] != f.begin[4] && !ParsePrice(f.begin[4], f.end[4], &vol, &d)) {
        return Bad(line, "volume is not a number: \"" + std::string(f.begin[4], f.end[4]) + "\"");
      }
      t.volume = static_cast<double>(vol) / static_cast<double>(kScale);
      if (f.count > 5) {
        std::int64_t flags;
        if (!Count(f.begin[5], f.end[5], line, "flags", &flags)) return false;
        if (flags > 0xFFFFFFFFLL) return Bad(line, "flags is too large");
        t.flags = static_cast<std::uint32_t>(flags);
      } else {
        t.flags =
            QuoteFlags(t) | (t.last > 0 ? kTickFlagLast : 0) | (vol > 0 ? kTickFlagVolume : 0);
      }
    } else {
      t.flags = QuoteFlags(t);
    }
    prev_bid_ = t.bid;
    prev_ask_ = t.ask;
    PutTick(t, trades_, rec);
    Span(FloorDiv(t.time_msc, 60000));
    last_time_ = t.time_msc;
    ++rows_;
    return true;
  }

  // The quote flags a tick gets when the file has none: what changed.
  std::uint32_t QuoteFlags(const Tick& t) const {
    if (rows_ == 0) return kTickFlagBid | kTickFlagAsk;
    const std::uint32_t f =
        (t.bid != prev_bid_ ? kTickFlagBid : 0) | (t.ask != prev_ask_ ? kTickFlagAsk : 0);
    return f != 0 ? f : kTickFlagBid | kTickFlagAsk;
  }

  void Span(std::int64_t minute) {
    if (rows_ == 0) first_minute_ = minute;
    last_minute_ = minute;
  }

  // A new symbol's digits are those its prices need; its prices become
  // points of them.
  void Finish(std::uint64_t rows, std::size_t size) {
    ParsedHistory* out = &out_;
    int digits = digits_;
    if (digits < 0) {
      digits = max_decimals_;
      const std::int64_t unit = kPow10[kScaleDigits - digits];
      if (unit != 1) {
        auto* r = reinterpret_cast<std::uint8_t*>(&records_[0]);
        // Price fields: open..close of a bar; bid, ask (and last) of a tick.
        static const std::size_t kBarPrices[] = {8, 16, 24, 32};
        static const std::size_t kTickPrices[] = {8, 16, 28};
        const std::size_t* at = kind_ == SegmentKind::kBars ? kBarPrices : kTickPrices;
        const int fields = kind_ == SegmentKind::kBars ? 4 : (trades_ ? 3 : 2);
        for (std::uint64_t i = 0; i < rows; ++i, r += size) {
          for (int k = 0; k < fields; ++k) {
            std::int64_t v;
            std::memcpy(&v, r + at[k], 8);
            v /= unit;
            std::memcpy(r + at[k], &v, 8);
          }
        }
      }
    }
    out->header.digits = static_cast<std::uint32_t>(digits);
    out->header.count = rows;
    out->header.first_minute = first_minute_;
    out->header.last_minute = last_minute_;
  }

  SegmentKind kind_;
  int digits_;
  std::size_t size_;
  ParsedHistory out_;
  std::string records_;  // in the stored layout
  std::string carry_;    // a line cut by the end of a piece
  std::uint64_t line_ = 0;
  bool failed_ = false;
  int columns_ = 0;
  bool trades_ = false;
  bool exported_ = false;  // ticks in the exporter's layout
  int max_decimals_ = 0;
  std::uint64_t rows_ = 0;
  std::int64_t last_time_ = 0;
  std::int64_t prev_bid_ = 0, prev_ask_ = 0;
  std::int64_t first_minute_ = 0, last_minute_ = 0;
  Fault fault_{0, ""};
};

bool EndsWith(const std::u16string& s, const char16_t* tail, std::size_t n) {
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = s[s.size() - n + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != tail[i]) return false;
  }
  return true;
}

// The next free sequence number of the history folder.
std::uint64_t NextSequence(const std::u16string& folder) {
  std::vector<os::DirEntry> entries;
  std::uint64_t next = 1;
  if (!os::ListDirectory(folder, &entries)) return next;
  for (const os::DirEntry& e : entries) {
    std::uint64_t n = 0;
    bool digits = e.name.size() > 4;
    for (std::size_t i = 0; digits && i + 4 < e.name.size(); ++i) {
      if (e.name[i] < u'0' || e.name[i] > u'9')
        digits = false;
      else
        n = n * 10 + static_cast<std::uint64_t>(e.name[i] - u'0');
    }
    if (digits) next = std::max(next, n + 1);
  }
  return next;
}

}  // namespace

std::u16string HistoryFolder(const std::u16string& data) { return Join(data, u"history"); }

bool IsSymbolName(const std::u16string& name) {
  // Names a client can send, that stay one path component anywhere.
  if (name.empty() || name.size() > kMaxSymbolUnits || name.find(u"..") != std::u16string::npos)
    return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u',' || c == u'*' ||
        c == u'!' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|') {
      return false;
    }
  }
  return true;
}

bool ImportFileName(const std::u16string& file_name, std::u16string* symbol, SegmentKind* kind) {
  std::size_t cut;
  if (EndsWith(file_name, u".m1.csv", 7)) {
    *kind = SegmentKind::kBars;
    cut = 7;
  } else if (EndsWith(file_name, u".ticks.csv", 10)) {
    *kind = SegmentKind::kTicks;
    cut = 10;
  } else {
    return false;
  }
  *symbol = file_name.substr(0, file_name.size() - cut);
  return IsSymbolName(*symbol);
}

ParsedHistory ParseHistoryCsv(const std::string& text, SegmentKind kind,
                              const std::u16string& symbol, int digits) {
  Parser parser(kind, digits);
  parser.Feed(text.data(), text.size());
  ParsedHistory out = parser.Finish();
  out.header.symbol = symbol;
  return out;
}

namespace {

// Reads and parses an open file piece by piece.
ParsedHistory ParseFile(os::FileHandle file, SegmentKind kind, const std::u16string& symbol,
                        int digits, bool* read_error,
                        const std::function<void(std::size_t)>& read = nullptr) {
  Parser parser(kind, digits);
  std::string piece(1 << 20, '\0');
  *read_error = false;
  for (;;) {
    std::size_t got = 0;
    if (!os::ReadFromFile(file, &piece[0], piece.size(), &got)) {
      *read_error = true;
      break;
    }
    if (got != 0 && read) read(got);
    if (got == 0 || !parser.Feed(piece.data(), got)) break;
  }
  ParsedHistory out = parser.Finish();
  out.header.symbol = symbol;
  return out;
}

void Log(const std::u16string& name, const std::string& what) {
  std::fprintf(stderr, "terminal64.exe: import of %s %s\n", Narrow(name).c_str(), what.c_str());
}

}  // namespace

namespace {

// The sum of the sizes of the regular files among `names` that are named
// like import files: what an import reads at most.
std::uint64_t SizeOfFiles(const std::u16string& folder, const std::vector<std::u16string>& names) {
  std::uint64_t total = 0;
  for (const std::u16string& name : names) {
    std::u16string symbol;
    SegmentKind kind;
    if (!ImportFileName(name, &symbol, &kind)) continue;
    os::FileHandle file = os::kInvalidFile;
    std::uint64_t size = 0;
    if (os::OpenRegularFile(Join(folder, name), &file, &size) == os::FileKind::kRegular)
      total += size;
    os::CloseFile(file);
  }
  return total;
}

}  // namespace

std::vector<ImportOutcome> ImportFolder(const std::u16string& data,
                                        int (*existing_digits)(const std::u16string&),
                                        const ImportObserver& observer) {
  std::vector<ImportOutcome> outcomes;
  const std::u16string folder = Join(data, u"import");
  const os::FileKind there = os::KindOfPath(folder);
  if (there == os::FileKind::kMissing) return outcomes;
  // Files are taken from the data folder only: never through a link.
  auto refuse_folder = [&](const std::u16string& which) {
    ImportOutcome o;
    o.file = which;
    o.error = "the folder " + Narrow(which) + " is not a folder inside the data folder (" +
              os::FileKindName(os::KindOfPath(which)) + "): nothing is imported until it is";
    std::fprintf(stderr, "terminal64.exe: %s\n", o.error.c_str());
    outcomes.push_back(std::move(o));
    return outcomes;
  };
  if (there != os::FileKind::kFolder) return refuse_folder(folder);
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(folder, &entries)) return outcomes;
  std::vector<std::u16string> files;
  for (const os::DirEntry& e : entries) {
    if (EndsWith(e.name, u".csv", 4)) files.push_back(e.name);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) return outcomes;
  const std::u16string history = HistoryFolder(data);
  const std::u16string done = Join(folder, u"done");
  const std::u16string failed_folder = Join(folder, u"failed");
  for (const std::u16string* f : {&history, &done, &failed_folder}) {
    if (!os::MakeRealFolder(*f)) return refuse_folder(*f);
  }
  ImportProgress progress;
  progress.files = files.size();
  if (observer) progress.bytes_total = SizeOfFiles(folder, files);
  std::uint64_t before = 0;  // bytes of the files done
  for (const std::u16string& name : files) {
    ImportOutcome o;
    o.file = name;
    ++progress.file_number;
    progress.file = name;
    progress.bytes_done = before;
    if (observer) observer(progress);
    std::u16string stored;
    const std::u16string path = Join(folder, name);
    std::u16string symbol;
    SegmentKind kind;
    os::FileHandle file = os::kInvalidFile;
    std::uint64_t size = 0;
    bool retry = false;  // a good file the disk had no room for
    if (!ImportFileName(name, &symbol, &kind)) {
      o.error =
          "the file name is not <SYMBOL>.M1.csv or <SYMBOL>.ticks.csv with a symbol name (at "
          "most " +
          std::to_string(kMaxSymbolUnits) + " characters, no path separators, no \"..\")";
    } else if (const os::FileKind k = os::OpenRegularFile(path, &file, &size);
               k != os::FileKind::kRegular) {
      o.error = k == os::FileKind::kError
                    ? std::string("the file cannot be read")
                    : std::string("it is ") + os::FileKindName(k) +
                          ", not a regular file: only regular files inside the data "
                          "folder are imported";
    } else if (!os::WaitForWriters(file, &size)) {
      o.error = "the file cannot be read";
    } else if (size > kMaxImportBytes) {
      o.error = "the file is larger than " + std::to_string(kMaxImportBytes >> 30) +
                " GiB, the most one file may hold: split it";
    } else {
      bool read_error = false;
      const ParsedHistory parsed =
          ParseFile(file, kind, symbol, existing_digits(symbol), &read_error, [&](std::size_t got) {
            progress.bytes_done += got;
            if (observer) observer(progress);
          });
      if (read_error) {
        o.error = "the file cannot be read";
      } else if (!parsed.ok) {
        o.error = parsed.line != 0 ? "line " + std::to_string(parsed.line) + ": " + parsed.error
                                   : parsed.error;
      } else {
        char seq[32];
        std::snprintf(seq, sizeof seq, "%08llu.hst",
                      static_cast<unsigned long long>(NextSequence(history)));
        const std::string bytes = EncodeSegment(parsed.header, parsed.records);
        // Not flushed to disk: the CSV file stays in import/done/, from which
        // a store lost with a system crash is made again.
        stored = std::u16string(seq, seq + std::strlen(seq));
        if (os::WriteFileAtomic(Join(history, stored), bytes, false)) {
          o.ok = true;
          o.rows = parsed.header.count;
        } else {
          retry = true;
          stored.clear();
          o.error =
              "the history folder cannot be written (is the disk full?): the file stays in import/ "
              "and is tried again at the next start";
        }
      }
    }
    os::CloseFile(file);
    if (o.ok) {
      if (!os::RenameFile(path, Join(done, name)))
        Log(name, "done, but it cannot be moved to import/done/");
    } else if (retry) {
      o.postponed = true;
      Log(name, "postponed: " + o.error);
    } else {
      // Renaming moves a link or a FIFO itself, never what it leads to.
      const std::u16string failed = Join(failed_folder, name);
      if (os::RenameFile(path, failed)) {
        os::WriteFileAtomic(failed + u".err", o.error + "\n");
      } else {
        o.error += " (left in import/: it cannot be moved to import/failed/)";
      }
      Log(name, "rejected: " + o.error);
    }
    before += size;
    if (observer) {
      progress.bytes_done = before;
      progress.outcome = &o;
      progress.stored = o.ok ? stored : std::u16string();
      observer(progress);
      progress.outcome = nullptr;
    }
    outcomes.push_back(std::move(o));
  }
  return outcomes;
}

}  // namespace zk5::term
