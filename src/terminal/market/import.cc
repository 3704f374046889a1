#include "market/import.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

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
// Whole numbers from here on in a time column are milliseconds (the year
// 5138 in seconds, 1973 in milliseconds).
constexpr std::int64_t kMillisecondsFrom = 100000000000;

// The standard timeframes bars are imported in, minutes and names.
struct NamedTimeframe {
  int minutes;
  const char* name;
};
constexpr NamedTimeframe kTimeframes[] = {
    {1, "M1"},   {2, "M2"},   {3, "M3"},   {4, "M4"},    {5, "M5"},   {6, "M6"},   {10, "M10"},
    {12, "M12"}, {15, "M15"}, {20, "M20"}, {30, "M30"},  {60, "H1"},  {120, "H2"}, {180, "H3"},
    {240, "H4"}, {360, "H6"}, {480, "H8"}, {720, "H12"}, {1440, "D1"}};
constexpr int kTimeframeCount = sizeof kTimeframes / sizeof kTimeframes[0];

int TimeframeIndex(std::int64_t minutes) {
  for (int i = 0; i < kTimeframeCount; ++i) {
    if (kTimeframes[i].minutes == minutes) return i;
  }
  return -1;
}

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

// The length of the UTF-8 sequence at p (1 to 4), 0 when there is none.
std::size_t Utf8Sequence(const char* p, const char* e) {
  const auto c = static_cast<unsigned char>(*p);
  std::size_t n;
  std::uint32_t least;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, least = 0x10000;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(e - p) < n) return 0;
  std::uint32_t v = c & (0x3F >> (n - 1));
  for (std::size_t i = 1; i < n; ++i) {
    const auto k = static_cast<unsigned char>(p[i]);
    if ((k & 0xC0) != 0x80) return 0;
    v = (v << 6) | (k & 0x3F);
  }
  if (v < least || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  return n;
}

// One line's fields, cut at the separator, without surrounding blanks or
// double quotes.
constexpr int kMaxFields = 32;
struct Fields {
  const char* begin[kMaxFields];
  const char* end[kMaxFields];
  int count = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits [p, e) into at most kMaxFields fields; false when there are more.
bool Split(const char* p, const char* e, char sep, Fields* f) {
  f->count = 0;
  for (;;) {
    const char* q = static_cast<const char*>(std::memchr(p, sep, static_cast<std::size_t>(e - p)));
    const char* stop = q != nullptr ? q : e;
    if (f->count == kMaxFields) return false;
    const char* b = p;
    const char* z = stop;
    while (b < z && IsBlank(*b)) ++b;
    while (z > b && IsBlank(z[-1])) --z;
    if (z - b >= 2 && *b == '"' && z[-1] == '"') ++b, --z;
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

// `least` to `most` digits.
bool SomeDigits(const char*& p, const char* e, int least, int most, std::int64_t* v) {
  std::int64_t x = 0;
  int n = 0;
  while (p < e && *p >= '0' && *p <= '9' && n < most) x = x * 10 + (*p++ - '0'), ++n;
  *v = x;
  return n >= least && !(p < e && *p >= '0' && *p <= '9');
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

bool ValidDate(std::int64_t y, std::int64_t mo, std::int64_t d) {
  static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1]) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return !(mo == 2 && d == 29 && !leap);
}

// A date at p: YYYY-MM-DD, YYYY.MM.DD, YYYY/MM/DD or YYYYMMDD, or with
// `order` 'd' / 'm' DD.MM.YYYY / MM/DD/YYYY (any of the three
// separators); as days since 1970. `*ambiguous` when it is the latter
// without an order.
bool ParseDate(const char*& p, const char* e, char order, std::int64_t* days, bool* ambiguous) {
  const char* start = p;
  int n = 0;
  while (p + n < e && p[n] >= '0' && p[n] <= '9') ++n;
  std::int64_t y = 0, mo = 0, d = 0;
  if (n == 8) {
    if (!Digits(p, e, 4, &y) || !Digits(p, e, 2, &mo) || !Digits(p, e, 2, &d)) return false;
  } else if (n == 4) {
    Digits(p, e, 4, &y);
    if (p == e || (*p != '-' && *p != '.' && *p != '/')) return false;
    const char sep = *p++;
    if (!SomeDigits(p, e, 1, 2, &mo) || p == e || *p++ != sep || !SomeDigits(p, e, 1, 2, &d))
      return false;
  } else if (n == 1 || n == 2) {
    std::int64_t a = 0, b = 0;
    SomeDigits(p, e, 1, 2, &a);
    if (p == e || (*p != '-' && *p != '.' && *p != '/')) return false;
    const char sep = *p++;
    if (!SomeDigits(p, e, 1, 2, &b) || p == e || *p++ != sep || !SomeDigits(p, e, 4, 4, &y))
      return false;
    if (order == 0) {
      *ambiguous = true;
      p = start;
      return false;
    }
    d = order == 'd' ? a : b;
    mo = order == 'd' ? b : a;
  } else {
    return false;
  }
  if (!ValidDate(y, mo, d)) return false;
  *days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  return true;
}

// A time of day at p, H:MM[:SS[.f]] (up to nine fraction digits, those past
// the millisecond dropped), as milliseconds.
bool ParseClock(const char*& p, const char* e, std::int64_t* ms) {
  std::int64_t h, mi, s = 0, f = 0;
  if (!SomeDigits(p, e, 1, 2, &h) || p == e || *p++ != ':' || !Digits(p, e, 2, &mi)) return false;
  if (p < e && *p == ':') {
    ++p;
    if (!Digits(p, e, 2, &s)) return false;
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
    }
  }
  if (h > 23 || mi > 59 || s > 59) return false;
  *ms = ((h * 60 + mi) * 60 + s) * 1000 + f;
  return true;
}

// ISO 8601's zone at p, if any: Z for UTC, or an offset east of it,
// +HH:MM, +HHMM or +HH; `*zoned` whether there was one.
bool ParseZone(const char*& p, const char* e, std::int64_t* offset_min, bool* zoned) {
  *offset_min = 0;
  *zoned = false;
  if (p < e && (*p == 'Z' || *p == 'z')) {
    ++p;
    *zoned = true;
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
    *offset_min = (east ? 1 : -1) * (oh * 60 + om);
    *zoned = true;
  }
  return true;
}

// A date, optionally with a time of day (after a blank or 'T') and a zone.
bool ParseWhen(const char* p, const char* e, char order, std::int64_t* ms, bool* zoned,
               bool* date_only, bool* ambiguous) {
  std::int64_t days, clock = 0, offset = 0;
  if (!ParseDate(p, e, order, &days, ambiguous)) return false;
  *date_only = p == e;
  if (p < e && (*p == ' ' || *p == 'T' || *p == 't')) {
    ++p;
    while (p < e && *p == ' ') ++p;
    if (!ParseClock(p, e, &clock)) return false;
  } else if (p < e) {
    return false;
  }
  if (!ParseZone(p, e, &offset, zoned) || p != e) return false;
  *ms = days * 86400000 + clock - offset * 60000;
  return true;
}

}  // namespace

bool ParseDateTime(const char* p, const char* e, std::int64_t* ms, bool* seconds, bool* fraction) {
  // The strict form: year first with dashes, a time of day always.
  if (e - p < 16 || p[4] != '-' || p[7] != '-' || (p[10] != ' ' && p[10] != 'T')) return false;
  const char* colon = static_cast<const char*>(std::memchr(p + 11, ':', 3));
  if (colon == nullptr || colon != p + 13) return false;
  const char* after_minutes = p + 16;
  *seconds = after_minutes < e && *after_minutes == ':';
  *fraction = *seconds && after_minutes + 3 < e && after_minutes[3] == '.';
  bool zoned = false, date_only = false, ambiguous = false;
  return ParseWhen(p, e, 0, ms, &zoned, &date_only, &ambiguous);
}

std::string ShownText(const char* p, const char* e) {
  std::string out;
  out.reserve(static_cast<std::size_t>(e - p));
  auto hex = [&](unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  while (p < e) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) {
      hex(c);
      ++p;
    } else if (c == '\\') {
      out += "\\\\";
      ++p;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++p;
    } else {
      const std::size_t n = Utf8Sequence(p, e);
      if (n == 0) {
        hex(c);
        ++p;
      } else {
        out.append(p, n);
        p += n;
      }
    }
  }
  return out;
}

namespace {

std::string Quoted(const char* b, const char* e) { return "\"" + ShownText(b, e) + "\""; }

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

// What a column holds.
enum Role {
  kNoRole,
  kWhen,   // date and time, or seconds / milliseconds since 1970
  kDate,   // the date of a separate time column
  kClock,  // the time of day of a separate date column
  kOpen,
  kHigh,
  kLow,
  kClose,
  kTickVolume,
  kSpread,
  kRealVolume,
  kBid,
  kAsk,
  kLast,
  kVolume,  // of a trade tick
  kFlags,
  kIgnored,
  kRoleCount
};

const char* RoleName(int r) {
  static const char* const kNames[] = {
      "",       "time",        "date", "time", "open", "high",   "low",   "close",    "tick_volume",
      "spread", "real_volume", "bid",  "ask",  "last", "volume", "flags", "(ignored)"};
  return kNames[r];
}

// A header name reduced to its letters and digits, lower case: "Tick
// Volume", "tick_volume" and "<TICKVOLUME>" are one name.
std::string Reduced(const char* b, const char* e) {
  std::string out;
  for (; b < e; ++b) {
    char c = *b;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out += c;
  }
  return out;
}

// Reads a CSV text as it arrives (Feed), so that memory grows with the
// rows kept, never with the size of the text or its number of lines.
class Parser {
 public:
  Parser(const ImportKind& kind, int digits, const ImportOptions& options)
      : kind_known_(kind.known),
        kind_(kind.kind),
        bar_minutes_(kind.known ? kind.bar_minutes : 0),
        digits_(digits),
        options_(options) {
    size_ = kind_ == SegmentKind::kBars ? kStoredBarSize : kStoredQuoteSize;
    std::fill(std::begin(at_), std::end(at_), -1);
  }

  // The next bytes of the text; false once a fault is found (the rest
  // need not be read).
  bool Feed(const char* p, std::size_t n) {
    if (!started_ && n > 0) {
      started_ = true;
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      if (n >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {
        p += 3, n -= 3;  // an editor's byte-order mark
      } else if (n >= 2 && ((u[0] == 0xFF && u[1] == 0xFE) || (u[0] == 0xFE && u[1] == 0xFF))) {
        utf16_ = u[0] == 0xFF ? 1 : 2;
        p += 2, n -= 2;
      }
    }
    if (utf16_ == 0) return FeedText(p, n);
    Transcode(p, n);
    return FeedText(decoded_.data(), decoded_.size());
  }

  ParsedHistory Finish() {
    if (utf16_ != 0 && (odd_ >= 0 || high_ != 0)) {
      odd_ = -1;
      high_ = 0;
      decoded_ = "\xFF";  // a cut unit: shown as a fault at its place
      FeedText(decoded_.data(), decoded_.size());
    }
    if (!failed_ && !carry_.empty()) {
      Line(carry_.data(), carry_.data() + carry_.size());
      carry_.clear();
    }
    if (!failed_ && line_ == 0) {
      static const char kNothing[1] = {'\0'};
      Line(kNothing, kNothing);  // an empty file: no header
    }
    if (!failed_ && rows_ == 0) Bad(0, "no rows after the header");
    if (!failed_ && kind_ == SegmentKind::kBars) SettleTimeframe();
    if (failed_) return Fail();
    std::string(records_).swap(records_);  // no room kept beyond the rows
    Finish(rows_, size_);
    out_.records = std::move(records_);
    out_.ok = true;
    return std::move(out_);
  }

 private:
  // UTF-16 (LE 1, BE 2) into UTF-8 in decoded_; a unit that is no
  // character becomes the byte 0xFF, which the line's check reports.
  void Transcode(const char* p, std::size_t n) {
    decoded_.clear();
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    std::size_t i = 0;
    auto put = [&](std::uint32_t c) { text::AppendUtf8(decoded_, c); };
    for (;;) {
      unsigned a, b;
      if (odd_ >= 0) {
        if (i >= n) break;
        a = static_cast<unsigned>(odd_);
        b = u[i++];
        odd_ = -1;
      } else {
        if (i + 1 >= n) {
          if (i < n) odd_ = u[i];
          break;
        }
        a = u[i];
        b = u[i + 1];
        i += 2;
      }
      const std::uint32_t unit = utf16_ == 1 ? (a | (b << 8)) : ((a << 8) | b);
      if (high_ != 0) {
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
          put(0x10000 + ((high_ - 0xD800) << 10) + (unit - 0xDC00));
          high_ = 0;
          continue;
        }
        decoded_ += '\xFF';
        high_ = 0;
      }
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        high_ = unit;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        decoded_ += '\xFF';
      } else {
        put(unit);
      }
    }
  }

  bool FeedText(const char* p, std::size_t n) {
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

  void Line(const char* p, const char* e) {
    ++line_;
    if (static_cast<std::size_t>(e - p) > kMaxImportLineBytes) {
      Bad(line_, "the line is longer than " + std::to_string(kMaxImportLineBytes) + " bytes");
      return;
    }
    if (line_ == 1) {
      if (!BadText(p, e) && !Header(p, e)) failed_ = true;
      return;
    }
    const char* q = e;
    while (q > p && IsBlank(q[-1])) --q;
    if (q == p) return;  // an empty line
    std::uint8_t rec[kStoredBarSize > kStoredTradeSize ? kStoredBarSize : kStoredTradeSize];
    if (!(kind_ == SegmentKind::kBars ? BarRow(p, q, line_, rec) : TickRow(p, q, line_, rec))) {
      // What cannot be read as text is the fault to report, wherever it is.
      BadText(p, e);
      failed_ = true;
      return;
    }
    records_.append(reinterpret_cast<const char*>(rec), size_);
  }

  // Whether the line holds a byte that is no text (a NUL, a byte that is
  // not UTF-8 or, decoded from UTF-16, a lone surrogate); the fault then
  // names its column.
  bool BadText(const char* p, const char* e) {
    std::uint64_t column = 1;
    for (const char* q = p; q < e; ++column) {
      const auto c = static_cast<unsigned char>(*q);
      if (c == 0) {
        Bad(line_, "a NUL byte at column " + std::to_string(column) +
                       ": the file must be UTF-8, or UTF-16 with a byte-order mark");
        return true;
      }
      if (c < 0x80) {
        ++q;
        continue;
      }
      const std::size_t n = Utf8Sequence(q, e);
      if (n == 0) {
        if (utf16_ != 0) {
          Bad(line_, "a character at column " + std::to_string(column) +
                         " is not UTF-16 (a lone surrogate)");
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02X", c);
          Bad(line_, std::string("byte ") + hex + " at column " + std::to_string(column) +
                         " is not UTF-8: the file must be UTF-8, or UTF-16 with a byte-order "
                         "mark");
        }
        return true;
      }
      q += n;
    }
    return false;
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

  // The role a header name has by itself; "time", "date" and "volume"
  // are settled once all names are known.
  static int RoleOfName(const std::string& n, bool* ms) {
    struct Name {
      const char* name;
      int role;
    };
    static const Name kNames[] = {{"time", kWhen},
                                  {"datetime", kWhen},
                                  {"timestamp", kWhen},
                                  {"gmttime", kWhen},
                                  {"localtime", kWhen},
                                  {"timeutc", kWhen},
                                  {"datetimeutc", kWhen},
                                  {"date", kDate},
                                  {"timemsc", kWhen},
                                  {"open", kOpen},
                                  {"high", kHigh},
                                  {"low", kLow},
                                  {"close", kClose},
                                  {"tickvolume", kTickVolume},
                                  {"tickvol", kTickVolume},
                                  {"volume", kVolume},
                                  {"vol", kVolume},
                                  {"realvolume", kRealVolume},
                                  {"volumereal", kRealVolume},
                                  {"spread", kSpread},
                                  {"bid", kBid},
                                  {"ask", kAsk},
                                  {"last", kLast},
                                  {"flags", kFlags},
                                  {"adjclose", kIgnored},
                                  {"dividends", kIgnored},
                                  {"stocksplits", kIgnored}};
    *ms = n == "timemsc";
    for (const Name& k : kNames) {
      if (n == k.name) return k.role;
    }
    return kNoRole;
  }

  bool Header(const char* begin, const char* end) {
    // The separator is the commonest of the three in the header.
    const std::ptrdiff_t commas = std::count(begin, end, ','), semis = std::count(begin, end, ';'),
                         tabs = std::count(begin, end, '\t');
    sep_ = commas >= semis && commas >= tabs ? ',' : (semis >= tabs ? ';' : '\t');
    Fields f;
    if (!Split(begin, end, sep_, &f)) return Bad(1, "too many columns in the header");
    columns_ = f.count;
    std::vector<int> role(static_cast<std::size_t>(f.count), kNoRole);
    std::vector<std::string> names;
    bool has_time_msc = false, has_date = false, has_time = false;
    bool has_tick_volume = false, has_volume = false, has_open = false, has_bid = false;
    for (int i = 0; i < f.count; ++i) names.push_back(Reduced(f.begin[i], f.end[i]));
    // The mapping first: a named column has the role it is given.
    std::vector<bool> mapped(static_cast<std::size_t>(f.count), false);
    std::vector<bool> msc(static_cast<std::size_t>(f.count), false);  // time_msc
    bool map_date = false, map_time = false;
    for (const auto& m : options_.columns) {
      map_date = map_date || m.first == "date";
      map_time = map_time || m.first == "time";
    }
    for (const auto& m : options_.columns) {
      int found = -1;
      for (int i = 0; i < f.count && found < 0; ++i) {
        if (EqualNoCase(f.begin[i], f.end[i], m.second)) found = i;
      }
      if (found < 0) {
        return Bad(1, "the column " + Quoted(m.second.data(), m.second.data() + m.second.size()) +
                          " given for " + m.first + " is not in the header");
      }
      const auto at = static_cast<std::size_t>(found);
      bool ms = false;
      int r = RoleOfName(Reduced(m.first.data(), m.first.data() + m.first.size()), &ms);
      if (m.first == "time" && map_date) r = kClock;
      if (m.first == "date" && !map_time) r = kWhen, date_column_ = true;
      role[at] = r;
      mapped[at] = true;
      msc[at] = ms;
    }
    for (int i = 0; i < f.count; ++i) {
      const auto at = static_cast<std::size_t>(i);
      if (mapped[at]) continue;
      bool ms = false;
      const int r = RoleOfName(names[at], &ms);
      has_time_msc = has_time_msc || ms;
      has_date = has_date || (r == kDate && !map_date && !map_time);
      has_time = has_time || (names[at] == "time" && !map_date && !map_time);
      role[at] = r;
    }
    for (int i = 0; i < f.count; ++i) {
      const auto at = static_cast<std::size_t>(i);
      if (mapped[at]) continue;
      if (names[at] == "time") {
        // A tick's time in whole seconds beside time_msc (the exporter's
        // layout) says nothing more.
        role[at] = has_time_msc ? kIgnored : (has_date ? kClock : kWhen);
      } else if (role[at] == kWhen && names[at] == "timemsc") {
        msc[at] = true;
      } else if (role[at] == kDate && !has_time) {
        role[at] = kWhen;  // dates alone: bars of a day
        date_column_ = true;
      }
      if (!options_.columns.empty() && role[at] == kNoRole) role[at] = kIgnored;
    }
    for (int i = 0; i < f.count; ++i) {
      const int r = role[static_cast<std::size_t>(i)];
      has_tick_volume = has_tick_volume || r == kTickVolume;
      has_volume = has_volume || r == kVolume;
      has_open = has_open || r == kOpen;
      has_bid = has_bid || r == kBid;
    }
    if (!kind_known_) {
      kind_ = has_open || !has_bid ? SegmentKind::kBars : SegmentKind::kTicks;
      size_ = kind_ == SegmentKind::kBars ? kStoredBarSize : kStoredQuoteSize;
    }
    const bool bars = kind_ == SegmentKind::kBars;
    // The named columns first: a column the usual names give a role named
    // columns have is ignored.
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < f.count; ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (mapped[at] != (pass == 0)) continue;
        int& r = role[at];
        if (r == kNoRole) {
          return Bad(1, "the column " + Quoted(f.begin[i], f.end[i]) +
                            " is none of time, date, open, high, low, close, volume, spread, "
                            "real_volume, time_msc, bid, ask, last, flags: name the columns as "
                            "role=NAME with columns= (--columns, /import-columns:), which "
                            "ignores the others");
        }
        // Bars count ticks: a plain volume beside a tick volume is the
        // traded one. Ticks trade a volume: their real volume repeats it.
        if (bars && r == kVolume) r = has_tick_volume && !mapped[at] ? kRealVolume : kTickVolume;
        if (!bars && (r == kTickVolume || (r == kRealVolume && has_volume))) r = kIgnored;
        if (!bars && r == kRealVolume) r = kVolume;
        if (r == kIgnored) continue;
        if (pass == 1 && at_[r] >= 0 && mapped[static_cast<std::size_t>(at_[r])]) continue;
        if (pass == 1 && (map_time || map_date) && (r == kWhen || r == kDate || r == kClock))
          continue;
        if (at_[r] >= 0) {
          return Bad(1, std::string("two columns are ") + RoleName(r) + ": " +
                            Quoted(f.begin[at_[r]], f.end[at_[r]]) + " and " +
                            Quoted(f.begin[i], f.end[i]));
        }
        at_[r] = i;
      }
    }
    ms_ = at_[kWhen] >= 0 && msc[static_cast<std::size_t>(at_[kWhen])];
    numeric_time_ = at_[kWhen] >= 0 && !date_column_;
    const char* expected =
        bars ? "the header must name the columns time (or date and time), open, high, low, "
               "close[, volume, spread, real_volume]"
             : "the header must name the columns time_msc (or time, or date and time), bid, "
               "ask[, last, volume, flags]";
    const bool timed = at_[kWhen] >= 0 || (at_[kDate] >= 0 && at_[kClock] >= 0);
    if (!timed || (at_[kDate] >= 0) != (at_[kClock] >= 0) ||
        (bars && (at_[kOpen] < 0 || at_[kHigh] < 0 || at_[kLow] < 0 || at_[kClose] < 0 ||
                  at_[kBid] >= 0 || at_[kAsk] >= 0 || at_[kLast] >= 0 || at_[kFlags] >= 0)) ||
        (!bars && (at_[kBid] < 0 || at_[kAsk] < 0 || at_[kOpen] >= 0 || at_[kHigh] >= 0 ||
                   at_[kLow] >= 0 || at_[kClose] >= 0 || at_[kSpread] >= 0))) {
      return Bad(1, expected);
    }
    if (bars) {
      out_.header.columns = at_[kSpread] >= 0 || at_[kRealVolume] >= 0 ? kColumnsBarExtra : 0;
    } else {
      trades_ = at_[kLast] >= 0 || at_[kVolume] >= 0 || at_[kFlags] >= 0;
      if (trades_) size_ = kStoredTradeSize;
      out_.header.columns = trades_ ? kColumnsTickTrades : 0;
    }
    out_.header.kind = kind_;
    return true;
  }

  static bool EqualNoCase(const char* b, const char* e, const std::string& s) {
    if (static_cast<std::size_t>(e - b) != s.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
      char x = b[i], y = s[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
      if (x != y) return false;
    }
    return true;
  }

  const char* FieldBegin(const Fields& f, int role) const { return f.begin[at_[role]]; }
  const char* FieldEnd(const Fields& f, int role) const { return f.end[at_[role]]; }

  // The row's time in UTC milliseconds.
  bool Time(const Fields& f, std::uint64_t line, std::int64_t* ms) {
    // The common case inline: a number since 1970, seconds, or
    // milliseconds when named so or too many for seconds.
    std::int64_t v;
    if (numeric_time_ && ParseInt(f.begin[at_[kWhen]], f.end[at_[kWhen]], &v) &&
        (ms_ || v >= kMillisecondsFrom ? v : v * 1000) <= kLatestSec * 1000 + 999) {
      *ms = ms_ || v >= kMillisecondsFrom ? v : v * 1000;
      return true;
    }
    return AnyTime(f, line, ms);
  }

  bool AnyTime(const Fields& f, std::uint64_t line, std::int64_t* ms) {
    const char* name = kind_ == SegmentKind::kBars || !ms_ ? "time" : "time_msc";
    bool zoned = false, date_only = false, ambiguous = false;
    if (at_[kWhen] >= 0) {
      const char* b = f.begin[at_[kWhen]];
      const char* e = f.end[at_[kWhen]];
      std::int64_t v;
      // Eight digits in a date column are a date (20240304), else a number.
      if (ParseInt(b, e, &v) && !(date_column_ && e - b == 8)) {
        zoned = true;
        *ms = ms_ || v >= kMillisecondsFrom ? v : v * 1000;
      } else if (!ParseWhen(b, e, options_.date_order, ms, &zoned, &date_only, &ambiguous)) {
        if (ambiguous) return AmbiguousDate(b, e, line);
        return Bad(line, std::string(name) +
                             " is not seconds or milliseconds since 1970 or a date and time "
                             "like 2024-03-04 10:00[:00[.000]][Z|+HH:MM]: " +
                             Quoted(b, e));
      }
    } else {
      const char* b = f.begin[at_[kDate]];
      const char* e = f.end[at_[kDate]];
      std::int64_t days, clock;
      const char* p = b;
      if (!ParseDate(p, e, options_.date_order, &days, &ambiguous) || p != e) {
        if (ambiguous) return AmbiguousDate(b, e, line);
        return Bad(line,
                   "date is not a date like 2024-03-04, 2024.03.04 or 20240304: " + Quoted(b, e));
      }
      const char* tb = f.begin[at_[kClock]];
      const char* te = f.end[at_[kClock]];
      p = tb;
      if (!ParseClock(p, te, &clock) || p != te) {
        return Bad(line, "time is not a time of day like 10:00[:00[.000]]: " + Quoted(tb, te));
      }
      *ms = days * 86400000 + clock;
    }
    if (!zoned && !options_.zone.empty() && !date_only) {
      if (!ToUtc(*ms, ms)) {
        return Bad(line, std::string(name) + " " +
                             Quoted(FieldBegin(f, at_[kWhen] >= 0 ? kWhen : kDate),
                                    FieldEnd(f, at_[kWhen] >= 0 ? kWhen : kDate)) +
                             " does not exist in the time zone (its clocks moved past it)");
      }
    }
    if (*ms < 0) return Bad(line, std::string(name) + " is before 1970");
    if (*ms > kLatestSec * 1000 + 999)
      return Bad(line, std::string(name) + " is after the year 9999");
    return true;
  }

  bool AmbiguousDate(const char* b, const char* e, std::uint64_t line) {
    return Bad(line, "the date " + Quoted(b, e) +
                         " could be day/month/year or month/day/year: say which with "
                         "date_order=\"dmy\" or \"mdy\" (--dates, /import-dates:)");
  }

  // A local time (ms) in UTC, by the zone's offsets: a time the clocks
  // went back over twice is the earlier unless that is before the row
  // before; one they skipped is none.
  bool ToUtc(std::int64_t local, std::int64_t* utc) const {
    const auto& z = options_.zone;
    const std::int64_t day = 86400000;
    // The steps that can hold it lie within a day of it.
    std::size_t hi = static_cast<std::size_t>(
        std::upper_bound(z.begin(), z.end(), local + day,
                         [](std::int64_t v, const std::pair<std::int64_t, std::int32_t>& s) {
                           return v < s.first;
                         }) -
        z.begin());
    std::int64_t found[2];
    int n = 0;
    for (std::size_t i = hi; i-- > 0 && n < 2;) {
      const std::int64_t u = local - std::int64_t{z[i].second} * 1000;
      const bool inside = (i == 0 || u >= z[i].first) && (i + 1 == z.size() || u < z[i + 1].first);
      if (inside) found[n++] = u;
      if (i > 0 && z[i].first < local - 2 * day) break;
    }
    if (n == 0) return false;
    if (n == 1) {
      *utc = found[0];
      return true;
    }
    const std::int64_t early = std::min(found[0], found[1]), late = std::max(found[0], found[1]);
    const bool after = rows_ == 0 || (kind_ == SegmentKind::kBars ? early > last_time_ * 1000
                                                                  : early >= last_time_);
    *utc = after ? early : late;
    return true;
  }

  bool Price(const char* b, const char* e, std::uint64_t line, const char* name, std::int64_t* v) {
    int d = 0;
    if (!ParsePrice(b, e, v, &d) || *v <= 0) {
      return Bad(line, std::string(name) + " is not a positive number: " + Quoted(b, e));
    }
    max_decimals_ = std::max(max_decimals_, d);
    if (digits_ >= 0) {
      const std::int64_t unit = kPow10[kScaleDigits - digits_];
      *v = (*v + unit / 2) / unit;
    }
    return true;
  }

  bool Count(const char* b, const char* e, std::uint64_t line, const char* name, std::int64_t* v) {
    if (!ParseInt(b, e, v)) {
      return Bad(line, std::string(name) + " is not a whole number: " + Quoted(b, e));
    }
    return true;
  }

  // A volume: a whole number, or a decimal one rounded (downloaders write
  // 1234.0); empty is 0.
  bool Volume(const char* b, const char* e, std::uint64_t line, const char* name, std::int64_t* v) {
    if (b == e) {
      *v = 0;
      return true;
    }
    if (ParseInt(b, e, v)) return true;
    std::int64_t scaled;
    int d;
    if (!ParsePrice(b, e, &scaled, &d)) {
      return Bad(line, std::string(name) + " is not a whole number: " + Quoted(b, e));
    }
    *v = (scaled + kScale / 2) / kScale;
    return true;
  }

  bool BarRow(const char* p, const char* e, std::uint64_t line, std::uint8_t* rec) {
    Fields f;
    if (!Split(p, e, sep_, &f) || f.count != columns_) {
      return Bad(line, "expected " + std::to_string(columns_) + " columns");
    }
    Bar b;
    std::int64_t ms;
    if (!Time(f, line, &ms)) return false;
    const std::int64_t t = FloorDiv(ms, 1000);
    if (ms % 60000 != 0) return Bad(line, "time is not the start of a minute");
    if (bar_minutes_ > 1 && t % (bar_minutes_ * 60) != 0) {
      return Bad(line,
                 std::string("time is not the start of a ") + TimeframeName(bar_minutes_) + " bar");
    }
    if (rows_ > 0 && t <= last_time_) return Bad(line, "time is not later than the row before");
    if (!Price(FieldBegin(f, kOpen), FieldEnd(f, kOpen), line, "open", &b.open) ||
        !Price(FieldBegin(f, kHigh), FieldEnd(f, kHigh), line, "high", &b.high) ||
        !Price(FieldBegin(f, kLow), FieldEnd(f, kLow), line, "low", &b.low) ||
        !Price(FieldBegin(f, kClose), FieldEnd(f, kClose), line, "close", &b.close)) {
      return false;
    }
    if (b.high < std::max(b.open, b.close) || b.low > std::min(b.open, b.close)) {
      return Bad(line, "high and low do not contain open and close");
    }
    std::int64_t n = 0;
    if (at_[kTickVolume] >= 0 &&
        !Volume(FieldBegin(f, kTickVolume), FieldEnd(f, kTickVolume), line, "tick_volume", &n))
      return false;
    // 0 is no count given: the bar counts the ticks made for it, so that
    // it exists like any bar with ticks.
    const bool flat = b.open == b.high && b.open == b.low && b.open == b.close;
    b.tick_volume = n > 0 ? static_cast<std::uint64_t>(n) : (flat ? 1 : 4);
    if (at_[kSpread] >= 0 && FieldBegin(f, kSpread) != FieldEnd(f, kSpread)) {
      if (!Count(FieldBegin(f, kSpread), FieldEnd(f, kSpread), line, "spread", &n)) return false;
      if (n > 0x7FFFFFFF) return Bad(line, "spread is too large");
      b.spread = static_cast<std::int32_t>(n);
    }
    if (at_[kRealVolume] >= 0) {
      if (!Volume(FieldBegin(f, kRealVolume), FieldEnd(f, kRealVolume), line, "real_volume", &n))
        return false;
      b.real_volume = static_cast<std::uint64_t>(n);
    }
    b.time = t;
    PutBar(b, rec);
    if (rows_ > 0) {
      // The spacing of the bars tells their timeframe when nothing else does.
      const std::int64_t gap = (t - last_time_) / 60;
      min_gap_ = rows_ == 1 ? gap : std::min(min_gap_, gap);
      const int k = TimeframeIndex(gap);
      if (k >= 0) ++gaps_[k];
    }
    Span(t / 60);
    last_time_ = t;
    ++rows_;
    return true;
  }

  // Bars of an unnamed timeframe take the spacing most of them have, when
  // every bar opens on its boundary and none comes sooner; else minutes.
  void SettleTimeframe() {
    if (bar_minutes_ > 0) return;
    bar_minutes_ = 1;
    int best = -1;
    for (int k = 0; k < kTimeframeCount; ++k) {
      if (gaps_[k] > 0 && (best < 0 || gaps_[k] > gaps_[best])) best = k;
    }
    if (best < 0 || kTimeframes[best].minutes > min_gap_) return;
    const std::int64_t len = std::int64_t{kTimeframes[best].minutes} * 60;
    for (std::uint64_t i = 0; i < rows_; ++i) {
      std::int64_t t;
      std::memcpy(&t, records_.data() + i * size_, 8);
      if (t % len != 0) return;
    }
    bar_minutes_ = kTimeframes[best].minutes;
  }

  bool TickRow(const char* p, const char* e, std::uint64_t line, std::uint8_t* rec) {
    Fields f;
    if (!Split(p, e, sep_, &f) || f.count != columns_) {
      return Bad(line, "expected " + std::to_string(columns_) + " columns");
    }
    Tick t{};
    if (!Time(f, line, &t.time_msc)) return false;
    if (rows_ > 0 && t.time_msc < last_time_) {
      return Bad(line, std::string(ms_ ? "time_msc" : "time") + " is earlier than the row before");
    }
    // An empty bid or ask is unchanged (trading terminals export ticks so).
    const bool no_bid = FieldBegin(f, kBid) == FieldEnd(f, kBid) && rows_ > 0;
    const bool no_ask = FieldBegin(f, kAsk) == FieldEnd(f, kAsk) && rows_ > 0;
    t.bid = prev_bid_;
    t.ask = prev_ask_;
    if ((!no_bid && !Price(FieldBegin(f, kBid), FieldEnd(f, kBid), line, "bid", &t.bid)) ||
        (!no_ask && !Price(FieldBegin(f, kAsk), FieldEnd(f, kAsk), line, "ask", &t.ask))) {
      return false;
    }
    if (t.ask < t.bid) return Bad(line, "ask is below bid");
    if (trades_) {
      int d;
      std::int64_t v = 0;
      if (at_[kLast] >= 0 && FieldBegin(f, kLast) != FieldEnd(f, kLast) &&
          !(ParsePrice(FieldBegin(f, kLast), FieldEnd(f, kLast), &v, &d))) {
        return Bad(line,
                   "last is not a number: " + Quoted(FieldBegin(f, kLast), FieldEnd(f, kLast)));
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
      if (at_[kVolume] >= 0 && FieldBegin(f, kVolume) != FieldEnd(f, kVolume) &&
          !ParsePrice(FieldBegin(f, kVolume), FieldEnd(f, kVolume), &vol, &d)) {
        return Bad(line, "volume is not a number: " +
                             Quoted(FieldBegin(f, kVolume), FieldEnd(f, kVolume)));
      }
      t.volume = static_cast<double>(vol) / static_cast<double>(kScale);
      if (at_[kFlags] >= 0) {
        std::int64_t flags;
        if (!Count(FieldBegin(f, kFlags), FieldEnd(f, kFlags), line, "flags", &flags)) return false;
        if (flags > 0xFFFFFFFFLL) return Bad(line, "flags is too large");
        t.flags = static_cast<std::uint32_t>(flags);
      }
      // A tick must say what it changed, or no selection of ticks holds
      // it (flags of 0, as frames of zeros give): such flags are worked
      // out as for a file without them.
      constexpr std::uint32_t kKinds =
          kTickFlagBid | kTickFlagAsk | kTickFlagLast | kTickFlagVolume;
      if ((t.flags & kKinds) == 0) {
        t.flags |=
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
    out->header.bar_minutes =
        kind_ == SegmentKind::kBars ? static_cast<std::uint32_t>(bar_minutes_) : 1;
    // A bar covers its whole timeframe.
    out->header.last_minute = last_minute_ + (kind_ == SegmentKind::kBars ? bar_minutes_ - 1 : 0);
  }

  bool kind_known_;
  SegmentKind kind_;
  std::int64_t bar_minutes_;  // 0: from the bars' spacing
  int digits_;
  const ImportOptions& options_;
  std::size_t size_;
  ParsedHistory out_;
  std::string records_;  // in the stored layout
  std::string carry_;    // a line cut by the end of a piece
  std::string decoded_;  // a piece of UTF-16 text in UTF-8
  bool started_ = false;
  int utf16_ = 0;           // 1 little-endian, 2 big-endian
  int odd_ = -1;            // a byte of a unit cut by the end of a piece
  std::uint32_t high_ = 0;  // a high surrogate awaiting its pair
  std::uint64_t line_ = 0;
  bool failed_ = false;
  char sep_ = ',';
  int columns_ = 0;
  int at_[kRoleCount];         // the field of each role, -1 when none
  bool ms_ = false;            // whole numbers of the time column are milliseconds
  bool date_column_ = false;   // the time column is named date
  bool numeric_time_ = false;  // the time is one column, which may hold numbers
  bool trades_ = false;
  int max_decimals_ = 0;
  std::uint64_t rows_ = 0;
  std::int64_t last_time_ = 0;
  std::int64_t min_gap_ = 0;
  std::uint64_t gaps_[kTimeframeCount] = {};
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
  if (name.empty() || name.size() > kMaxSymbolUnits || name.find(u"..") != std::u16string::npos ||
      name == u".")
    return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u',' || c == u'*' ||
        c == u'!' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|') {
      return false;
    }
  }
  return true;
}

int TimeframeMinutes(const std::u16string& name) {
  for (const NamedTimeframe& t : kTimeframes) {
    std::u16string n;
    for (const char* c = t.name; *c != '\0'; ++c) n += static_cast<char16_t>(*c);
    if (n.size() == name.size() &&
        std::equal(n.begin(), n.end(), name.begin(), [](char16_t a, char16_t b) {
          return a == (b >= u'a' && b <= u'z' ? static_cast<char16_t>(b - 32) : b);
        })) {
      return t.minutes;
    }
  }
  return 0;
}

const char* TimeframeName(std::int64_t minutes) {
  const int k = TimeframeIndex(minutes);
  return k >= 0 ? kTimeframes[k].name : nullptr;
}

bool ImportFileName(const std::u16string& file_name, std::u16string* symbol, ImportKind* kind) {
  if (!EndsWith(file_name, u".csv", 4)) return false;
  std::u16string stem = file_name.substr(0, file_name.size() - 4);
  *kind = ImportKind();
  const std::size_t dot = stem.rfind(u'.');
  const std::u16string tail = dot == std::u16string::npos ? u"" : stem.substr(dot + 1);
  if (dot != std::u16string::npos && EndsWith(tail, u"ticks", 5) && tail.size() == 5) {
    kind->kind = SegmentKind::kTicks;
    stem.resize(dot);
  } else if (const int minutes = dot != std::u16string::npos ? TimeframeMinutes(tail) : 0;
             minutes > 0) {
    kind->bar_minutes = minutes;
    stem.resize(dot);
  } else {
    kind->known = false;  // the header and the times tell
  }
  *symbol = stem;
  return IsSymbolName(*symbol);
}

namespace {

std::string Trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  if (e - b >= 2 && s[b] == '"' && s[e - 1] == '"') ++b, --e;
  return s.substr(b, e - b);
}

}  // namespace

bool ParseImportColumns(const std::string& text, ImportOptions* o, std::string* error) {
  static const char* const kRoles[] = {"time",     "date",   "open",        "high",   "low",
                                       "close",    "volume", "tick_volume", "spread", "real_volume",
                                       "time_msc", "bid",    "ask",         "last",   "flags"};
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const std::string pair = text.substr(at, comma - at);
    at = comma + 1;
    if (Trimmed(pair).empty()) continue;
    const std::size_t eq = pair.find('=');
    std::string role = eq == std::string::npos ? "" : Trimmed(pair.substr(0, eq));
    for (char& c : role) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    const std::string name = eq == std::string::npos ? "" : Trimmed(pair.substr(eq + 1));
    if (std::find_if(std::begin(kRoles), std::end(kRoles),
                     [&](const char* r) { return role == r; }) == std::end(kRoles) ||
        name.empty()) {
      *error = "the columns option is not role=name,...: " +
               Quoted(pair.data(), pair.data() + pair.size()) +
               " (roles: time, date, open, high, low, close, volume, tick_volume, spread, "
               "real_volume, time_msc, bid, ask, last, flags)";
      return false;
    }
    for (const auto& m : o->columns) {
      if (m.first == role) {
        *error = "the columns option names " + role + " twice";
        return false;
      }
    }
    o->columns.emplace_back(role, name);
  }
  return true;
}

bool ParseImportZone(const std::string& text, ImportOptions* o, std::string* error) {
  o->zone.clear();
  std::size_t at = 0;
  bool first = true;
  while (at <= text.size()) {
    std::size_t semi = text.find(';', at);
    if (semi == std::string::npos) semi = text.size();
    const std::string step = text.substr(at, semi - at);
    at = semi + 1;
    std::int64_t from = std::numeric_limits<std::int64_t>::min(), offset = 0;
    const std::size_t colon = step.find(':');
    const std::string off_text =
        first ? step : (colon == std::string::npos ? "" : step.substr(colon + 1));
    bool ok = first ? colon == std::string::npos : colon != std::string::npos;
    if (ok && !first) ok = text::ParseDecimal(step.substr(0, colon), &from);
    if (ok) ok = text::ParseDecimal(off_text, &offset) && offset > -86400 && offset < 86400;
    if (ok && !o->zone.empty()) ok = from > o->zone.back().first;
    if (!ok) {
      *error = "the time zone is not OFFSET[;FROM_MS:OFFSET...] in seconds east of UTC: " +
               Quoted(step.data(), step.data() + step.size());
      o->zone.clear();
      return false;
    }
    o->zone.emplace_back(from, static_cast<std::int32_t>(offset));
    first = false;
  }
  return true;
}

bool ParseImportDateOrder(const std::string& text, ImportOptions* o, std::string* error) {
  std::string t = text;
  for (char& c : t) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (t == "dmy" || t == "mdy") {
    o->date_order = t[0];
    return true;
  }
  *error = "the date order is not dmy or mdy: " + Quoted(text.data(), text.data() + text.size());
  return false;
}

ParsedHistory ParseHistoryCsv(const std::string& text, const ImportKind& kind,
                              const std::u16string& symbol, int digits,
                              const ImportOptions& options) {
  Parser parser(kind, digits, options);
  parser.Feed(text.data(), text.size());
  ParsedHistory out = parser.Finish();
  out.header.symbol = symbol;
  return out;
}

namespace {

// Reads and parses an open file piece by piece.
ParsedHistory ParseFile(os::FileHandle file, const ImportKind& kind, const std::u16string& symbol,
                        int digits, const ImportOptions& options, bool* read_error,
                        const std::function<void(std::size_t)>& read = nullptr) {
  Parser parser(kind, digits, options);
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
    ImportKind kind;
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

std::vector<ImportOutcome> ImportFolder(
    const std::u16string& data, int (*existing_digits)(const std::u16string&),
    const std::vector<std::pair<std::u16string, ImportOptions>>* options,
    const ImportObserver& observer) {
  static const ImportOptions kNoOptions;
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
    ImportKind kind;
    const ImportOptions* opts = &kNoOptions;
    if (options != nullptr) {
      for (const auto& o2 : *options) {
        if (o2.first == name) opts = &o2.second;
      }
    }
    os::FileHandle file = os::kInvalidFile;
    std::uint64_t size = 0;
    bool retry = false;  // a good file the disk had no room for
    if (!ImportFileName(name, &symbol, &kind)) {
      o.error =
          "the file name is not <SYMBOL>.csv, <SYMBOL>.<TIMEFRAME>.csv or <SYMBOL>.ticks.csv with "
          "a "
          "symbol name (at most " +
          std::to_string(kMaxSymbolUnits) +
          " characters, no path separators, not \".\", no \"..\")";
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
      const ParsedHistory parsed = ParseFile(file, kind, symbol, existing_digits(symbol), *opts,
                                             &read_error, [&](std::size_t got) {
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
          o.kind = parsed.header.kind;
          o.bar_minutes = parsed.header.bar_minutes;
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
