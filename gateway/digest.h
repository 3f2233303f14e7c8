// gateway/digest.h - HMAC-SHA256 in hex: webhook signatures, and keyed
// digests that stand for a longer text (request digests, duplicate keys);
// SHA-256 in hex for API keys.
//
// Threading: a pure function; thread-safe.
#ifndef REVIRI_GATEWAY_DIGEST_H_
#define REVIRI_GATEWAY_DIGEST_H_

#include <string>

namespace reviri::gateway {

// The hex HMAC-SHA256 of `body` under `secret`.
std::string hmacSha256Hex(const std::string& secret, const std::string& body);

// The hex SHA-256 of `text` (what the store keeps of an API key).
std::string sha256Hex(const std::string& text);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_DIGEST_H_
