#include "base/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <random>
#include <string>

namespace zk5::text {
namespace {

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    out += buf;
  }
  return out;
}

std::string Hex(const std::u16string& units) {
  std::string out;
  char buf[6];
  for (char16_t u : units) {
    std::snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(u));
    out += buf;
  }
  return out;
}

bool HasLoneSurrogate(const std::u16string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
      if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// UTF-16 -> UTF-8

struct Utf16Case {
  std::u16string in;
  std::string out;
};

void PrintTo(const Utf16Case& c, std::ostream* os) { *os << Hex(c.in); }

class Utf16ToUtf8Test : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8Test, Converts) {
  const Utf16Case& c = GetParam();
  EXPECT_EQ(Hex(Utf16ToUtf8(c.in.data(), c.in.size())), Hex(c.out));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf16ToUtf8Test,
    ::testing::Values(
        Utf16Case{u"", ""}, Utf16Case{u"EURUSD", "EURUSD"},
        Utf16Case{std::u16string(u"A\0B", 3), std::string("A\0B", 3)}, Utf16Case{u"\u007F", "\x7F"},
        Utf16Case{u"\u0080", "\xC2\x80"}, Utf16Case{u"\u00E4", "\xC3\xA4"},
        Utf16Case{u"\u07FF", "\xDF\xBF"}, Utf16Case{u"\u0800", "\xE0\xA0\x80"},
        Utf16Case{u"\u20AC", "\xE2\x82\xAC"}, Utf16Case{u"\uFFFF", "\xEF\xBF\xBF"},
        Utf16Case{u"\U00010000", "\xF0\x90\x80\x80"}, Utf16Case{u"\U0001F600", "\xF0\x9F\x98\x80"},
        Utf16Case{u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        // Lone surrogates, at the end, before other text, reversed, doubled.
        Utf16Case{std::u16string(1, char16_t{0xD83D}), "\xEF\xBF\xBD"},
        Utf16Case{std::u16string(1, char16_t{0xDE00}), "\xEF\xBF\xBD"},
        Utf16Case{std::u16string{0xD83D, u'A'},
                  "\xEF\xBF\xBD"
                  "A"},
        Utf16Case{std::u16string{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        Utf16Case{std::u16string{0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"}));

TEST(Utf16ToUtf8, OnlyTheGivenUnitsAreRead) {
  const char16_t text[] = u"EURUSD";
  EXPECT_EQ(Utf16ToUtf8(text, 3), "EUR");
  EXPECT_EQ(Utf16ToUtf8(nullptr, 0), "");
  // A pair split by the count is a lone surrogate.
  const char16_t pair[] = u"\U0001F600";
  EXPECT_EQ(Utf16ToUtf8(pair, 1), "\xEF\xBF\xBD");
}

// Any units, lone surrogates included, give UTF-8 that decodes back to the
// same units with each lone surrogate replaced.
TEST(Utf16ToUtf8, RandomUnitsGiveWellFormedUtf8) {
  std::mt19937 rng(4242);
  // Weighted towards the surrogate range and the encoding-length edges.
  const char16_t pool[] = {u'A',   0x7F,   0x80,   0x7FF,  0x800,  0xFFFD, 0xFFFF,
                           0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00};
  std::uniform_int_distribution<int> pick(0, sizeof pool / sizeof pool[0] - 1);
  std::uniform_int_distribution<int> len(0, 12);
  for (int round = 0; round < 5000; ++round) {
    std::u16string in(static_cast<std::size_t>(len(rng)), u' ');
    for (char16_t& u : in) u = pool[pick(rng)];
    std::u16string expected;
    for (std::size_t i = 0; i < in.size(); ++i) {
      const bool high = in[i] >= 0xD800 && in[i] <= 0xDBFF;
      const bool low = in[i] >= 0xDC00 && in[i] <= 0xDFFF;
      if (high && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        expected += in[i];
        expected += in[++i];
      } else {
        expected += (high || low) ? char16_t{0xFFFD} : in[i];
      }
    }
    const std::string utf8 = Utf16ToUtf8(in.data(), in.size());
    ASSERT_EQ(Hex(Utf8ToUtf16(utf8.data(), utf8.size())), Hex(expected)) << "input " << Hex(in);
  }
}

// ---------------------------------------------------------------------------
// UTF-8 -> UTF-16

struct Utf8Case {
  std::string in;
  std::u16string out;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << Hex(c.in); }

class Utf8ToUtf16Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16Test, Converts) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(Hex(Utf8ToUtf16(c.in.data(), c.in.size())), Hex(c.out));
}

const char16_t kR = 0xFFFD;

INSTANTIATE_TEST_SUITE_P(
    Valid, Utf8ToUtf16Test,
    ::testing::Values(Utf8Case{"", u""}, Utf8Case{"EURUSD", u"EURUSD"},
                      Utf8Case{std::string("A\0B", 3), std::u16string(u"A\0B", 3)},
                      Utf8Case{"\xC2\x80", u"\u0080"}, Utf8Case{"\xC3\xA4", u"\u00E4"},
                      Utf8Case{"\xDF\xBF", u"\u07FF"}, Utf8Case{"\xE0\xA0\x80", u"\u0800"},
                      Utf8Case{"\xE2\x82\xAC", u"\u20AC"}, Utf8Case{"\xED\x9F\xBF", u"\uD7FF"},
                      Utf8Case{"\xEE\x80\x80", u"\uE000"}, Utf8Case{"\xEF\xBF\xBF", u"\uFFFF"},
                      Utf8Case{"\xF0\x90\x80\x80", u"\U00010000"},
                      Utf8Case{"\xF0\x9F\x98\x80", u"\U0001F600"},
                      Utf8Case{"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}));

// One U+FFFD for each maximal ill-formed piece.
INSTANTIATE_TEST_SUITE_P(
    Invalid, Utf8ToUtf16Test,
    ::testing::Values(Utf8Case{"\x80", {kR}},
                      Utf8Case{"\xBF"
                               "A",
                               {kR, u'A'}},
                      Utf8Case{"\xC0\x80", {kR, kR}},  // overlong NUL
                      Utf8Case{"\xC1\xBF", {kR, kR}}, Utf8Case{"\xC3", {kR}},
                      Utf8Case{"\xC3"
                               "A",
                               {kR, u'A'}},
                      Utf8Case{"\xE0\x80\x80", {kR, kR, kR}},  // overlong 3-byte
                      Utf8Case{"\xE0\xA0", {kR}},
                      Utf8Case{"\xE2\x82"
                               "A",
                               {kR, u'A'}},
                      Utf8Case{"\xE2\x82\xE2\x82\xAC", {kR, 0x20AC}},
                      Utf8Case{"\xED\xA0\x80", {kR, kR, kR}},  // encoded surrogate
                      Utf8Case{"\xF0\x80\x80\x80", {kR, kR, kR, kR}},
                      Utf8Case{"\xF0\x9F\x98", {kR}},
                      Utf8Case{"\xF0\x9F\x98"
                               "A",
                               {kR, u'A'}},
                      Utf8Case{"\xF4\x90\x80\x80", {kR, kR, kR, kR}},  // above U+10FFFF
                      Utf8Case{"\xF5\x80", {kR, kR}}, Utf8Case{"\xFE", {kR}},
                      Utf8Case{"\xFF"
                               "A",
                               {kR, u'A'}}));

TEST(Utf8ToUtf16, OnlyTheGivenBytesAreRead) {
  EXPECT_EQ(Utf8ToUtf16("EURUSD", 3), u"EUR");
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0), u"");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82\xAC", 2), std::u16string(1, kR));
}

// Arbitrary bytes decode to well-formed UTF-16 that survives a round trip.
TEST(Utf8ToUtf16, RandomBytesGiveWellFormedUtf16) {
  std::mt19937 rng(99);
  const unsigned char pool[] = {'A',  0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0,
                                0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0};
  std::uniform_int_distribution<int> pick(0, sizeof pool - 1);
  std::uniform_int_distribution<int> len(0, 12);
  for (int round = 0; round < 5000; ++round) {
    std::string in(static_cast<std::size_t>(len(rng)), ' ');
    for (char& b : in) b = static_cast<char>(pool[pick(rng)]);
    const std::u16string units = Utf8ToUtf16(in.data(), in.size());
    ASSERT_FALSE(HasLoneSurrogate(units)) << Hex(in);
    const std::string again = Utf16ToUtf8(units.data(), units.size());
    ASSERT_EQ(Hex(Utf8ToUtf16(again.data(), again.size())), Hex(units)) << Hex(in);
  }
}

// ---------------------------------------------------------------------------
// File-system names (surrogate escapes, as os.fsdecode / os.fsencode)

TEST(FsNames, BytesThatAreNotUtf8BecomeEscapesAndComeBack) {
  struct Case {
    std::string bytes;
    std::u16string units;
  };
  const Case cases[] = {
      {"/opt/x", u"/opt/x"},
      {"/d\xFF/t", u"/d\xDCFF/t"},
      {"\xC3\xA9", u"\u00E9"},                  // well-formed stays text
      {"\xE2\x82", u"\xDCE2\xDC82"},            // cut-short character
      {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},  // an encoded surrogate
      {"\xC0\xAF", u"\xDCC0\xDCAF"},            // overlong
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},    // outside the BMP
      {"\x80"
       "A",
       u"\xDC80"
       u"A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(FsDecode(c.bytes.data(), c.bytes.size())), Hex(c.units)) << Hex(c.bytes);
    std::string back;
    ASSERT_TRUE(FsEncode(c.units.data(), c.units.size(), &back)) << Hex(c.units);
    EXPECT_EQ(Hex(back), Hex(c.bytes));
  }
}

TEST(FsNames, SurrogatesThatStandForNoByteAreRefused) {
  std::string out = "stale";
  for (const std::u16string& bad :
       {std::u16string(u"a\xD800"), std::u16string(u"\xDC7F"), std::u16string(u"\xDFFF")}) {
    EXPECT_FALSE(FsEncode(bad.data(), bad.size(), &out)) << Hex(bad);
    EXPECT_EQ(out, "");
  }
  EXPECT_TRUE(FsEncode(nullptr, 0, &out));
}

TEST(FsNames, AnyBytesRoundTrip) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> len(0, 16);
  for (int round = 0; round < 5000; ++round) {
    std::string in(static_cast<std::size_t>(len(rng)), ' ');
    for (char& b : in) b = static_cast<char>(byte(rng));
    const std::u16string units = FsDecode(in.data(), in.size());
    std::string back;
    ASSERT_TRUE(FsEncode(units.data(), units.size(), &back)) << Hex(in);
    ASSERT_EQ(Hex(back), Hex(in));
  }
}

// ---------------------------------------------------------------------------
// Utf8CutLength

struct CutCase {
  std::string text;
  std::size_t max_bytes;
  std::size_t expected;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << Hex(c.text) << "cut at " << c.max_bytes; }

class Utf8CutLengthTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(Utf8CutLengthTest, CutsAtACharacterBoundary) {
  const CutCase& c = GetParam();
  EXPECT_EQ(Utf8CutLength(c.text.data(), c.text.size(), c.max_bytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8CutLengthTest,
    ::testing::Values(CutCase{"abc", 5, 3}, CutCase{"abc", 3, 3}, CutCase{"abc", 2, 2},
                      CutCase{"abc", 0, 0}, CutCase{"", 0, 0},
                      // 2-byte character at bytes 2..3.
                      CutCase{"ab\xC3\xA9!", 2, 2}, CutCase{"ab\xC3\xA9!", 3, 2},
                      CutCase{"ab\xC3\xA9!", 4, 4}, CutCase{"ab\xC3\xA9", 3, 2},
                      // 3-byte character at bytes 1..3.
                      CutCase{"a\xE2\x82\xAC"
                              "b",
                              1, 1},
                      CutCase{"a\xE2\x82\xAC"
                              "b",
                              2, 1},
                      CutCase{"a\xE2\x82\xAC"
                              "b",
                              3, 1},
                      CutCase{"a\xE2\x82\xAC"
                              "b",
                              4, 4},
                      // 4-byte character at bytes 1..4.
                      CutCase{"a\xF0\x9F\x98\x80"
                              "b",
                              1, 1},
                      CutCase{"a\xF0\x9F\x98\x80"
                              "b",
                              2, 1},
                      CutCase{"a\xF0\x9F\x98\x80"
                              "b",
                              3, 1},
                      CutCase{"a\xF0\x9F\x98\x80"
                              "b",
                              4, 1},
                      CutCase{"a\xF0\x9F\x98\x80"
                              "b",
                              5, 5},
                      // A character right at the start.
                      CutCase{"\xF0\x9F\x98\x80", 3, 0}, CutCase{"\xC3\xA9", 1, 0},
                      // Ill-formed input: stray continuations are not characters to keep
                      // whole, so the cut stays at max_bytes.
                      CutCase{"\x80\x80\x80\x80\x80", 2, 2}, CutCase{"A\x80\x80", 2, 2},
                      CutCase{"\xC3\xA9\x80\x80", 3, 3}));

// The error-message use: a 2047-byte limit never splits a character.
TEST(Utf8CutLength, MessageLimitKeepsWholeCharacters) {
  for (std::size_t pad = 2040; pad <= 2047; ++pad) {
    for (const char* ch : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
      std::string message(pad, 'x');
      message += ch;
      message += std::string(16, 't');  // always over the limit
      const std::size_t cut = Utf8CutLength(message.data(), message.size(), 2047);
      ASSERT_LE(cut, 2047u);
      const std::size_t whole = pad + std::char_traits<char>::length(ch);
      // Everything up to the limit is kept, less a split character.
      ASSERT_EQ(cut, whole <= 2047 ? 2047 : pad) << "pad " << pad;
      const std::u16string decoded = Utf8ToUtf16(message.data(), cut);
      ASSERT_EQ(decoded.find(char16_t{0xFFFD}), std::u16string::npos);
    }
  }
}

// ---------------------------------------------------------------------------
// SimpleLower, LowerInPlace

struct LowerCase {
  char16_t upper;
  char16_t lower;
};

void PrintTo(const LowerCase& c, std::ostream* os) {
  *os << Hex(std::u16string(1, c.upper)) << "-> " << Hex(std::u16string(1, c.lower));
}

class SimpleLowerTest : public ::testing::TestWithParam<LowerCase> {};

TEST_P(SimpleLowerTest, Maps) {
  EXPECT_EQ(static_cast<unsigned>(SimpleLower(GetParam().upper)),
            static_cast<unsigned>(GetParam().lower));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SimpleLowerTest,
    ::testing::Values(LowerCase{u'A', u'a'}, LowerCase{u'Z', u'z'}, LowerCase{u'a', u'a'},
                      LowerCase{u'@', u'@'}, LowerCase{u'[', u'['}, LowerCase{u'\\', u'\\'},
                      LowerCase{0x0000, 0x0000}, LowerCase{0x00C4, 0x00E4},  // Latin-1
                      LowerCase{0x00D7, 0x00D7},  // multiplication sign inside the run
                      LowerCase{0x0100, 0x0101}, LowerCase{0x0101, 0x0101},  // alternating
                      LowerCase{0x0178, 0x00FF}, LowerCase{0x1E9E, 0x00DF},
                      LowerCase{0x01C4, 0x01C6}, LowerCase{0x01C5, 0x01C6},  // title case
                      LowerCase{0x0130, 0x0069},  // dotted capital I: simple form only
                      LowerCase{0x0049, 0x0069},  // no Turkish rule: locale independent
                      LowerCase{0x03A3, 0x03C3}, LowerCase{0x03C2, 0x03C2},  // Greek sigma
                      LowerCase{0x0386, 0x03AC}, LowerCase{0x03F4, 0x03B8},
                      LowerCase{0x1F88, 0x1F80}, LowerCase{0x0410, 0x0430},
                      LowerCase{0x042F, 0x044F},  // Cyrillic
                      LowerCase{0x0401, 0x0451}, LowerCase{0x0430, 0x0430},
                      LowerCase{0x0531, 0x0561},  // Armenian
                      LowerCase{0x10A0, 0x2D00},  // Georgian
                      LowerCase{0x13A0, 0xAB70},  // Cherokee
                      LowerCase{0x2126, 0x03C9},  // ohm sign
                      LowerCase{0x212A, 0x006B},  // kelvin sign
                      LowerCase{0x212B, 0x00E5},  // angstrom sign
                      LowerCase{0x2160, 0x2170}, LowerCase{0x24B6, 0x24D0},
                      LowerCase{0xA7AB, 0x025C}, LowerCase{0xFF21, 0xFF41},
                      LowerCase{0xFF3A, 0xFF5A},                             // fullwidth
                      LowerCase{0xFF41, 0xFF41}, LowerCase{0x4E2D, 0x4E2D},  // CJK
                      LowerCase{0xD83D, 0xD83D}, LowerCase{0xDC00, 0xDC00},  // surrogates
                      LowerCase{0xFFFF, 0xFFFF}));

// Lower-casing twice changes nothing more, and no unit maps into the
// surrogate range or out of a pair.
TEST(SimpleLower, IsIdempotentAndKeepsSurrogatesApart) {
  for (unsigned c = 0; c <= 0xFFFF; ++c) {
    const char16_t once = SimpleLower(static_cast<char16_t>(c));
    ASSERT_EQ(static_cast<unsigned>(SimpleLower(once)), static_cast<unsigned>(once))
        << std::hex << c;
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    ASSERT_EQ(once >= 0xD800 && once <= 0xDFFF, surrogate) << std::hex << c;
    if (surrogate) {
      ASSERT_EQ(static_cast<unsigned>(once), c);
    }
  }
}

TEST(LowerInPlace, LowersEachUnitOfTheGivenLength) {
  std::u16string path = u"C:\\Program Files\\\u00C4\u03A3\u0416\\TERMINAL64.EXE\U0001F600";
  LowerInPlace(&path[0], path.size());
  EXPECT_EQ(path, u"c:\\program files\\\u00E4\u03C3\u0436\\terminal64.exe\U0001F600");

  std::u16string head = u"ABCDEF";
  LowerInPlace(&head[0], 3);
  EXPECT_EQ(head, u"abcDEF");
  LowerInPlace(nullptr, 0);
}

}  // namespace
}  // namespace zk5::text
