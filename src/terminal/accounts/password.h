// Account passwords at rest: salted PBKDF2-HMAC-SHA256 digests, written as
// "pbkdf2-sha256$<iterations>$<salt hex>$<digest hex>" (os/crypto.h does the
// work). A clear password is never stored.
#ifndef ZK5_TERMINAL_ACCOUNTS_PASSWORD_H_
#define ZK5_TERMINAL_ACCOUNTS_PASSWORD_H_

#include <string>

namespace zk5::term {

// The stored form of `password` with a fresh random salt; empty when the
// system cannot provide randomness or the digest fails.
std::string HashPassword(const std::u16string& password);

// Whether `password` matches the stored form `hash`. A malformed hash
// matches nothing.
bool VerifyPassword(const std::u16string& password, const std::string& hash);

// A keyed digest of `password` under a random key made once per process:
// lets a process remember that a password matched without keeping it.
std::string PasswordFingerprint(const std::u16string& password);

}  // namespace zk5::term

#endif  // ZK5_TERMINAL_ACCOUNTS_PASSWORD_H_
