// control/compat/pdu_records.cpp - SMS-DELIVER and SMS-SUBMIT records: the
// control's preset over the strict reader's field walk.
//
// sms::HexFields walks the fields in its lenient mode: a field partly past
// the end is short, wholly past it empty. Numeric values of fields follow
// leadingHexValue: blanks skipped, reading stops at the first non-hex
// character, no digit gives 0. Each rule of the control is one function here.
#include "control/compat/pdu_compat.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "base/text.h"
#include "sms/gsm0338_text.h"
#include "sms/gsm0340_tpdu.h"
#include "sms/hex_octets.h"

namespace reviri::sms {
namespace {

using detail::AsciiPdu;
using detail::divideRoundHalfEven;
std::size_t value(std::string_view field) { return detail::fieldValue(field); }

// Characters from 1-based position `pos`, at most `len` of them.
std::string_view mid(std::string_view s, std::size_t pos, std::size_t len) {
  if (pos < 1 || pos > s.size()) return {};
  return s.substr(pos - 1, len);
}
std::string_view from(std::string_view s, std::size_t pos) { return mid(s, pos, std::string_view::npos); }

// Semi-octet pairs swapped back; spaces around them and one 'F' filler at
// the end are dropped. `s` holds no byte above 7F.
std::string swapAsciiDigits(std::string_view s) {
  const std::size_t pairs = divideRoundHalfEven(s.size(), 2);
  std::string out(std::min(2 * pairs, s.size()), ' ');
  char* p = out.data();
  for (std::size_t i = 0; i < pairs; ++i) {
    if (2 * i + 1 < s.size()) *p++ = s[2 * i + 1];
    if (2 * i < s.size()) *p++ = s[2 * i];
  }
  if (!out.empty() && (out.front() == ' ' || out.back() == ' ')) out = text::trimSpaces(out);
  if (!out.empty() && (out.back() == 'F' || out.back() == 'f')) out.pop_back();
  return out;
}

// Numeric addresses are swapped semi-octets as stored, without a "+".
std::string addressText(const MessageFields& f) {
  if (isAlphanumeric(static_cast<std::uint8_t>(value(f.addressType))))
    return alphanumericAddress(f.address, value(f.addressLength));
  return swapAsciiDigits(f.address);
}

// A leading type-of-address octet above 80 means a service-centre address;
// an empty one ("00") is skipped. Otherwise SMS-DELIVER takes the whole
// string as the TPDU and SMS-SUBMIT skips the first octet. Fills the
// service-centre fields; returns the TPDU.
template <typename Record>
std::string_view takeServiceCentre(std::string_view pdu, bool skipFirstOctet, Record& record) {
  const std::size_t length = value(mid(pdu, 1, 2));
  const bool present = length != 0 && value(mid(pdu, 3, 2)) > 0x80;
  record.scalen = present ? mid(pdu, 1, 2) : std::string_view{};
  record.scatype = present ? mid(pdu, 3, 2) : std::string_view{};
  record.scanum = present ? mid(pdu, 5, 2 * length - 2) : std::string_view{};
  if (present) return from(pdu, 2 * length + 3);
  return length == 0 || skipFirstOctet ? from(pdu, 3) : pdu;
}

// The user-data header at the start of `ud` and its concatenation element:
// the last one counts, whatever its counts say. Returns the header's octets.
template <typename Record>
std::size_t readHeader(std::string_view ud, Record& record) {
  const std::size_t available = divideRoundHalfEven(ud.size(), 2);
  const std::size_t headerOctets = (available > 0 ? value(ud.substr(0, 2)) : 0) + 1;
  record.udh = mid(ud, 1, 2 * headerOctets);
  for (const InformationElement& e : headerElements(ud, std::min(headerOctets, available))) {
    if (const auto c = concatenationElement(e.id, e.data)) {
      record.concatRef = std::to_string(c->reference);
      record.concatTotal = std::to_string(c->total);
      record.concatSeq = std::to_string(c->sequence);
    }
  }
  return headerOctets;
}

// Turns `ud` (hex as stored) into text when `isText` and the coding scheme
// allow it, and fills the header fields. Shared by both message decoders.
template <typename Record>
bool decodeText(std::string_view ud, std::size_t firstOctet, bool isText, Record& record) {
  record.udh.clear(), record.concatRef.clear(), record.concatTotal.clear(), record.concatSeq.clear();
  const std::size_t headerOctets = isText && (firstOctet & 0x40) ? readHeader(ud, record) : 0;  // TP-UDHI
  const DataCoding coding = dataCodingOf(static_cast<std::uint8_t>(value(record.dcs)), DcsReading::kStrict);
  if (!isText || coding.compressed || coding.alphabet == MessageCoding::k8bit) {
    record.ud = ud;
    return false;
  }
  if (coding.alphabet == MessageCoding::kUcs2) {
    record.ud = decodeUcs2(from(ud, 2 * headerOctets + 1));
    return true;
  }
  // The header and its fill bits take whole septets.
  record.ud.clear();
  detail::appendGsm7Text(ud, (headerOctets * 8 + 6) / 7, value(record.udl), record.ud);
  return true;
}

template <typename Record>
bool walk(std::string_view pdu, Record& record) {
  constexpr bool kSubmit = std::is_same_v<Record, submitrecord>;
  const AsciiPdu ascii(pdu);
  HexFields in(takeServiceCentre(ascii.view(), kSubmit, record), false);
  record.fo = in.take(1, {});
  const std::size_t firstOctet = value(record.fo);
  const MessageFields f = kSubmit ? takeSubmitFields(in, static_cast<std::uint8_t>(firstOctet)) : takeDeliverFields(in);
  if constexpr (kSubmit) {
    record.mr = f.messageReference;
    record.dalen = f.addressLength;
    record.datype = f.addressType;
    record.danum = addressText(f);
    record.vp = f.validityPeriod;
  } else {
    record.oalen = f.addressLength;
    record.oatype = f.addressType;
    record.oanum = addressText(f);
    record.scts = f.timestamp;
  }
  record.pid = f.protocolId;
  record.dcs = f.dataCoding;
  record.udl = f.userDataLength;
  // When TP-MTI says a record read as SMS-DELIVER is none (a status report,
  // or a SUBMIT kept among the received messages), its fields are not where
  // the walk took them, so no text is made of them.
  return decodeText(in.rest(), firstOctet, kSubmit || (firstOctet & 0x03) == 0, record);
}

// True when `pdu` lies in one of the record's own strings, which the walk
// overwrites as it goes; the caller then walks a copy.
bool pointsInto(std::string_view pdu, std::initializer_list<const std::string*> fields) {
  const auto at = reinterpret_cast<std::uintptr_t>(pdu.data());
  for (const std::string* f : fields) {
    const auto begin = reinterpret_cast<std::uintptr_t>(f->data());
    if (at >= begin && at <= begin + f->size()) return true;
  }
  return false;
}

}  // namespace

bool decodeDeliver(std::string_view pdu, deliverrecord& record) {
  if (pointsInto(pdu, {&record.scalen, &record.scatype, &record.scanum, &record.fo, &record.oalen,
                       &record.oatype, &record.oanum, &record.pid, &record.dcs, &record.scts,
                       &record.udl, &record.ud, &record.udh, &record.concatRef,
                       &record.concatTotal, &record.concatSeq}))
    return walk(std::string(pdu), record);
  return walk(pdu, record);
}

bool decodeSubmit(std::string_view pdu, submitrecord& record) {
  if (pointsInto(pdu, {&record.scalen, &record.scatype, &record.scanum, &record.fo, &record.mr,
                       &record.dalen, &record.datype, &record.danum, &record.pid, &record.dcs,
                       &record.vp, &record.udl, &record.ud, &record.udh, &record.concatRef,
                       &record.concatTotal, &record.concatSeq}))
    return walk(std::string(pdu), record);
  return walk(pdu, record);
}

std::string swapDigits(std::string_view semiOctets) { return swapAsciiDigits(AsciiPdu(semiOctets).view()); }

std::string decode7bit(std::string_view udlAndData) {
  const AsciiPdu ascii(udlAndData);
  std::string out;
  detail::appendGsm7Text(from(ascii.view(), 3), 0, value(mid(ascii.view(), 1, 2)), out);
  return out;
}

std::string decodeUcs2(std::string_view hex) {
  const AsciiPdu ascii(hex);
  std::string out;
  detail::appendUcs2Text(ascii.view(), out);
  return text::trimSpaces(out);
}

std::string decodeTimestamp(std::string_view scts) {
  const AsciiPdu ascii(scts);
  const std::string_view s = ascii.view();
  if (s.size() != 14) return {};
  std::string out;
  hex::appendSwappedDigits(out, s.substr(0, 12));
  return out.append(s.substr(12));  // the time-zone octet as stored
}

}  // namespace reviri::sms
