#include "accounts/password.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/text.h"
#include "os/crypto.h"

namespace zk5::term {

namespace {

constexpr char kScheme[] = "pbkdf2-sha256";
constexpr int kIterations = 100000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kDigestBytes = 32;
// Refuses stored forms that would make a login take unbounded time.
constexpr long kMaxIterations = 10000000;

std::string Hex(const unsigned char* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

bool Unhex(const std::string& s, std::vector<unsigned char>* out) {
  if (s.empty() || s.size() % 2 != 0) return false;
  out->clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    int v = 0;
    for (std::size_t k = i; k < i + 2; ++k) {
      const char c = s[k];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out->push_back(static_cast<unsigned char>(v));
  }
  return true;
}

// Overwrites a secret before its memory is given back; the volatile
// stores are not optimised away.
void Wipe(std::string* s) {
  volatile char* p = s->empty() ? nullptr : &(*s)[0];
  for (std::size_t i = 0; i < s->size(); ++i) p[i] = 0;
}

// Compares in a time that does not depend on where the bytes differ.
bool SameBytes(const unsigned char* a, const unsigned char* b, std::size_t n) {
  unsigned char diff = 0;
  for (std::size_t i = 0; i < n; ++i) diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

// The password as UTF-8, the digest's input.
bool Derive(const std::u16string& password, const unsigned char* salt, std::size_t salt_size,
            long iterations, unsigned char* digest, std::size_t digest_size) {
  std::string utf8 = text::Utf16ToUtf8(password.data(), password.size());
  const bool ok = os::Pbkdf2Sha256(utf8.data(), utf8.size(), salt, salt_size,
                                   static_cast<std::uint32_t>(iterations), digest, digest_size);
  Wipe(&utf8);
  return ok;
}

}  // namespace

std::string HashPassword(const std::u16string& password) {
  unsigned char salt[kSaltBytes];
  unsigned char digest[kDigestBytes];
  if (!os::RandomBytes(salt, sizeof salt) ||
      !Derive(password, salt, sizeof salt, kIterations, digest, sizeof digest)) {
    return {};
  }
  return std::string(kScheme) + "$" + std::to_string(kIterations) + "$" + Hex(salt, sizeof salt) +
         "$" + Hex(digest, sizeof digest);
}

bool VerifyPassword(const std::u16string& password, const std::string& hash) {
  const std::size_t a = hash.find('$');
  const std::size_t b = a == std::string::npos ? a : hash.find('$', a + 1);
  const std::size_t c = b == std::string::npos ? b : hash.find('$', b + 1);
  if (c == std::string::npos || hash.compare(0, a, kScheme) != 0) return false;
  const std::string count = hash.substr(a + 1, b - a - 1);
  char* end = nullptr;
  const long iterations = std::strtol(count.c_str(), &end, 10);
  if (count.empty() || *end != '\0' || iterations < 1 || iterations > kMaxIterations) return false;
  std::vector<unsigned char> salt, want;
  if (!Unhex(hash.substr(b + 1, c - b - 1), &salt) || !Unhex(hash.substr(c + 1), &want) ||
      want.size() > 64) {
    return false;
  }
  unsigned char got[64];
  if (!Derive(password, salt.data(), salt.size(), iterations, got, want.size())) return false;
  return SameBytes(got, want.data(), want.size());
}

std::string PasswordFingerprint(const std::u16string& password) {
  static unsigned char key[32];
  static std::once_flag once;
  static bool keyed = false;
  std::call_once(once, [] { keyed = os::RandomBytes(key, sizeof key); });
  if (!keyed) return {};
  std::string utf8 = text::Utf16ToUtf8(password.data(), password.size());
  std::uint8_t mac[32];
  const bool ok = os::HmacSha256(key, sizeof key, utf8.data(), utf8.size(), mac);
  Wipe(&utf8);
  return ok ? Hex(mac, sizeof mac) : std::string();
}

}  // namespace zk5::term
