// Digests, keyed digests, key derivation and randomness through the
// system's cryptographic library.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>

#include "os/crypto.h"
#include "os/os.h"

namespace zk5::os {

bool Sha256(const void* data, std::size_t size, std::uint8_t digest[32]) {
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return false;
  return length == 32;
}

bool RandomBytes(void* out, std::size_t size) {
  return size <= INT_MAX &&
         RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(size)) == 1;
}

bool HmacSha256(const void* key, std::size_t key_size, const void* data, std::size_t size,
                std::uint8_t mac[32]) {
  if (key_size > INT_MAX) return false;
  unsigned int length = 0;
  return HMAC(EVP_sha256(), key, static_cast<int>(key_size),
              static_cast<const unsigned char*>(data), size, mac, &length) != nullptr &&
         length == 32;
}

bool Pbkdf2Sha256(const void* password, std::size_t password_size, const void* salt,
                  std::size_t salt_size, std::uint32_t iterations, std::uint8_t* out,
                  std::size_t out_size) {
  if (password_size > INT_MAX || salt_size > INT_MAX || out_size > INT_MAX || iterations == 0 ||
      iterations > INT_MAX) {
    return false;
  }
  return PKCS5_PBKDF2_HMAC(static_cast<const char*>(password), static_cast<int>(password_size),
                           static_cast<const unsigned char*>(salt), static_cast<int>(salt_size),
                           static_cast<int>(iterations), EVP_sha256(), static_cast<int>(out_size),
                           out) == 1;
}

}  // namespace zk5::os
