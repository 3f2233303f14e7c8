// sms/decode/text_decoding.h - user-data text decoders shared by the two
// PDU decoders of this folder (not for use outside it).
//
// Pure functions: no I/O, no state; thread-safe.
#ifndef REVIRI_SMS_DECODE_TEXT_DECODING_H_
#define REVIRI_SMS_DECODE_TEXT_DECODING_H_

#include <string>
#include <string_view>

namespace reviri::sms::detail {

// Appends septets first..total-1 of the packed 7-bit data in `hex` as UTF-8
// through the GSM 03.38 tables; septets past the data read as 0 ('@').
void appendGsm7Text(std::string_view hex, std::size_t first, std::size_t total, std::string& out);

// Appends UCS2 hex (four digits per UTF-16 code unit) as UTF-8; surrogate
// pairs are combined, a lone surrogate becomes U+FFFD. Spaces are kept.
void appendUcs2Text(std::string_view hex, std::string& out);

}  // namespace reviri::sms::detail

#endif  // REVIRI_SMS_DECODE_TEXT_DECODING_H_
