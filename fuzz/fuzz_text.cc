// Text conversions between UTF-16, UTF-8 and file-system bytes. The input
// is taken both as bytes and as UTF-16 units.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"

namespace {

using namespace zk5;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool HasLoneSurrogate(const std::u16string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool high = s[i] >= 0xD800 && s[i] <= 0xDBFF;
    if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      ++i;
    } else if (s[i] >= 0xD800 && s[i] <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// Well-formed UTF-8: decoding it and encoding again gives the same bytes and
// no replacement character that was not there.
bool WellFormed(const std::string& s) {
  const std::u16string u = text::Utf8ToUtf16(s.data(), s.size());
  return text::Utf16ToUtf8(u.data(), u.size()) == s &&
         (u.find(u'\xFFFD') == std::u16string::npos || s.find("\xEF\xBF\xBD") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(&units[0], data, 2 * units.size());

  // UTF-8 -> UTF-16: never a lone surrogate; stable after one round.
  const std::u16string decoded = text::Utf8ToUtf16(bytes.data(), bytes.size());
  if (HasLoneSurrogate(decoded)) Fail("Utf8ToUtf16 made a lone surrogate");
  const std::string reencoded = text::Utf16ToUtf8(decoded.data(), decoded.size());
  if (!WellFormed(reencoded)) Fail("Utf8ToUtf16 round trip");

  // UTF-16 -> UTF-8: always well-formed.
  const std::string narrow = text::Utf16ToUtf8(units.data(), units.size());
  if (!WellFormed(narrow)) Fail("Utf16ToUtf8 output");
  if (!HasLoneSurrogate(units)) {
    const std::u16string back = text::Utf8ToUtf16(narrow.data(), narrow.size());
    if (back != units) Fail("Utf16ToUtf8 round trip");
  }

  // Cutting well-formed UTF-8 leaves well-formed UTF-8 of at most max bytes.
  const std::size_t max = size == 0 ? 0 : data[0] % (reencoded.size() + 1);
  const std::size_t cut = text::Utf8CutLength(reencoded.data(), reencoded.size(), max);
  if (cut > max || cut + 3 < max) Fail("Utf8CutLength length");
  if (!WellFormed(reencoded.substr(0, cut))) Fail("Utf8CutLength split a character");

  // File-system names: any bytes survive the trip; UTF-8 names decode as text.
  const std::u16string name = text::FsDecode(bytes.data(), bytes.size());
  std::string again;
  if (!text::FsEncode(name.data(), name.size(), &again) || again != bytes) {
    Fail("FsDecode/FsEncode round trip");
  }
  if (WellFormed(bytes) && name != decoded) Fail("FsDecode of UTF-8");
  // Units without escapes or lone surrogates encode as their UTF-8.
  std::string fs_units;
  const bool encoded = text::FsEncode(units.data(), units.size(), &fs_units);
  if (!HasLoneSurrogate(units) && (!encoded || fs_units != narrow)) Fail("FsEncode of text");

  // Lower-casing maps unit to unit and is idempotent.
  std::u16string lower = units;
  text::LowerInPlace(&lower[0], lower.size());
  std::u16string twice = lower;
  text::LowerInPlace(&twice[0], twice.size());
  if (twice != lower) Fail("LowerInPlace not idempotent");
  return 0;
}
