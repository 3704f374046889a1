// Keyed digests, key derivation and randomness, for the bundled terminal's
// password store: OpenSSL's libcrypto on POSIX, the system's cryptographic
// primitives (BCrypt) on Windows, so that the Windows build needs no
// third-party library for them.
#ifndef ZK5_COMMON_OS_CRYPTO_H_
#define ZK5_COMMON_OS_CRYPTO_H_

#include <cstddef>
#include <cstdint>

namespace zk5::os {

// Fills `size` bytes with cryptographically strong random bytes.
bool RandomBytes(void* out, std::size_t size);

// HMAC-SHA-256 of `size` bytes under a key of `key_size` bytes.
bool HmacSha256(const void* key, std::size_t key_size, const void* data, std::size_t size,
                std::uint8_t mac[32]);

// PBKDF2 with HMAC-SHA-256: `out_size` bytes derived from the password and
// the salt in `iterations` rounds (at least 1).
bool Pbkdf2Sha256(const void* password, std::size_t password_size, const void* salt,
                  std::size_t salt_size, std::uint32_t iterations, std::uint8_t* out,
                  std::size_t out_size);

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_CRYPTO_H_
