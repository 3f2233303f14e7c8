// control/compat/pdu_compat.h - the control's PDU codecs: compatibility
// presets over the codecs of sms/.
//
// The control's members hand their hosts PDUs and records in fixed forms that
// hosts have come to rely on; these functions keep them, and the codecs of
// sms/ do the work (the GSM 03.38 tables and text decoders, the one reading
// of the data coding scheme, the header walk, the septet packer and the hex
// writers). The rules kept, each on purpose:
//   Decoding (decodeDeliver, decodeSubmit: records of hex strings)
//   - never fails and never throws: fields are cut by 1-based character
//     positions, a field partly past the end is short, wholly past it empty;
//   - a character that is not a hex digit is junk, read as sms::detail::leadingHexValue
//     reads it
//     (blanks skipped, reading stops there); a character above 7F reads '?';
//   - an odd hex length holds its length / 2 octets rounded half to even;
//   - reserved data coding values (80-BF, alphabet bits 11), 8-bit and
//     compressed data are undecodable: `ud` keeps the hex and the result is
//     false (DcsReading::kStrict);
//   - the fields are walked by sms::HexFields (lenient mode), the header
//     elements listed by sms::headerElements and a concatenation read by
//     sms::concatenationElement, as the strict reader does, but the last
//     concatenation element counts and its counts are not checked (the strict
//     reader keeps the first valid one);
//   - a UCS2 text loses its leading and trailing spaces;
//   - a PDU whose TP-MTI is no SMS-DELIVER gives no text for decodeDeliver;
//   - a service-centre field counts only when its type octet is above 80.
//   Encoding (the four fixed-form SMS-SUBMIT builders)
//   - no service centre, TP-MR 00, TP-VP relative A9 (three days), type of
//     address 91 whatever the number, no splitting (a long text makes one
//     oversized PDU with a length field of three or more digits);
//   - CR LF pairs are removed from the text; a character in neither GSM table
//     becomes '?'; counts stop at the control's 16-bit limits.
//
// Text arguments are UTF-8. Hex output is upper case. A "length field" is a
// count in upper-case hex without leading zeros, padded to at least two
// digits. Pure functions: no I/O, no state; thread-safe.
#ifndef REVIRI_CONTROL_COMPAT_PDU_COMPAT_H_
#define REVIRI_CONTROL_COMPAT_PDU_COMPAT_H_

#include <string>
#include <string_view>

namespace reviri::sms {

// Fields hold the hex digits as stored unless noted. `oanum`/`danum` are the
// digits of a numeric address (no "+") or the text of an alphanumeric one.
// After the listed fields: `udh` is the user-data header in hex (when TP-UDHI
// is set); `concatRef`, `concatTotal` and `concatSeq` are the decimal values
// of its concatenation element (8- or 16-bit reference), empty when absent.
// Characters outside ASCII in the PDU are not hex digits; fields copied as
// stored show each of them as '?'.
struct deliverrecord {
  std::string scalen, scatype, scanum, fo, oalen, oatype, oanum, pid, dcs, scts, udl, ud;
  std::string udh, concatRef, concatTotal, concatSeq;
};

// `vp` holds the validity period as TP-VPF announces it: empty, 2 or 14 digits.
struct submitrecord {
  std::string scalen, scatype, scanum, fo, mr, dalen, datype, danum, pid, dcs, vp, udl, ud;
  std::string udh, concatRef, concatTotal, concatSeq;
};

// True when `ud` holds decoded text; otherwise `ud` keeps the hex digits.
bool decodeDeliver(std::string_view pdu, deliverrecord& record);
bool decodeSubmit(std::string_view pdu, submitrecord& record);

std::string swapDigits(std::string_view semiOctets);
// Septet count (2 hex digits) followed by packed user data, read through the
// GSM 03.38 default alphabet and extension table. Always `count` septets:
// septets past the end of the data read as 0 ('@').
std::string decode7bit(std::string_view udlAndData);
// Four hex digits per UTF-16 code unit; surrogate pairs are combined. Leading
// and trailing spaces are removed.
std::string decodeUcs2(std::string_view hex);
// Six swapped semi-octet pairs (YYMMDDhhmmss) and the time-zone octet as
// stored; empty unless the input has exactly 14 characters.
std::string decodeTimestamp(std::string_view scts);

// ---- Digit-string conversions ---------------------------------------------
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

#endif  // REVIRI_CONTROL_COMPAT_PDU_COMPAT_H_
