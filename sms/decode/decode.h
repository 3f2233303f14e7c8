// sms/decode/decode.h - decoding of SMS-DELIVER and SMS-SUBMIT PDUs.
//
// Turns a PDU string (hex, either case, optional service-centre address) into
// a record of text fields. Decoders never fail on malformed input and never
// read out of range. Pure functions: no I/O, no state; thread-safe.
// Decoded text is UTF-8.
#ifndef REVIRI_SMS_DECODE_DECODE_H_
#define REVIRI_SMS_DECODE_DECODE_H_

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

}  // namespace reviri::sms

#endif  // REVIRI_SMS_DECODE_DECODE_H_
