#include "ipc/group_filter.h"

#include <cstring>
#include <limits>
#include <new>

namespace zk5::ipc {
namespace {

constexpr char16_t kStar = u'*';
constexpr char16_t kNot = u'!';
constexpr char16_t kComma = u',';
constexpr char16_t kSpace = u' ';

}  // namespace

bool MatchPattern(const char16_t* pattern, const char16_t* symbol) {
  if (pattern == nullptr || symbol == nullptr) return false;
  const char16_t* p = pattern;
  while (*p == kNot) ++p;
  // A bare "!" (or nothing) matches everything, so a lone "!" in a mask
  // excludes every symbol.
  if (*p == 0) return true;

  const char16_t* s = symbol;
  // One back-up point: the pattern position after the latest star run and
  // the symbol position that star currently absorbs up to. On a mismatch the
  // star takes one more symbol unit and the segment after it is tried again,
  // so work stays bounded by pattern x symbol length.
  const char16_t* seg = nullptr;
  const char16_t* retry = nullptr;
  while (*s != 0) {
    if (*p == kStar) {
      while (*p == kStar) ++p;
      if (*p == 0) return true;
      seg = p;
      retry = s;
    } else if (*p != 0 && *p == *s) {
      ++p;
      ++s;
    } else if (seg != nullptr) {
      p = seg;
      s = ++retry;
    } else {
      return false;
    }
  }
  while (*p == kStar) ++p;
  return *p == 0;
}

bool MatchGroup(const char16_t* mask, const char16_t* symbol) {
  if (mask == nullptr || symbol == nullptr) return false;
  bool selected = false;
  const char16_t* m = mask;
  while (*m != 0) {
    if (*m == kSpace || *m == kComma) {
      ++m;
      continue;
    }
    char16_t pattern[kMaxPatternUnits + 1];
    std::size_t n = 0;
    while (*m != 0 && *m != kComma && n < kMaxPatternUnits) pattern[n++] = *m++;
    // Steps over the comma; after an over-long pattern this drops the unit
    // that did not fit.
    if (*m != 0) ++m;
    while (n > 0 && pattern[n - 1] == kSpace) --n;
    pattern[n] = 0;

    const bool negative = pattern[0] == kNot;
    // Once selected, further positive patterns cannot change the outcome;
    // only a negative one still can.
    if (!negative && selected) continue;
    if (MatchPattern(pattern, symbol)) {
      if (negative) return false;
      selected = true;
    }
  }
  return selected;
}

std::int32_t FilterByGroup(const char16_t* mask, void** block, std::uint32_t* count,
                           std::size_t record_size, std::size_t symbol_offset) {
  constexpr std::size_t kFieldBytes = kSymbolFieldUnits * sizeof(char16_t);
  if (mask == nullptr || block == nullptr || count == nullptr) {
    return kGroupFilterFailed;
  }
  if (symbol_offset > record_size || record_size - symbol_offset < kFieldBytes) {
    return kGroupFilterFailed;
  }
  const std::uint32_t total = *count;
  if (total == 0) return kSuccess;
  if (*block == nullptr) return kGroupFilterFailed;

  void* fresh = nullptr;
  if (record_size <= std::numeric_limits<std::size_t>::max() / total) {
    fresh = ::operator new(record_size* total, std::nothrow);
  }
  std::uint32_t kept = 0;
  if (fresh != nullptr) {
    const auto* in = static_cast<const unsigned char*>(*block);
    auto* out = static_cast<unsigned char*>(fresh);
    for (std::uint32_t i = 0; i < total; ++i) {
      const unsigned char* record = in + i * record_size;
      // The field is NUL-terminated inside its 32 units; the extra unit
      // bounds a field that is not.
      char16_t symbol[kSymbolFieldUnits + 1];
      std::memcpy(symbol, record + symbol_offset, kFieldBytes);
      symbol[kSymbolFieldUnits] = 0;
      if (MatchGroup(mask, symbol)) {
        std::memcpy(out + kept * record_size, record, record_size);
        ++kept;
      }
    }
  }
  ::operator delete(*block);
  *block = fresh;
  *count = kept;
  return fresh != nullptr ? kSuccess : kGroupFilterFailed;
}

}  // namespace zk5::ipc
