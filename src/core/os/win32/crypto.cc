// SHA-256 through the system's cryptographic service.
#include "os/win32/win32_util.h"

#include <wincrypt.h>

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

}  // namespace zk5::os
