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

std::u16string Join(const std::u16string& a, const char16_t* b) { return a + os::kPathSeparator + b; }
std::u16string Join(const std::u16string& a, const std::u16string& b) { return a + os::kPathSeparator + b; }
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
  if (!Digits(p, e, 4, &y) || p == e || *p++ != '-' || !Digits(p, e, 2, &mo) || p == e || *p++ != '-' ||
      !Digits(p, e, 2, &d) || p == e || (*p != ' ' && *p != 'T')) {
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
  if (mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 || s > 59) return false;
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

class Parser {
 public:
  Parser(const std::string& text, SegmentKind kind, int digits)
      : text_(text), kind_(kind), digits_(digits) {}

  ParsedHistory Run() {
    ParsedHistory out;
    out.header.kind = kind_;
    if (!Header(&out)) return Fail(&out);
    const std::size_t size = kind_ == SegmentKind::kBars
                                 ? kStoredBarSize
                                 : (trades_ ? kStoredTradeSize : kStoredQuoteSize);
    const char* p = text_.data() + body_;
    const char* end = text_.data() + text_.size();
    // Room for every line at once: no copies while the rows are stored.
    out.records.resize((static_cast<std::size_t>(std::count(p, end, '\n')) + 1) * size);
    std::uint64_t line = 1;
    std::uint64_t rows = 0;
    std::size_t used = 0;
    while (p < end) {
      ++line;
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = nl != nullptr ? nl : end;
      const char* q = stop;
      while (q > p && IsBlank(q[-1])) --q;
      if (q > p) {
        auto* rec = reinterpret_cast<std::uint8_t*>(&out.records[0]) + used;
        if (!(kind_ == SegmentKind::kBars ? BarRow(p, q, line, rec) : TickRow(p, q, line, rec))) return Fail(&out);
        used += size;
        ++rows;
      }
      p = stop + 1;
    }
    out.records.resize(used);
    if (rows == 0) {
      fault_ = {0, "no rows after the header"};
      return Fail(&out);
    }
    Finish(&out, rows, size);
    out.ok = true;
    return out;
  }

 private:
  ParsedHistory Fail(ParsedHistory* out) {
    out->ok = false;
    out->line = fault_.line;
    out->error = fault_.what;
    out->records.clear();
    return std::move(*out);
  }

  bool Bad(std::uint64_t line, std::string what) {
    fault_ = {line, std::move(what)};
    return false;
  }

  bool Header(ParsedHistory* out) {
    std::size_t nl = text_.find('\n');
    if (nl == std::string::npos) nl = text_.size();
    std::size_t start = 0;
    if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;  // an editor's byte-order mark
    Fields f;
    if (!Split(text_.data() + start, text_.data() + nl, &f)) return Bad(1, "too many columns in the header");
    static const char* const kBars[] = {"time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume"};
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
      out->header.columns = kColumnsTickTrades;
      body_ = nl < text_.size() ? nl + 1 : nl;
      return true;
    }
    if (f.count < least || f.count > most) return Bad(1, std::string("the header must be ") + expected);
    for (int i = 0; i < f.count; ++i) {
      std::string name(f.begin[i], f.end[i]);
      for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      if (name != names[i]) return Bad(1, std::string("the header must be ") + expected);
    }
    columns_ = f.count;
    trades_ = !bars && f.count > 3;
    out->header.columns = bars ? (f.count > 6 ? kColumnsBarExtra : 0) : (trades_ ? kColumnsTickTrades : 0);
    body_ = nl < text_.size() ? nl + 1 : nl;
    return true;
  }

  bool Price(const char* b, const char* e, std::uint64_t line, const char* name, std::int64_t* v) {
    int d = 0;
    if (!ParsePrice(b, e, v, &d) || *v <= 0) {
      return Bad(line, std::string(name) + " is not a positive number: \"" + std::string(b, e) + "\"");
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
    if (!Price(f.begin[1], f.end[1], line, "open", &b.open) || !Price(f.begin[2], f.end[2], line, "high", &b.high) ||
        !Price(f.begin[3], f.end[3], line, "low", &b.low) || !Price(f.begin[4], f.end[4], line, "close", &b.close)) {
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
    if (rows_ > 0 && t.time_msc < last_time_) return Bad(line, "time_msc is earlier than the row before");
    if (!Price(f.begin[1], f.end[1], line, "bid", &t.bid) || !Price(f.begin[2], f.end[2], line, "ask", &t.ask)) {
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
        t.flags = QuoteFlags(t) | (t.last > 0 ? kTickFlagLast : 0) | (vol > 0 ? kTickFlagVolume : 0);
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
    const std::uint32_t f = (t.bid != prev_bid_ ? kTickFlagBid : 0) | (t.ask != prev_ask_ ? kTickFlagAsk : 0);
    return f != 0 ? f : kTickFlagBid | kTickFlagAsk;
  }

  void Span(std::int64_t minute) {
    if (rows_ == 0) first_minute_ = minute;
    last_minute_ = minute;
  }

  // A new symbol's digits are those its prices need; its prices become
  // points of them.
  void Finish(ParsedHistory* out, std::uint64_t rows, std::size_t size) {
    int digits = digits_;
    if (digits < 0) {
      digits = max_decimals_;
      const std::int64_t unit = kPow10[kScaleDigits - digits];
      if (unit != 1) {
        auto* r = reinterpret_cast<std::uint8_t*>(&out->records[0]);
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

  const std::string& text_;
  SegmentKind kind_;
  int digits_;
  std::size_t body_ = 0;
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
      if (e.name[i] < u'0' || e.name[i] > u'9') digits = false;
      else n = n * 10 + static_cast<std::uint64_t>(e.name[i] - u'0');
    }
    if (digits) next = std::max(next, n + 1);
  }
  return next;
}

}  // namespace

std::u16string HistoryFolder(const std::u16string& data) { return Join(data, u"history"); }

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
  // Names a client can send (29 units) and that stay one path component.
  if (symbol->empty() || symbol->size() > 29) return false;
  for (char16_t c : *symbol) {
    if (c < 0x20 || c == u'\\' || c == u'/' || c == u',' || c == u'*' || c == u'!' || c == u'?') return false;
  }
  return true;
}

ParsedHistory ParseHistoryCsv(const std::string& text, SegmentKind kind, const std::u16string& symbol, int digits) {
  ParsedHistory out = Parser(text, kind, digits).Run();
  out.header.symbol = symbol;
  return out;
}

std::vector<ImportOutcome> ImportFolder(const std::u16string& data,
                                        int (*existing_digits)(const std::u16string&)) {
  std::vector<ImportOutcome> outcomes;
  const std::u16string folder = Join(data, u"import");
  std::vector<os::DirEntry> entries;
  if (!os::ListDirectory(folder, &entries)) return outcomes;
  std::vector<std::u16string> files;
  for (const os::DirEntry& e : entries) {
    if (!e.is_directory && EndsWith(e.name, u".csv", 4)) files.push_back(e.name);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) return outcomes;
  const std::u16string history = HistoryFolder(data);
  os::MakeDirectories(history);
  os::MakeDirectories(Join(folder, u"done"));
  os::MakeDirectories(Join(folder, u"failed"));
  for (const std::u16string& name : files) {
    ImportOutcome o;
    o.file = name;
    const std::u16string path = Join(folder, name);
    std::u16string symbol;
    SegmentKind kind;
    std::string text;
    ParsedHistory parsed;
    if (!ImportFileName(name, &symbol, &kind)) {
      o.error = "the file name is not <SYMBOL>.M1.csv or <SYMBOL>.ticks.csv";
    } else if (!os::ReadWholeFile(path, &text)) {
      o.error = "the file cannot be read";
    } else {
      parsed = ParseHistoryCsv(text, kind, symbol, existing_digits(symbol));
      std::string().swap(text);
      if (!parsed.ok) {
        o.error = parsed.line != 0 ? "line " + std::to_string(parsed.line) + ": " + parsed.error : parsed.error;
      } else {
        char seq[32];
        std::snprintf(seq, sizeof seq, "%08llu.hst", static_cast<unsigned long long>(NextSequence(history)));
        const std::string bytes = EncodeSegment(parsed.header, parsed.records);
        // Not flushed to disk: the CSV file stays in import/done/, from which
        // a store lost with a system crash is made again.
        if (os::WriteFileAtomic(Join(history, std::u16string(seq, seq + std::strlen(seq))), bytes, false)) {
          o.ok = true;
          o.rows = parsed.header.count;
        } else {
          o.error = "the history folder cannot be written";
        }
      }
    }
    if (o.ok) {
      os::RenameFile(path, Join(Join(folder, u"done"), name));
    } else {
      const std::u16string failed = Join(Join(folder, u"failed"), name);
      os::RenameFile(path, failed);
      os::WriteFileAtomic(failed + u".err", o.error + "\n");
      std::fprintf(stderr, "terminal64.exe: import of %s rejected: %s\n", Narrow(name).c_str(), o.error.c_str());
    }
    outcomes.push_back(std::move(o));
  }
  return outcomes;
}

}  // namespace zk5::term
