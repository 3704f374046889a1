// Digests, keyed digests, key derivation and randomness through the
// system's cryptographic services.
#include "os/win32/win32_util.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include "os/crypto.h"
#include "os/os.h"

namespace zk5::os {

namespace {

// A verify-only context of the AES-capable RSA provider, which offers SHA-256.
constexpr DWORD kProviderRsaAes = 24;
constexpr DWORD kVerifyContext = 0xF0000000;
constexpr ALG_ID kSha256 = 0x800C;

}  // namespace

bool Sha256(const void* data, std::size_t size, std::uint8_t digest[32]) {
  if (size > MAXDWORD) return false;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, kProviderRsaAes, kVerifyContext)) {
    return false;
  }
  bool ok = false;
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(provider, kSha256, 0, 0, &hash)) {
    DWORD length = 32;
    ok = CryptHashData(hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) &&
         CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == 32;
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return ok;
}

namespace {

bool Fits(std::size_t n) { return n <= 0xFFFFFFFFu; }

// The SHA-256 provider of BCrypt in HMAC mode, opened once and kept.
BCRYPT_ALG_HANDLE HmacProvider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr,
                                    BCRYPT_ALG_HANDLE_HMAC_FLAG) < 0) {
      h = nullptr;
    }
    return h;
  }();
  return provider;
}

}  // namespace

bool RandomBytes(void* out, std::size_t size) {
  return Fits(size) && BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(size),
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

bool HmacSha256(const void* key, std::size_t key_size, const void* data, std::size_t size,
                std::uint8_t mac[32]) {
  const BCRYPT_ALG_HANDLE provider = HmacProvider();
  if (provider == nullptr || !Fits(key_size) || !Fits(size)) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(provider, &hash, nullptr, 0, static_cast<PUCHAR>(const_cast<void*>(key)),
                       static_cast<ULONG>(key_size), 0) < 0) {
    return false;
  }
  const bool ok = BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                 static_cast<ULONG>(size), 0) >= 0 &&
                  BCryptFinishHash(hash, mac, 32, 0) >= 0;
  BCryptDestroyHash(hash);
  return ok;
}

bool Pbkdf2Sha256(const void* password, std::size_t password_size, const void* salt,
                  std::size_t salt_size, std::uint32_t iterations, std::uint8_t* out,
                  std::size_t out_size) {
  const BCRYPT_ALG_HANDLE provider = HmacProvider();
  if (provider == nullptr || !Fits(password_size) || !Fits(salt_size) || !Fits(out_size) ||
      iterations == 0) {
    return false;
  }
  return BCryptDeriveKeyPBKDF2(
             provider, static_cast<PUCHAR>(const_cast<void*>(password)),
             static_cast<ULONG>(password_size), static_cast<PUCHAR>(const_cast<void*>(salt)),
             static_cast<ULONG>(salt_size), iterations, out, static_cast<ULONG>(out_size), 0) >= 0;
}

}  // namespace zk5::os
