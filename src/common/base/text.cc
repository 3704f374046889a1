#include "base/text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>

namespace zk5::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (cp >> 10));
    out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
  }
}

// Bytes of the character a UTF-8 lead byte starts, judged by the lead
// alone; 1 for ASCII and for bytes that cannot lead.
std::size_t LeadLength(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 1;
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

struct LowerRun {
  std::uint16_t first;
  std::uint16_t last;
  std::uint8_t step;  // 1: every unit of the run; 2: every other one
  std::int32_t delta;
};

constexpr LowerRun kLowerRuns[] = {
#include "base/text_lower_table.inc"
};

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Utf16ToUtf8(const char16_t* s, std::size_t n) {
  std::string out;
  if (s == nullptr) return out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = s[i];
    if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(s[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{s[i + 1]} - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

namespace {

// Decodes the character starting at b[*i] (*i < n) into *cp and moves *i
// past it. False for an ill-formed piece: then *i stands after the bytes
// that formed it (the byte that broke it starts afresh).
bool DecodeUtf8(const unsigned char* b, std::size_t n, std::size_t* i, char32_t* cp) {
  const unsigned char lead = b[(*i)++];
  if (lead < 0x80) {
    *cp = lead;
    return true;
  }
  const std::size_t length = LeadLength(lead);
  if (length == 1) return false;  // stray continuation, C0/C1 or F5..FF
  char32_t v = lead & (0xFF >> (length + 1));
  // The second byte's range also rules out overlong forms (E0, F0),
  // surrogates (ED) and values above U+10FFFF (F4).
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead == 0xE0) lo = 0xA0;
  if (lead == 0xED) hi = 0x9F;
  if (lead == 0xF0) lo = 0x90;
  if (lead == 0xF4) hi = 0x8F;
  for (std::size_t k = 1; k < length; ++k) {
    if (*i >= n || b[*i] < lo || b[*i] > hi) return false;
    v = (v << 6) | (b[(*i)++] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  *cp = v;
  return true;
}

// The byte an escaping surrogate (U+DC80..U+DCFF) stands for.
constexpr char16_t kEscapeBase = 0xDC00;
bool IsEscape(char16_t u) { return u >= 0xDC80 && u <= 0xDCFF; }

}  // namespace

std::u16string Utf8ToUtf16(const char* s, std::size_t n) {
  std::u16string out;
  if (s == nullptr) return out;
  out.reserve(n);
  const auto* b = reinterpret_cast<const unsigned char*>(s);
  std::size_t i = 0;
  while (i < n) {
    char32_t cp = 0;
    AppendUtf16(out, DecodeUtf8(b, n, &i, &cp) ? cp : kReplacement);
  }
  return out;
}

std::u16string FsDecode(const char* s, std::size_t n) {
  std::u16string out;
  if (s == nullptr) return out;
  out.reserve(n);
  const auto* b = reinterpret_cast<const unsigned char*>(s);
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    char32_t cp = 0;
    if (DecodeUtf8(b, n, &i, &cp)) {
      AppendUtf16(out, cp);
    } else {
      // Only the first byte is escaped: the rest of an ill-formed piece are
      // continuation bytes, which are escaped one by one in their turn.
      out += static_cast<char16_t>(kEscapeBase + b[start]);
      i = start + 1;
    }
  }
  return out;
}

bool FsEncode(const char16_t* s, std::size_t n, std::string* out) {
  out->clear();
  if (s == nullptr) return n == 0;
  out->reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = s[i];
    if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(s[i + 1])) {
      AppendUtf8(*out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{s[i + 1]} - 0xDC00));
      ++i;
    } else if (IsEscape(u)) {
      *out += static_cast<char>(u - kEscapeBase);
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      out->clear();
      return false;
    } else {
      AppendUtf8(*out, u);
    }
  }
  return true;
}

std::size_t Utf8CutLength(const char* s, std::size_t len, std::size_t max_bytes) {
  if (len <= max_bytes) return len;
  if (s == nullptr) return 0;
  const auto* b = reinterpret_cast<const unsigned char*>(s);
  // b[max_bytes] is the first byte cut off. If it continues a character,
  // that character's lead lies at most three bytes back.
  std::size_t lead = max_bytes;
  while (lead > 0 && max_bytes - lead < 3 && IsContinuation(b[lead])) --lead;
  if (lead < max_bytes && !IsContinuation(b[lead]) && lead + LeadLength(b[lead]) > max_bytes) {
    return lead;
  }
  return max_bytes;
}

char16_t SimpleLower(char16_t u) {
  if (u < 0x80) return (u >= u'A' && u <= u'Z') ? static_cast<char16_t>(u + 32) : u;
  // The last run whose first unit is not above u.
  const LowerRun* run = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), u,
                                         [](char16_t v, const LowerRun& r) { return v < r.first; });
  if (run == std::begin(kLowerRuns)) return u;
  --run;
  if (u > run->last || (u - run->first) % run->step != 0) return u;
  return static_cast<char16_t>(u + run->delta);
}

void LowerInPlace(char16_t* s, std::size_t n) {
  if (s == nullptr) return;
  for (std::size_t i = 0; i < n; ++i) s[i] = SimpleLower(s[i]);
}

namespace {

template <typename T>
bool ParseDecimalAs(const std::string& s, T* out) {
  const char* p = s.data();
  const char* end = p + s.size();
  while (p != end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  if (p != end && *p == '+') ++p;
  if (p == end || *p == '+') return false;
  T value{};
  const auto [stop, ec] = std::from_chars(p, end, value);
  if (ec != std::errc() || stop != end) return false;
  *out = value;
  return true;
}

}  // namespace

bool ParseDecimal(const std::string& s, std::int64_t* out) { return ParseDecimalAs(s, out); }
bool ParseDecimal(const std::string& s, std::uint64_t* out) { return ParseDecimalAs(s, out); }

void Wipe(char16_t* s, std::size_t n) {
  if (s == nullptr) return;
  volatile char16_t* p = s;
  for (std::size_t i = 0; i < n; ++i) p[i] = 0;
}

}  // namespace zk5::text
