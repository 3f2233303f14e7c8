// control/compat/pdu_records.cpp - SMS-DELIVER and SMS-SUBMIT decoding.
//
// Fields are cut from the PDU by 1-based character positions; cutting never
// reads past the end (a field partly past the end is short, wholly past it is
// empty). Numeric values of fields follow leadingHexValue: blanks skipped, reading
// stops at the first non-hex character, no digit gives 0.
#include "control/compat/pdu_compat.h"
#include "sms/gsm0338_text.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "base/text.h"
#include "sms/gsm0340_tpdu.h"

namespace reviri::sms {
namespace {

using detail::AsciiPdu;
using detail::divideRoundHalfEven;
using detail::fieldValue;
std::size_t value(std::string_view field) { return fieldValue(field); }

// Characters from 1-based position `pos`, at most `len` of them.
std::string_view mid(std::string_view s, std::size_t pos, std::size_t len) {
  if (pos < 1 || pos > s.size()) return {};
  return s.substr(pos - 1, len);
}
std::string_view from(std::string_view s, std::size_t pos) { return mid(s, pos, std::string_view::npos); }

std::string decodeSeptets(std::string_view hex, std::size_t first, std::size_t total) {
  std::string out;
  detail::appendGsm7Text(hex, first, total, out);
  return out;
}

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

// Numeric addresses are swapped semi-octets; an alphanumeric one (type of
// number 101) is GSM 7-bit text whose length counts semi-octets.
std::string decodeAddress(std::string_view digits, std::string_view type, std::string_view length) {
  if ((value(type) & 0x70) == 0x50) return decodeSeptets(digits, 0, value(length) * 4 / 7);
  return swapAsciiDigits(digits);
}

struct ServiceCentre {
  std::string_view len, type, num, tpdu;
};

// A leading type-of-address octet above 80 means a service-centre address;
// an empty one ("00") is skipped. Otherwise SMS-DELIVER takes the whole
// string as the TPDU and SMS-SUBMIT skips the first octet.
ServiceCentre splitServiceCentre(std::string_view pdu, bool skipFirstOctet) {
  const std::size_t length = value(mid(pdu, 1, 2));
  if (length == 0) return {{}, {}, {}, from(pdu, 3)};
  if (value(mid(pdu, 3, 2)) > 0x80)
    return {mid(pdu, 1, 2), mid(pdu, 3, 2), mid(pdu, 5, 2 * length - 2), from(pdu, 2 * length + 3)};
  return {{}, {}, {}, skipFirstOctet ? from(pdu, 3) : pdu};
}

// Fills the service-centre fields; returns the TPDU.
template <typename Record>
std::string_view takeServiceCentre(std::string_view pdu, bool skipFirstOctet, Record& record) {
  const ServiceCentre sc = splitServiceCentre(pdu, skipFirstOctet);
  record.scalen = sc.len;
  record.scatype = sc.type;
  record.scanum = sc.num;
  return sc.tpdu;
}

struct HeaderFields {
  std::string udh, concatRef, concatTotal, concatSeq;
  std::size_t headerOctets = 0;
};

// Reads the user-data header at the start of `ud` and its concatenation
// element; the last one counts, whatever its counts say.
HeaderFields readHeader(std::string_view ud) {
  HeaderFields h;
  const std::size_t available = divideRoundHalfEven(ud.size(), 2);
  auto octet = [&](std::size_t k) -> std::uint8_t {
    return k < available ? static_cast<std::uint8_t>(fieldValue(ud.substr(2 * k, 2))) : 0;
  };
  h.headerOctets = std::size_t{octet(0)} + 1;
  h.udh = std::string(mid(ud, 1, 2 * h.headerOctets));
  const std::size_t end = std::min(h.headerOctets, available);
  forEachHeaderElement(end, octet, [&](std::uint8_t id, std::size_t first, std::size_t length) {
    std::vector<std::uint8_t> data;
    for (std::size_t k = 0; k < length && k < 4; ++k) data.push_back(octet(first + k));
    if (const auto c = concatenationElement(id, data); c && length == data.size()) {
      h.concatRef = std::to_string(c->reference);
      h.concatTotal = std::to_string(c->total);
      h.concatSeq = std::to_string(c->sequence);
    }
  });
  return h;
}

// Turns `ud` (hex as stored) into text when the coding scheme allows it and
// fills the header fields. Shared by both message decoders.
template <typename Record>
bool decodeText(std::string_view ud, std::size_t firstOctet, Record& record) {
  HeaderFields header;
  if (firstOctet & 0x40) header = readHeader(ud);  // TP-UDHI
  record.udh = std::move(header.udh);
  record.concatRef = std::move(header.concatRef);
  record.concatTotal = std::move(header.concatTotal);
  record.concatSeq = std::move(header.concatSeq);

  const DataCoding coding = dataCodingOf(static_cast<std::uint8_t>(value(record.dcs)), DcsReading::kStrict);
  if (coding.compressed || coding.alphabet == MessageCoding::k8bit) {
    record.ud = ud;
    return false;
  }
  if (coding.alphabet == MessageCoding::kUcs2) {
    record.ud = decodeUcs2(from(ud, 2 * header.headerOctets + 1));
    return true;
  }
  // The header and its fill bits take whole septets.
  const std::size_t skip = (header.headerOctets * 8 + 6) / 7;
  record.ud.clear();
  detail::appendGsm7Text(ud, skip, value(record.udl), record.ud);
  return true;
}

bool walkDeliver(std::string_view pdu, deliverrecord& record) {
  const AsciiPdu ascii(pdu);
  const std::string_view t = takeServiceCentre(ascii.view(), false, record);
  record.fo = mid(t, 1, 2);
  record.oalen = mid(t, 3, 2);
  record.oatype = mid(t, 5, 2);
  const std::size_t n = (value(record.oalen) + 1) / 2;
  record.oanum = decodeAddress(mid(t, 7, 2 * n), record.oatype, record.oalen);
  record.pid = mid(t, 2 * n + 7, 2);
  record.dcs = mid(t, 2 * n + 9, 2);
  record.scts = mid(t, 2 * n + 11, 14);
  record.udl = mid(t, 2 * n + 25, 2);
  const std::size_t firstOctet = value(record.fo);
  if ((firstOctet & 0x03) != 0) {
    // TP-MTI says this is no SMS-DELIVER (a status report, or a SUBMIT kept
    // among the received messages): its fields are not where the walk took
    // them, so no text is made of them.
    record.ud = from(t, 2 * n + 27);
    record.udh.clear(), record.concatRef.clear(), record.concatTotal.clear(), record.concatSeq.clear();
    return false;
  }
  return decodeText(from(t, 2 * n + 27), firstOctet, record);
}

bool walkSubmit(std::string_view pdu, submitrecord& record) {
  const AsciiPdu ascii(pdu);
  const std::string_view t = takeServiceCentre(ascii.view(), true, record);
  record.fo = mid(t, 1, 2);
  record.mr = mid(t, 3, 2);
  record.dalen = mid(t, 5, 2);
  record.datype = mid(t, 7, 2);
  const std::size_t n = (value(record.dalen) + 1) / 2;
  record.danum = decodeAddress(mid(t, 9, 2 * n), record.datype, record.dalen);
  record.pid = mid(t, 2 * n + 9, 2);
  record.dcs = mid(t, 2 * n + 11, 2);
  // TP-VPF (bits 4-3): 00 none, 10 relative (one octet), 01 enhanced and
  // 11 absolute (seven octets).
  const std::size_t firstOctet = value(record.fo);
  static constexpr std::size_t kVpDigits[4] = {0, 14, 2, 14};
  const std::size_t vpDigits = kVpDigits[(firstOctet >> 3) & 3];
  record.vp = mid(t, 2 * n + 13, vpDigits);
  record.udl = mid(t, 2 * n + 13 + vpDigits, 2);
  return decodeText(from(t, 2 * n + 15 + vpDigits), firstOctet, record);
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
    return walkDeliver(std::string(pdu), record);
  return walkDeliver(pdu, record);
}

bool decodeSubmit(std::string_view pdu, submitrecord& record) {
  if (pointsInto(pdu, {&record.scalen, &record.scatype, &record.scanum, &record.fo, &record.mr,
                       &record.dalen, &record.datype, &record.danum, &record.pid, &record.dcs,
                       &record.vp, &record.udl, &record.ud, &record.udh, &record.concatRef,
                       &record.concatTotal, &record.concatSeq}))
    return walkSubmit(std::string(pdu), record);
  return walkSubmit(pdu, record);
}

std::string swapDigits(std::string_view semiOctets) { return swapAsciiDigits(AsciiPdu(semiOctets).view()); }

std::string decode7bit(std::string_view udlAndData) {
  const AsciiPdu ascii(udlAndData);
  return decodeSeptets(from(ascii.view(), 3), 0, value(mid(ascii.view(), 1, 2)));
}

std::string decodeUcs2(std::string_view hex) {
  const AsciiPdu ascii(hex);
  std::string out;
  detail::appendUcs2Text(ascii.view(), out);
  const std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  out.erase(out.find_last_not_of(' ') + 1);
  out.erase(0, first);
  return out;
}

std::string decodeTimestamp(std::string_view scts) {
  const AsciiPdu ascii(scts);
  const std::string_view s = ascii.view();
  if (s.size() != 14) return {};
  std::string out(14, ' ');
  for (std::size_t i = 0; i < 12; i += 2) {
    out[i] = s[i + 1];
    out[i + 1] = s[i];
  }
  out[12] = s[12];
  out[13] = s[13];
  return out;
}


}  // namespace reviri::sms
