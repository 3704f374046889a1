// SHA-256 through the system's cryptographic library.
#include <openssl/evp.h>

#include "os/os.h"

namespace zk5::os {

bool Sha256(const void* data, std::size_t size, std::uint8_t digest[32]) {
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return false;
  return length == 32;
}

}  // namespace zk5::os
