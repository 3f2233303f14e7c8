// gateway/digest.cpp - HMAC-SHA256 through OpenSSL.
#include "gateway/digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace reviri::gateway {

std::string hmacSha256Hex(const std::string& secret, const std::string& body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(body.data()),
       body.size(), digest, &length);
  static const char* kHex = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace reviri::gateway
