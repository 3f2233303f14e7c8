// sms/encode/encode.h - PDU encoding primitives and SMS-SUBMIT assembly.
//
// Turns a phone number and a message text into the hexadecimal fields of an
// SMS-SUBMIT PDU (GSM 03.40, data coding of GSM 03.38) and joins them into
// whole PDUs. Pure functions: no I/O, no state; thread-safe.
//
// Text arguments are UTF-8. Hex output is upper case. A "length field" is a
// count in upper-case hex without leading zeros, padded to at least two digits.
#ifndef REVIRI_SMS_ENCODE_ENCODE_H_
#define REVIRI_SMS_ENCODE_ENCODE_H_

#include <string>
#include <string_view>

namespace reviri::sms {

// ---- Digit-string conversions ---------------------------------------------
std::string padBinary8(std::string_view s);
std::string decToBin(long value);             // at least 8 binary digits
long binToDec(std::string_view bits);         // throws std::overflow_error at 16+ digits
std::string decToHex(long value);             // upper case, no leading zeros
long hexToDec(std::string_view hex);
std::string hexToBin(std::string_view hex);   // decToBin(hexToDec(hex))
std::string binToHex(std::string_view bits);  // decToHex(binToDec(bits))
std::string padHex2(std::string_view s);
std::string lengthField(std::size_t count);

// ---- Field encoders ---------------------------------------------------------
// Destination address: digit count, type "91", swapped digits, "F" filler.
std::string encodeAddress(std::string_view number);
// TP-UDL (septets, escapes included) and packed GSM 7-bit user data, through
// the GSM 03.38 default alphabet and its extension table (escape 1B); a
// character in neither becomes '?'. CR LF pairs are removed first. Throws
// std::overflow_error beyond 4681 septets.
std::string encode7bit(std::string_view text);
// TP-UDL (octets) and UCS2 user data, four hex digits per UTF-16 code unit
// (characters above U+FFFF as surrogate pairs). Removes the CR LF pairs of
// `ins` in place (the caller sees the change). Throws std::overflow_error
// beyond 32766 code units.
std::string ENCodeunicodestring(std::string& ins);
// The same hex digits without a length field (phonebook names); also removes
// the CR LF pairs of `text` in place.
std::string encodeUcs2(std::string& text);

// ---- SMS-SUBMIT PDUs ----------------------------------------------------------
std::string buildPdu7bit(std::string_view number, std::string_view text);
std::string buildFlashPdu7bit(std::string_view number, std::string_view text);
std::string buildPduUcs2(std::string_view number, std::string_view text);
std::string buildFlashPduUcs2(std::string_view number, std::string_view text);
// Octets after the SMSC-length octet: hex digits / 2 - 1, rounded half to even.
int commandLength(std::string_view pdu);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_ENCODE_ENCODE_H_
