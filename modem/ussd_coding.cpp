// modem/ussd_coding.cpp - USSD request packing, answer decoding, +CUSD parsing.
#include "modem/ussd_coding.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "base/answer_fields.h"
#include "base/text.h"
#include "sms/gsm0338_alphabet.h"
#include "sms/gsm0338_text.h"
#include "sms/hex_octets.h"

namespace reviri::modem {
namespace {

constexpr std::uint8_t kCarriageReturn = 0x0D;

// Text the modem wrote as hex digit pairs.
bool allHex(std::string_view s) { return !s.empty() && s.size() % 2 == 0 && sms::detail::allHexDigits(s); }

std::string octetsOf(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(sms::detail::fieldValue(hex.substr(i, 2)));
  return out;
}

std::string unpackGsm7(std::string_view hex) {
  const std::size_t octets = hex.size() / 2;
  std::string out;
  sms::detail::appendGsm7Text(hex, 0, octets * 8 / 7, out);
  // Seven octets hold eight septets; a sender with only seven pads the last
  // with CR, many leave it 0 ('@'): neither is text.
  if (octets % 7 == 0 && !out.empty() && (out.back() == '\r' || out.back() == '@')) out.pop_back();
  return out;
}

// Packed hex decodes to text people read: printable ASCII and line ends
// (a guess, so a narrow one). Plain answers that happen to be hex digits ("1234") fail this less
// often than they pass, so it is asked only when the modem is not known
// to pack.
bool readable(std::string_view text) {
  const auto readableChar = [](char c) { return (c >= 0x20 && c <= 0x7E) || c == '\n' || c == '\r'; };
  return !text.empty() && std::ranges::all_of(text, readableChar);
}

// The alphabet a USSD data coding scheme names.
enum class UssdAlphabet { kGsm7, kEightBit, kUcs2 };

UssdAlphabet ussdAlphabet(int dcs) {
  if (dcs < 0) return UssdAlphabet::kGsm7;
  const int group = (dcs >> 4) & 0x0F;
  // The alphabet bits 2-3 of the general groups; the reserved 11 reads as 7-bit.
  static constexpr UssdAlphabet kByBits[4] = {UssdAlphabet::kGsm7, UssdAlphabet::kEightBit, UssdAlphabet::kUcs2,
                                              UssdAlphabet::kGsm7};
  if (group == 0x01) return (dcs & 0x0F) == 0x01 ? UssdAlphabet::kUcs2 : UssdAlphabet::kGsm7;
  if ((group >= 0x04 && group <= 0x07) || group == 0x09) return kByBits[(dcs >> 2) & 0x03];
  if (group == 0x0F) return (dcs & 0x04) ? UssdAlphabet::kEightBit : UssdAlphabet::kGsm7;
  return UssdAlphabet::kGsm7;
}

}  // namespace

std::string packUssd(std::string_view utf8) {
  // Room for two septets a byte (the writer's eight-at-a-time stores) and the pad.
  std::vector<std::uint8_t> septets(2 * utf8.size() + 1);
  const auto written = sms::gsm7::putTextSeptets(utf8, septets.data(), sms::gsm7::Unfit::kStop);
  if (const std::size_t at = written.unfitAt; at != std::string_view::npos) {
    std::size_t end = at;
    if (!text::decodeUtf8At(utf8, end)) throw std::invalid_argument("ussd: invalid UTF-8 at byte " + std::to_string(at));
    throw std::invalid_argument("ussd: \"" + std::string(utf8.substr(at, end - at)) +
                                "\" is not in the GSM 7-bit alphabet");
  }
  septets.resize(static_cast<std::size_t>(written.end - septets.data()));
  if (septets.size() % 8 == 7) septets.push_back(kCarriageReturn);
  std::string out((septets.size() * 7 + 7) / 8 * 2, '0');
  sms::hex::packSeptetsAsHex(septets.data(), septets.size(), out.data());
  return out;
}

std::string decodeUssdText(std::string_view payload, int dcs, bool packedLikely) {
  switch (ussdAlphabet(dcs)) {
    case UssdAlphabet::kUcs2: {
      if (!allHex(payload) || payload.size() % 4 != 0) return std::string(payload);
      std::string out;
      sms::detail::appendUcs2Text(payload, out);
      return out;
    }
    case UssdAlphabet::kEightBit:
      return allHex(payload) ? text::latin1ToUtf8(octetsOf(payload)) : std::string(payload);
    case UssdAlphabet::kGsm7: break;
  }
  if (!allHex(payload)) return std::string(payload);
  std::string unpacked = unpackGsm7(payload);
  if (packedLikely || (payload.size() >= 4 && readable(unpacked))) return unpacked;
  return std::string(payload);
}

std::optional<CusdLine> parseCusd(std::string_view line) {
  at::AnswerFields f{line};
  if (!f.skipName("+CUSD:")) return std::nullopt;
  f.skipBlanks();
  const auto status = f.integer();
  if (!status) return std::nullopt;
  CusdLine out;
  out.status = *status;
  if (!f.skipPast('"')) return out;
  // The text may hold quotes and commas: it ends at the last quote.
  const std::size_t close = f.s.rfind('"');
  if (close < f.at) return std::nullopt;
  out.payload = std::string(f.s.substr(f.at, close - f.at));
  f.at = close + 1;
  if (f.skipPast(',')) {
    f.skipBlanks();
    out.dcs = f.integer().value_or(-1);
  }
  return out;
}

UssdAnswer::Status ussdStatus(int m) {
  switch (m) {
    case 0: return UssdAnswer::Status::kDone;
    case 1: return UssdAnswer::Status::kFurtherAction;
    case 2: return UssdAnswer::Status::kTerminated;
    case 3: return UssdAnswer::Status::kOtherClient;
    case 5: return UssdAnswer::Status::kTimeout;
    default: return UssdAnswer::Status::kNotSupported;
  }
}

}  // namespace reviri::modem
