// gateway/digest.h - HMAC-SHA256 in hex: webhook signatures, and keyed
// digests that stand for a longer text (request digests, duplicate keys).
//
// Threading: a pure function; thread-safe.
#ifndef REVIRI_GATEWAY_DIGEST_H_
#define REVIRI_GATEWAY_DIGEST_H_

#include <string>

namespace reviri::gateway {

// The hex HMAC-SHA256 of `body` under `secret`.
std::string hmacSha256Hex(const std::string& secret, const std::string& body);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_DIGEST_H_
