// gateway/digest.cpp - HMAC-SHA256 and SHA-256 through OpenSSL.
#include "gateway/digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace reviri::gateway {

namespace {

std::string hex(const unsigned char* digest, unsigned int length) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string hmacSha256Hex(const std::string& secret, const std::string& body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(body.data()),
       body.size(), digest, &length);
  return hex(digest, length);
}

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  return hex(digest, length);
}

}  // namespace reviri::gateway
