#include "ipc/group_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace zk5::ipc {
namespace {

// Readable text in failure messages: ASCII as is, other units as \uXXXX.
std::string Show(const std::u16string& s) {
  std::string out = "\"";
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out + "\"";
}

// ---------------------------------------------------------------------------
// Reference matchers: straightforward and obviously right, slow is fine.

// Whole-text wildcard match by dynamic programming over (pattern, symbol)
// prefixes; leading '!'s are skipped and an empty rest matches everything.
bool RefPattern(const std::u16string& pattern, const std::u16string& symbol) {
  std::size_t start = 0;
  while (start < pattern.size() && pattern[start] == u'!') ++start;
  const std::u16string p = pattern.substr(start);
  if (p.empty()) return true;
  const std::size_t m = p.size(), n = symbol.size();
  // ok[i][j]: p[0, i) matches symbol[0, j).
  std::vector<std::vector<bool>> ok(m + 1, std::vector<bool>(n + 1, false));
  ok[0][0] = true;
  for (std::size_t i = 1; i <= m; ++i) {
    for (std::size_t j = 0; j <= n; ++j) {
      if (p[i - 1] == u'*') {
        ok[i][j] = ok[i - 1][j] || (j > 0 && ok[i][j - 1]);
      } else {
        ok[i][j] = j > 0 && ok[i - 1][j - 1] && p[i - 1] == symbol[j - 1];
      }
    }
  }
  return ok[m][n];
}

// Mask semantics written as set logic over the comma-separated pieces
// (patterns here are always shorter than the 255-unit limit).
bool RefGroup(const std::u16string& mask, const std::u16string& symbol) {
  bool any_positive = false;
  std::size_t pos = 0;
  while (pos <= mask.size()) {
    std::size_t comma = mask.find(u',', pos);
    if (comma == std::u16string::npos) comma = mask.size();
    std::u16string piece = mask.substr(pos, comma - pos);
    pos = comma + 1;
    const std::size_t first = piece.find_first_not_of(u' ');
    if (first == std::u16string::npos) continue;
    piece = piece.substr(first, piece.find_last_not_of(u' ') - first + 1);
    const bool matched = RefPattern(piece, symbol);
    if (piece[0] == u'!') {
      if (matched) return false;
    } else if (matched) {
      any_positive = true;
    }
  }
  return any_positive;
}

// ---------------------------------------------------------------------------
// MatchPattern

struct PatternCase {
  const char16_t* pattern;
  const char16_t* symbol;
  bool expected;
};

void PrintTo(const PatternCase& c, std::ostream* os) {
  *os << Show(c.pattern) << " on " << Show(c.symbol);
}

class MatchPatternTest : public ::testing::TestWithParam<PatternCase> {};

TEST_P(MatchPatternTest, MatchesLikeAWildcard) {
  const PatternCase& c = GetParam();
  EXPECT_EQ(MatchPattern(c.pattern, c.symbol), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchPatternTest,
    ::testing::Values(
        // A star segment may start inside units a failed attempt consumed.
        PatternCase{u"*AA", u"AAA", true}, PatternCase{u"*AAB", u"AAAB", true},
        PatternCase{u"*ABAC", u"ABABAC", true}, PatternCase{u"A*AAB", u"AAAAB", true},
        PatternCase{u"*USD", u"USDUSD", true}, PatternCase{u"EUR*", u"EUR", true},
        PatternCase{u"A*C", u"ABCBC", true}, PatternCase{u"A*C", u"ABCB", false},
        PatternCase{u"*", u"EURUSD", true}, PatternCase{u"***", u"X", true},
        PatternCase{u"EUR*USD", u"EURUSD", true}, PatternCase{u"E*R*D", u"EURUSD", true},
        PatternCase{u"E*X*D", u"EURUSD", false}, PatternCase{u"EURUSD", u"EURUSD", true},
        PatternCase{u"EURUSD", u"EURUSDX", false}, PatternCase{u"EURUSD", u"EURUS", false},
        PatternCase{u"eurusd", u"EURUSD", false}, PatternCase{u"EUR USD", u"EUR USD", true},
        PatternCase{u"EUR USD", u"EURUSD", false},
        // '?' is an ordinary unit, not a one-unit wildcard.
        PatternCase{u"EUR?SD", u"EURUSD", false}, PatternCase{u"EUR?SD", u"EUR?SD", true},
        // Leading '!'s are the caller's business; an empty rest matches all.
        PatternCase{u"!EUR*", u"EURUSD", true}, PatternCase{u"!!!EUR*", u"EURUSD", true},
        PatternCase{u"!", u"EURUSD", true}, PatternCase{u"", u"EURUSD", true},
        PatternCase{u"A!B", u"A!B", true},
        // Empty symbol: only star-only (or empty) patterns match.
        PatternCase{u"*", u"", true}, PatternCase{u"!**", u"", true},
        PatternCase{u"A*", u"", false}, PatternCase{u"*A", u"", false},
        // Non-ASCII units compare exactly.
        PatternCase{u"\u00c4*", u"\u00c4BC", true}, PatternCase{u"\u00e4*", u"\u00c4BC", false},
        PatternCase{u"*\U0001F600", u"X\U0001F600", true}));

TEST(MatchPattern, NullGivesFalse) {
  EXPECT_FALSE(MatchPattern(nullptr, u"EURUSD"));
  EXPECT_FALSE(MatchPattern(u"*", nullptr));
  EXPECT_FALSE(MatchPattern(nullptr, nullptr));
}

// Work is bounded: a star-heavy pattern against a long near-miss finishes
// (an exponential backtracker would not).
TEST(MatchPattern, StarHeavyNearMissIsFast) {
  const std::u16string symbol(4000, u'A');
  std::u16string pattern;
  for (int i = 0; i < 100; ++i) pattern += u"*A";
  pattern += u"B";
  EXPECT_FALSE(MatchPattern(pattern.c_str(), symbol.c_str()));
  EXPECT_TRUE(MatchPattern(pattern.substr(0, pattern.size() - 1).c_str(), symbol.c_str()));
}

// ---------------------------------------------------------------------------
// MatchGroup

struct GroupCase {
  const char16_t* mask;
  const char16_t* symbol;
  bool expected;
};

void PrintTo(const GroupCase& c, std::ostream* os) {
  *os << Show(c.mask) << " on " << Show(c.symbol);
}

class MatchGroupTest : public ::testing::TestWithParam<GroupCase> {};

TEST_P(MatchGroupTest, SelectsLikeTheMask) {
  const GroupCase& c = GetParam();
  EXPECT_EQ(MatchGroup(c.mask, c.symbol), c.expected);
  // The reference agrees on every listed case.
  EXPECT_EQ(RefGroup(c.mask, c.symbol), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchGroupTest,
    ::testing::Values(
        GroupCase{u"*", u"EURUSD", true}, GroupCase{u"*", u"X", true},
        GroupCase{u"*,!X", u"X", false}, GroupCase{u"*,!X", u"XY", true},
        GroupCase{u"*,!X", u"EURUSD", true}, GroupCase{u"EUR*,!EURUSD", u"EURGBP", true},
        GroupCase{u"EUR*,!EURUSD", u"EURUSD", false}, GroupCase{u"!EURUSD,EUR*", u"EURGBP", true},
        GroupCase{u"!EURUSD,EUR*", u"EURUSD", false}, GroupCase{u"!EUR*", u"EURUSD", false},
        GroupCase{u"!EUR*", u"GBPUSD", false}, GroupCase{u"", u"EURUSD", false},
        GroupCase{u"  , ,, ", u"EURUSD", false}, GroupCase{u"  EUR* ,  GBP*  ", u"EURUSD", true},
        GroupCase{u"  EUR* ,  GBP*  ", u"GBPJPY", true},
        GroupCase{u"  EUR* ,  GBP*  ", u"USDJPY", false}, GroupCase{u"EUR USD", u"EUR USD", true},
        GroupCase{u"EUR USD", u"EURUSD", false}, GroupCase{u"eurusd", u"EURUSD", false},
        GroupCase{u"*AA", u"AAA", true}, GroupCase{u"*AAB", u"AAAB", true},
        GroupCase{u"*USD", u"USDUSD", true}, GroupCase{u"*,!!EUR*", u"EURUSD", false},
        GroupCase{u"*,!!EUR*", u"GBPUSD", true},
        GroupCase{u"*, ! EUR*", u"EURUSD", true},  // "! EUR*" needs a space
        GroupCase{u"*, ! EUR*", u" EURUSD", false},
        // Only spaces are trimmed, not other white space.
        GroupCase{u"\tEUR*", u"EURUSD", false}, GroupCase{u"\tEUR*", u"\tEURUSD", true},
        // A lone '!' excludes everything.
        GroupCase{u"*,!", u"EURUSD", false},
        // Empty symbol: a positive star-only pattern, and nothing else.
        GroupCase{u"*", u"", true}, GroupCase{u" ** ", u"", true}, GroupCase{u"A*,*", u"", true},
        GroupCase{u"A*", u"", false}, GroupCase{u"!*", u"", false}, GroupCase{u"*,!*", u"", false},
        GroupCase{u"EUR*", u"", false}));

TEST(MatchGroup, NullGivesFalse) {
  EXPECT_FALSE(MatchGroup(nullptr, u"EURUSD"));
  EXPECT_FALSE(MatchGroup(u"*", nullptr));
}

// A pattern is cut at 255 units; the unit after the cut is dropped and the
// rest is read as a new pattern.
TEST(MatchGroup, OverlongPatternIsCutAndTheNextUnitDropped) {
  const std::u16string head(kMaxPatternUnits, u'A');
  const std::u16string mask = head + u"XBC";
  EXPECT_TRUE(MatchGroup(mask.c_str(), head.c_str()));
  EXPECT_TRUE(MatchGroup(mask.c_str(), u"BC"));
  EXPECT_FALSE(MatchGroup(mask.c_str(), u"XBC"));
  EXPECT_FALSE(MatchGroup(mask.c_str(), (head + u"XBC").c_str()));
  // Exactly 255 units followed by a comma: nothing is lost.
  const std::u16string with_comma = head + u",BC";
  EXPECT_TRUE(MatchGroup(with_comma.c_str(), head.c_str()));
  EXPECT_TRUE(MatchGroup(with_comma.c_str(), u"BC"));
  // A 254-unit pattern keeps its following unit.
  const std::u16string shorter = std::u16string(kMaxPatternUnits - 1, u'A') + u"X";
  EXPECT_TRUE(MatchGroup(shorter.c_str(), shorter.c_str()));
}

// ---------------------------------------------------------------------------
// Randomised comparison against the reference.

std::u16string RandomText(std::mt19937& rng, const std::u16string& alphabet, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::u16string out(len(rng), u' ');
  for (char16_t& c : out) c = alphabet[pick(rng)];
  return out;
}

TEST(MatchPattern, AgreesWithReferenceOnRandomInputs) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const std::u16string pattern = RandomText(rng, u"AB*", 8);
    const std::u16string symbol = RandomText(rng, u"AB", 10);
    ASSERT_EQ(MatchPattern(pattern.c_str(), symbol.c_str()), RefPattern(pattern, symbol))
        << Show(pattern) << " on " << Show(symbol);
  }
}

TEST(MatchGroup, AgreesWithReferenceOnRandomMasks) {
  std::mt19937 rng(77);
  int selected = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::u16string mask = RandomText(rng, u"AAB**!,, ", 14);
    const std::u16string symbol = RandomText(rng, u"AB", 6);
    const bool got = MatchGroup(mask.c_str(), symbol.c_str());
    ASSERT_EQ(got, RefGroup(mask, symbol)) << Show(mask) << " on " << Show(symbol);
    selected += got ? 1 : 0;
  }
  // Both outcomes occur often enough for the comparison to mean something.
  EXPECT_GT(selected, 1000);
  EXPECT_LT(selected, 19000);
}

// ---------------------------------------------------------------------------
// FilterByGroup

struct Geometry {
  std::size_t record_size;
  std::size_t symbol_offset;
};

class FilterByGroupTest : public ::testing::TestWithParam<Geometry> {
 protected:
  // A block laid out like an array reply: one nothrow allocation, each
  // record filled with its index and carrying `symbols[i]` in its field.
  void* MakeBlock(const std::vector<std::u16string>& symbols) const {
    const Geometry g = GetParam();
    auto* block =
        static_cast<unsigned char*>(::operator new(symbols.size() * g.record_size, std::nothrow));
    EXPECT_NE(block, nullptr);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
      unsigned char* rec = block + i * g.record_size;
      std::memset(rec, static_cast<int>(0xA0 + i), g.record_size);
      char16_t field[kSymbolFieldUnits] = {};
      std::memcpy(field, symbols[i].data(),
                  std::min(symbols[i].size(), kSymbolFieldUnits) * sizeof(char16_t));
      std::memcpy(rec + g.symbol_offset, field, sizeof field);
    }
    return block;
  }

  std::u16string SymbolAt(const void* block, std::uint32_t i) const {
    const Geometry g = GetParam();
    char16_t field[kSymbolFieldUnits + 1] = {};
    std::memcpy(field,
                static_cast<const unsigned char*>(block) + i * g.record_size + g.symbol_offset,
                kSymbolFieldUnits * sizeof(char16_t));
    return std::u16string(field);
  }

  // The bytes outside the symbol field still carry the original index.
  void ExpectWholeRecord(const void* block, std::uint32_t i, std::size_t original) const {
    const Geometry g = GetParam();
    const auto* rec = static_cast<const unsigned char*>(block) + i * g.record_size;
    const unsigned char mark = static_cast<unsigned char>(0xA0 + original);
    for (std::size_t b = 0; b < g.record_size; ++b) {
      if (b >= g.symbol_offset && b < g.symbol_offset + kSymbolFieldUnits * sizeof(char16_t)) {
        continue;
      }
      ASSERT_EQ(rec[b], mark) << "record " << i << " byte " << b;
    }
  }
};

TEST_P(FilterByGroupTest, KeepsMatchingRecordsInOrder) {
  const std::vector<std::u16string> symbols = {u"EURUSD", u"GBPUSD", u"EURGBP", u"USDJPY",
                                               u"EURJPY"};
  void* block = MakeBlock(symbols);
  void* const old = block;
  std::uint32_t count = static_cast<std::uint32_t>(symbols.size());
  ASSERT_EQ(FilterByGroup(u" EUR* , !EURGBP", &block, &count, GetParam().record_size,
                          GetParam().symbol_offset),
            1);
  EXPECT_NE(block, old);  // a fresh block replaces the released one
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(SymbolAt(block, 0), u"EURUSD");
  EXPECT_EQ(SymbolAt(block, 1), u"EURJPY");
  ExpectWholeRecord(block, 0, 0);
  ExpectWholeRecord(block, 1, 4);
  ::operator delete(block);
}

TEST_P(FilterByGroupTest, NothingKeptLeavesAnEmptyBlock) {
  void* block = MakeBlock({u"EURUSD", u"GBPUSD"});
  std::uint32_t count = 2;
  ASSERT_EQ(FilterByGroup(u"", &block, &count, GetParam().record_size, GetParam().symbol_offset),
            1);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(count, 0u);
  ::operator delete(block);
}

// A field of 32 units with no NUL is read as a 32-unit text, never past it.
TEST_P(FilterByGroupTest, UnterminatedFieldIsReadAsThirtyTwoUnits) {
  const std::u16string full(kSymbolFieldUnits, u'Q');
  void* block = MakeBlock({full, u"Q"});
  std::uint32_t count = 2;
  ASSERT_EQ(
      FilterByGroup(full.c_str(), &block, &count, GetParam().record_size, GetParam().symbol_offset),
      1);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(SymbolAt(block, 0), full);
  ::operator delete(block);
}

TEST_P(FilterByGroupTest, EmptyListSucceedsUnchanged) {
  void* block = ::operator new(0, std::nothrow);
  void* const old = block;
  std::uint32_t count = 0;
  EXPECT_EQ(FilterByGroup(u"*", &block, &count, GetParam().record_size, GetParam().symbol_offset),
            1);
  EXPECT_EQ(block, old);
  EXPECT_EQ(count, 0u);
  ::operator delete(block);
}

TEST_P(FilterByGroupTest, MissingArgumentsChangeNothing) {
  const Geometry g = GetParam();
  void* block = MakeBlock({u"EURUSD"});
  void* const old = block;
  std::uint32_t count = 1;
  EXPECT_EQ(FilterByGroup(nullptr, &block, &count, g.record_size, g.symbol_offset),
            kGroupFilterFailed);
  EXPECT_EQ(FilterByGroup(u"*", nullptr, &count, g.record_size, g.symbol_offset),
            kGroupFilterFailed);
  EXPECT_EQ(FilterByGroup(u"*", &block, nullptr, g.record_size, g.symbol_offset),
            kGroupFilterFailed);
  EXPECT_EQ(block, old);
  EXPECT_EQ(count, 1u);
  ::operator delete(block);

  void* none = nullptr;
  EXPECT_EQ(FilterByGroup(u"*", &none, &count, g.record_size, g.symbol_offset), kGroupFilterFailed);
  EXPECT_EQ(count, 1u);
}

// The old block is released even when the new one cannot be had (LeakSanitizer
// would report it otherwise).
TEST_P(FilterByGroupTest, AllocationFailureReleasesTheOldBlock) {
  const Geometry g = GetParam();
  void* block = MakeBlock({u"EURUSD", u"GBPUSD", u"EURGBP"});
  std::uint32_t count = 3;
  // count x size does not fit in a size_t; the field still lies inside.
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
  EXPECT_EQ(FilterByGroup(u"*", &block, &count, huge, g.symbol_offset), kGroupFilterFailed);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(RecordTypes, FilterByGroupTest,
                         ::testing::Values(Geometry{320, 128},  // TradePosition
                                           Geometry{340, 148},  // TradeOrder
                                           Geometry{300, 108},  // TradeDeal
                                           Geometry{67, 3}),    // odd offset: unaligned reads
                         [](const ::testing::TestParamInfo<Geometry>& info) {
                           return "Size" + std::to_string(info.param.record_size) + "At" +
                                  std::to_string(info.param.symbol_offset);
                         });

TEST(FilterByGroup, FieldOutsideTheRecordFails) {
  void* block = ::operator new(60, std::nothrow);
  void* const old = block;
  std::uint32_t count = 1;
  EXPECT_EQ(FilterByGroup(u"*", &block, &count, 60, 0), kGroupFilterFailed);
  EXPECT_EQ(FilterByGroup(u"*", &block, &count, 60, 100), kGroupFilterFailed);
  EXPECT_EQ(block, old);
  EXPECT_EQ(count, 1u);
  ::operator delete(block);
}

}  // namespace
}  // namespace zk5::ipc
