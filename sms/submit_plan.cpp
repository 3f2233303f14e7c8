// sms/submit_plan.cpp - coding choice, splitting and SMS-SUBMIT
// assembly for messages of any length.
//
// The text is turned once into the units of its coding (septets or UTF-16
// code units); parts are cut from that array and each part is packed
// straight into its PDU string, so a part costs one allocation.
#include "sms/submit_plan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "base/text.h"
#include "sms/gsm0338_alphabet.h"
#include "sms/hex_octets.h"

namespace reviri::sms {
namespace {

constexpr std::size_t kSingleSeptets = 160;
constexpr std::size_t kPartSeptets = 153;  // 160 less the 7 septets of the header
constexpr std::size_t kSingleUnits = 70;
constexpr std::size_t kPartUnits = 67;  // 70 less the 6 octets of the header
constexpr std::size_t kHeaderOctets = 6;  // 05 00 03 reference count number
constexpr std::size_t kHeaderSeptets = 7;  // 48 bits and one fill bit
constexpr std::size_t kMaxDigits = 20;
constexpr long kMaxValidityMinutes = 63L * 7 * 24 * 60;

std::string describeChar(char32_t cp) {
  std::array<char, 16> buf{};
  std::snprintf(buf.data(), buf.size(), "U+%04X", static_cast<unsigned>(cp));
  return buf.data();
}

// Decodes one UTF-8 sequence at `i`, advancing `i`. Malformed input is
// refused: a message must not go out with characters the caller never wrote.
char32_t nextCodePoint(std::string_view s, std::size_t& i) {
  if (const auto cp = text::decodeUtf8At(s, i)) return *cp;
  throw std::invalid_argument("text: not valid UTF-8 at byte " + std::to_string(i + 1));
}

// The text as the units of one coding.
struct Units {
  MessageCoding coding = MessageCoding::kGsm7;
  std::vector<std::uint8_t> septets;  // kGsm7: escape pairs included
  std::u16string utf16;               // kUcs2: surrogate pairs included
  std::size_t size() const { return coding == MessageCoding::kGsm7 ? septets.size() : utf16.size(); }
};

// Refuses forced 7-bit coding for the character at byte `at`, which neither
// GSM table holds (or which is malformed UTF-8, refused as such).
[[noreturn]] void refuseUnfit(std::string_view text, std::size_t at) {
  std::size_t i = at;
  const char32_t cp = nextCodePoint(text, i);
  // Every byte before `at` is valid UTF-8: count the characters they start.
  const auto position = 1 + std::count_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at),
                                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
  throw std::invalid_argument("text: character " + std::to_string(position) + " (" + describeChar(cp) +
                              ") is not in the GSM 7-bit alphabet; use UCS2 or automatic coding");
}

// Like text::utf8ToUtf16, but malformed input is refused, not replaced.
std::u16string toUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) text::appendUtf16(out, nextCodePoint(text, i));
  return out;
}

Units unitsOf(std::string_view text, MessageCoding coding) {
  Units units;
  if (coding != MessageCoding::kUcs2) {
    units.septets.resize(2 * text.size());
    const gsm7::TextSeptets written = gsm7::putTextSeptets(text, units.septets.data(), gsm7::Unfit::kStop);
    if (written.unfitAt == std::string_view::npos) {
      units.septets.resize(static_cast<std::size_t>(written.end - units.septets.data()));
      return units;
    }
    if (coding == MessageCoding::kGsm7) refuseUnfit(text, written.unfitAt);
  }
  units.coding = MessageCoding::kUcs2;
  units.septets.clear();
  units.utf16 = toUtf16(text);
  return units;
}

// A part may not end between an escape and its septet, nor between the two
// halves of a surrogate pair.
bool splitsPair(const Units& units, std::size_t end) {
  if (units.coding == MessageCoding::kGsm7) return units.septets[end - 1] == gsm7::kEscape;
  const char16_t last = units.utf16[end - 1];
  return last >= 0xD800 && last <= 0xDBFF;
}

// End offsets of the parts, in units. An empty text is one empty part.
std::vector<std::size_t> partEnds(const Units& units) {
  const bool gsm = units.coding == MessageCoding::kGsm7;
  const std::size_t total = units.size();
  if (total <= (gsm ? kSingleSeptets : kSingleUnits)) return {total};
  const std::size_t perPart = gsm ? kPartSeptets : kPartUnits;
  std::vector<std::size_t> ends;
  ends.reserve(total / (perPart - 1) + 1);
  for (std::size_t start = 0; start < total;) {
    std::size_t end = std::min(start + perPart, total);
    if (end < total && splitsPair(units, end)) --end;
    ends.push_back(end);
    start = end;
  }
  return ends;
}

struct DialString {
  std::string digits;
  bool international = false;
};

// Digits of a phone number; blanks, '-', '.', '/' and parentheses are
// separators a person may type.
DialString parseDialString(std::string_view number, std::string_view field) {
  DialString dial;
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (c >= '0' && c <= '9') {
      dial.digits += c;
    } else if (c == '+' && dial.digits.empty() && !dial.international) {
      dial.international = true;
    } else if (c != ' ' && c != '-' && c != '.' && c != '/' && c != '(' && c != ')') {
      throw std::invalid_argument(std::string(field) + ": \"" + std::string(number) +
                                  "\" is not a phone number (digits with an optional leading +)");
    }
  }
  if (dial.digits.empty())
    throw std::invalid_argument(std::string(field) + ": \"" + std::string(number) + "\" has no digits");
  if (dial.digits.size() > kMaxDigits)
    throw std::invalid_argument(std::string(field) + ": \"" + std::string(number) + "\" has more than " +
                                std::to_string(kMaxDigits) + " digits");
  return dial;
}

using hex::appendHexOctet;

// Type of address and the digits as swapped semi-octets, 'F' filling an odd count.
void appendTypeAndDigits(std::string& out, const DialString& dial) {
  appendHexOctet(out, dial.international ? 0x91 : 0x81);
  hex::appendSwappedDigits(out, dial.digits);
}

std::string serviceCentreField(std::string_view smsc) {
  if (smsc.empty()) return "00";
  const DialString dial = parseDialString(smsc, "smsc");
  std::string out;
  appendHexOctet(out, static_cast<unsigned>(1 + (dial.digits.size() + 1) / 2));  // octets after this one
  appendTypeAndDigits(out, dial);
  return out;
}

// TP-VP, relative format: the smallest period the octet can express that is
// at least `validity`.
unsigned relativeValidity(std::chrono::minutes validity) {
  const long m = static_cast<long>(validity.count());
  if (m <= 0 || m > kMaxValidityMinutes)
    throw std::invalid_argument("validity: " + std::to_string(m) +
                                " minutes is outside 1 minute to 63 weeks");
  auto ceilDiv = [](long a, long b) { return (a + b - 1) / b; };
  if (m <= 12 * 60) return static_cast<unsigned>(ceilDiv(m, 5) - 1);
  if (m <= 24 * 60) return static_cast<unsigned>(143 + ceilDiv(m - 12 * 60, 30));
  if (m <= 30 * 24 * 60) return static_cast<unsigned>(166 + ceilDiv(m, 24 * 60));
  return static_cast<unsigned>(192 + ceilDiv(m, 7 * 24 * 60));
}

// The fields every part shares, from TP-MR to TP-VP; TP-MR is 00 so that
// the modem numbers each part itself.
std::string sharedFields(const SubmitRequest& request, MessageCoding coding) {
  const DialString to = parseDialString(request.to, "to");
  std::string out = "00";
  appendHexOctet(out, static_cast<unsigned>(to.digits.size()));
  appendTypeAndDigits(out, to);
  out += "00";  // TP-PID: plain short message
  unsigned dcs = coding == MessageCoding::kUcs2 ? 0x08 : 0x00;
  if (request.flash) dcs |= 0x10;  // class given, class 0
  appendHexOctet(out, dcs);
  if (request.validity) appendHexOctet(out, relativeValidity(*request.validity));
  return out;
}

struct PartLayout {
  std::size_t begin, end;  // in units
  int number, count;
  std::uint8_t reference;
};

void appendConcatHeader(std::uint8_t* octets, const PartLayout& part) {
  const std::uint8_t header[kHeaderOctets] = {5, 0x00, 3, part.reference,
                                              static_cast<std::uint8_t>(part.count),
                                              static_cast<std::uint8_t>(part.number)};
  std::copy(header, header + kHeaderOctets, octets);
}

// TP-UDL and TP-UD of one part in 7-bit coding. The header's 48 bits and
// one fill bit are exactly seven septets, so they go in front of the text
// as septets and the whole part packs in one pass.
void appendGsm7UserData(std::string& out, const Units& units, const PartLayout& part) {
  std::array<std::uint8_t, kHeaderSeptets + kSingleSeptets> septets;
  std::size_t count = 0;
  if (part.count > 1) {
    std::uint8_t header[kHeaderOctets];
    appendConcatHeader(header, part);
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < kHeaderOctets; ++k) bits |= std::uint64_t{header[k]} << (8 * k);
    for (; count < kHeaderSeptets; ++count) septets[count] = (bits >> (7 * count)) & 0x7F;
  }
  const std::size_t text = part.end - part.begin;
  std::copy_n(units.septets.data() + part.begin, text, septets.data() + count);
  count += text;
  appendHexOctet(out, static_cast<unsigned>(count));
  hex::appendSeptetsAsHex(out, septets.data(), count);
}

// TP-UDL and TP-UD of one part in UCS2 coding.
void appendUcs2UserData(std::string& out, const Units& units, const PartLayout& part) {
  const std::size_t count = part.end - part.begin;
  const bool header = part.count > 1;
  appendHexOctet(out, static_cast<unsigned>(2 * count + (header ? kHeaderOctets : 0)));
  const std::size_t at = out.size();
  out.resize(at + (header ? 2 * kHeaderOctets : 0) + 4 * count);
  char* p = out.data() + at;
  if (header) {
    std::uint8_t octets[kHeaderOctets];
    appendConcatHeader(octets, part);
    for (const std::uint8_t o : octets) p = hex::putHexOctet(p, o);
  }
  hex::putUcs2Hex(p, std::u16string_view(units.utf16).substr(part.begin, count));
}

unsigned firstOctet(const SubmitRequest& request, bool header) {
  unsigned fo = 0x01;                      // SMS-SUBMIT
  if (request.validity) fo |= 0x10;        // TP-VPF: relative
  if (request.statusReport) fo |= 0x20;    // TP-SRR
  if (header) fo |= 0x40;                  // TP-UDHI
  return fo;
}

void checkPartCount(std::size_t parts, const SubmitRequest& request) {
  if (parts > 1 && !request.allowSplit)
    throw std::invalid_argument("text: needs " + std::to_string(parts) +
                                " messages and splitting is turned off");
  if (parts > static_cast<std::size_t>(kMaxParts))
    throw std::invalid_argument("text: needs " + std::to_string(parts) + " messages; at most " +
                                std::to_string(kMaxParts) + " can be joined");
}

}  // namespace

std::vector<SubmitPart> planSubmit(const SubmitRequest& request) {
  const Units units = unitsOf(request.text, request.coding);
  const std::vector<std::size_t> ends = partEnds(units);
  checkPartCount(ends.size(), request);
  const std::string smsc = serviceCentreField(request.smsc);
  const std::string shared = sharedFields(request, units.coding);
  const int count = static_cast<int>(ends.size());

  std::vector<SubmitPart> parts;
  parts.reserve(ends.size());
  std::size_t begin = 0;
  for (int i = 0; i < count; ++i) {
    const PartLayout layout{begin, ends[i], i + 1, count, request.concatReference};
    begin = ends[i];
    SubmitPart part;
    part.partNumber = layout.number;
    part.partCount = count;
    std::string& pdu = part.pduHex;
    pdu.reserve(smsc.size() + 2 + shared.size() + 2 + 2 * 140);
    pdu += smsc;
    appendHexOctet(pdu, firstOctet(request, count > 1));
    pdu += shared;
    if (units.coding == MessageCoding::kGsm7)
      appendGsm7UserData(pdu, units, layout);
    else
      appendUcs2UserData(pdu, units, layout);
    part.tpduLength = static_cast<int>((pdu.size() - smsc.size()) / 2);
    parts.push_back(std::move(part));
  }
  return parts;
}

MessageCoding codingFor(std::string_view text) { return unitsOf(text, MessageCoding::kAuto).coding; }

PartCount countParts(std::string_view text, MessageCoding coding) {
  const Units units = unitsOf(text, coding);
  return {units.coding, static_cast<int>(partEnds(units).size())};
}

}  // namespace reviri::sms
