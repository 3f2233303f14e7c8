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

struct deliverrecord {
  std::string scalen, scatype, scanum, fo, oalen, oatype, oanum, pid, dcs, scts, udl, ud;
};

struct submitrecord {
  std::string scalen, scatype, scanum, fo, mr, dalen, datype, danum, pid, dcs, vp, udl, ud;
};

// True when `ud` holds decoded text; otherwise `ud` keeps the hex digits.
bool decodeDeliver(std::string_view pdu, deliverrecord& record);
bool decodeSubmit(std::string_view pdu, submitrecord& record);

std::string swapDigits(std::string_view semiOctets);
// Septet count (2 hex digits) followed by packed user data.
std::string decode7bit(std::string_view udlAndData);
std::string decodeUcs2(std::string_view hex);
std::string decodeTimestamp(std::string_view scts);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_DECODE_DECODE_H_
