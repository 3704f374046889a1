// Text conversions shared by the client and the bundled terminal.
//
// Text to and from the terminal is UTF-16; Python and messages are UTF-8.
// Everything here is pure and locale independent.
#ifndef ZK5_COMMON_BASE_TEXT_H_
#define ZK5_COMMON_BASE_TEXT_H_

#include <cstddef>
#include <string>

namespace zk5::text {

// UTF-8 form of n UTF-16 code units. A surrogate that is not part of a
// well-formed pair becomes U+FFFD, so the result is always valid UTF-8.
// s may be null when n is 0. NULs are converted like any other unit.
std::string Utf16ToUtf8(const char16_t* s, std::size_t n);

// Appends the UTF-8 form of the code point `cp` (at most 0x10FFFF) to `out`.
void AppendUtf8(std::string& out, char32_t cp);

// UTF-16 form of n bytes of UTF-8. Each maximal ill-formed subsequence
// (a stray or truncated sequence, an overlong form, an encoded surrogate, a
// value above U+10FFFF) becomes one U+FFFD. s may be null when n is 0.
std::u16string Utf8ToUtf16(const char* s, std::size_t n);

// File-system names on POSIX are bytes; Python shows them as str decoded
// from UTF-8 with "surrogateescape" (os.fsdecode), each byte that is not
// part of well-formed UTF-8 becoming the lone surrogate U+DC80..U+DCFF.
// These two do the same, so any name survives the trip: for all bytes b,
// FsEncode(FsDecode(b)) == b.
std::u16string FsDecode(const char* s, std::size_t n);
// The bytes of a UTF-16 name: pairs and other units as UTF-8, U+DC80..U+DCFF
// as the byte they stand for. False (and *out empty) for any other lone
// surrogate, which names no file (os.fsencode raises for it).
bool FsEncode(const char16_t* s, std::size_t n, std::string* out);

// The longest prefix of the len bytes at s that is at most max_bytes long
// and does not end inside a multi-byte character: len itself when it fits,
// else max_bytes backed up to the start of a character the cut would split.
// Cutting valid UTF-8 there always leaves valid UTF-8.
std::size_t Utf8CutLength(const char* s, std::size_t len, std::size_t max_bytes);

// The Unicode simple lower-case mapping of one UTF-16 code unit (U+0130
// gives U+0069); surrogates and unmapped units come back unchanged.
char16_t SimpleLower(char16_t u);

// SimpleLower applied to each of the n units at s.
void LowerInPlace(char16_t* s, std::size_t n);

// A whole decimal number: optional leading white space and sign ('-' only
// for the signed form), digits, nothing after them, within the type's range.
bool ParseDecimal(const std::string& s, std::int64_t* out);
bool ParseDecimal(const std::string& s, std::uint64_t* out);

// Zeroes the n units at s (a password buffer) in a way the compiler keeps.
void Wipe(char16_t* s, std::size_t n);

}  // namespace zk5::text

#endif  // ZK5_COMMON_BASE_TEXT_H_
