// The group mask matcher against a plain restatement of its rules, and the
// filter over a block of records. Input: a mode byte, then UTF-16 units
// (two bytes each, or one byte mapped onto the mask's special characters
// so that patterns actually match), split into mask and symbols at a unit
// 0xFFFF / the byte 0xFF.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ipc/group_filter.h"

namespace {

using namespace zk5;
using ipc::kMaxPatternUnits;
using ipc::kSymbolFieldUnits;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Whole-string wildcard match by dynamic programming: `*` any run of units.
// Symbols are at most kSymbolFieldUnits - 1 units.
bool RefPattern(const std::u16string& p, const std::u16string& s) {
  bool row[kSymbolFieldUnits + 1] = {true};
  bool next[kSymbolFieldUnits + 1] = {};
  for (char16_t pc : p) {
    next[0] = pc == u'*' && row[0];
    for (std::size_t j = 1; j <= s.size(); ++j) {
      next[j] = pc == u'*' ? (next[j - 1] || row[j]) : (row[j - 1] && s[j - 1] == pc);
    }
    std::memcpy(row, next, sizeof row);
  }
  return row[s.size()];
}

// A pattern as MatchPattern takes it: one that is empty (after its `!`s)
// matches every symbol.
bool RefWhole(const std::u16string& p, const std::u16string& s) {
  return p.empty() || RefPattern(p, s);
}

// The mask rules as documented in ipc/group_filter.h.
bool RefGroup(const std::u16string& mask, const std::u16string& symbol) {
  bool positive = false, negative = false;
  std::size_t i = 0;
  while (i < mask.size()) {
    if (mask[i] == u' ' || mask[i] == u',') {
      ++i;
      continue;
    }
    std::u16string pat;
    while (i < mask.size() && mask[i] != u',' && pat.size() < kMaxPatternUnits) pat += mask[i++];
    if (i < mask.size()) ++i;  // the comma, or the unit after an over-long pattern
    while (!pat.empty() && pat.back() == u' ') pat.pop_back();
    std::size_t bang = 0;
    while (bang < pat.size() && pat[bang] == u'!') ++bang;
    const bool matches = RefWhole(pat.substr(bang), symbol);
    if (matches && bang > 0) negative = true;
    if (matches && bang == 0) positive = true;
  }
  return positive && !negative;
}

constexpr char16_t kAlphabet[] = {u'A', u'B', u'*', u'!', u',', u' ', 0x00E9, 0xD83D};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool wide = data[0] & 1;
  std::vector<std::u16string> parts(1);
  for (std::size_t i = 1; i < size;) {
    char16_t u;
    bool split;
    if (wide) {
      if (i + 1 >= size) break;
      u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
      i += 2;
      split = u == 0xFFFF;
    } else {
      split = data[i] == 0xFF;
      u = kAlphabet[data[i] % (sizeof kAlphabet / sizeof kAlphabet[0])];
      ++i;
    }
    if (split) {
      parts.emplace_back();
    } else if (u != 0) {
      parts.back() += u;
    }
  }
  const std::u16string& mask = parts[0];
  // Symbols: the other parts, cut to what a wchar[32] field holds.
  std::vector<std::u16string> symbols(parts.begin() + 1, parts.end());
  for (auto& s : symbols) s.resize(std::min<std::size_t>(s.size(), kSymbolFieldUnits - 1));
  if (symbols.size() > 4) symbols.resize(4);

  for (const auto& s : symbols) {
    if (ipc::MatchGroup(mask.c_str(), s.c_str()) != RefGroup(mask, s)) Fail("MatchGroup");
    if (mask.size() <= kMaxPatternUnits && mask.find(u'!') == std::u16string::npos &&
        ipc::MatchPattern(mask.c_str(), s.c_str()) != RefWhole(mask, s)) {
      Fail("MatchPattern");
    }
  }

  // The filter over records of 70 bytes with the symbol at offset 3.
  constexpr std::size_t kRecord = 70, kOffset = 3;
  std::uint32_t count = static_cast<std::uint32_t>(symbols.size());
  auto* block = static_cast<std::uint8_t*>(::operator new(count* kRecord, std::nothrow));
  if (block == nullptr) std::abort();
  std::memset(block, 0xAB, count * kRecord);
  std::uint32_t expected = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint8_t* field = block + k * kRecord + kOffset;
    std::memset(field, 0, 2 * kSymbolFieldUnits);
    std::memcpy(field, symbols[k].data(), 2 * symbols[k].size());
    field[kRecord - kOffset - 1] = static_cast<std::uint8_t>(k);  // a tag after the field
    if (RefGroup(mask, symbols[k])) ++expected;
  }
  void* out = block;
  if (ipc::FilterByGroup(mask.c_str(), &out, &count, kRecord, kOffset) != 1) Fail("filter");
  if (count != expected) Fail("filter count");
  // Kept records arrive whole and in their order.
  int last = -1;
  for (std::uint32_t k = 0; k < count; ++k) {
    const auto* r = static_cast<const std::uint8_t*>(out) + k * kRecord;
    const int tag = r[kRecord - 1];
    if (tag <= last) Fail("filter order");
    last = tag;
  }
  ::operator delete(out);
  return 0;
}
