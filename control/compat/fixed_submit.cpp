// control/compat/fixed_submit.cpp - address, GSM 7-bit and UCS2 user-data encoders and
// the four SMS-SUBMIT builders.
//
// The builders append every field to one string, so building a PDU costs one
// allocation for ASCII text (two when the text needs UTF-16 conversion).
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/text.h"
#include "control/compat/pdu_compat.h"
#include "sms/gsm0338_alphabet.h"
#include "sms/gsm0338_text.h"
#include "sms/hex_octets.h"

namespace reviri::sms {
namespace {

// Counts stay within the control's 16-bit signed range: more packed bits
// than 32767, or more UTF-16 code units than 32766, raise overflow_error.
constexpr std::size_t kMaxSeptets = 32767 / 7;  // 4681 septets, 4096 octets
constexpr std::size_t kMaxUcs2Units = 32766;

// Appends TP-UDL (septets, escapes included) and the packed user data of
// `text`, with its CR LF pairs dropped.
void appendUserData7bit(std::string& out, std::string_view text) {
  std::string dropped;
  if (text.find("\r\n") != std::string_view::npos) {
    // Unlike the UCS2 forms, pairs are dropped between characters: malformed
    // UTF-8 becomes U+FFFD first, so that no pair joins the bytes around it.
    dropped = text::removeCrLf(text::utf16ToUtf8(text::utf8ToUtf16(text)));
    text = dropped;
  }
  // Every byte gives at most two septets (an escape pair).
  hex::ScratchBytes<640> scratch(2 * text.size());
  std::uint8_t* septets = scratch.data();
  const gsm7::TextSeptets written = gsm7::putTextSeptets(text, septets, gsm7::Unfit::kQuestionMark);
  const auto count = static_cast<std::size_t>(written.end - septets);
  if (count > kMaxSeptets) throw std::overflow_error("encode7bit: text too long");
  out += lengthField(count);
  hex::appendSeptetsAsHex(out, septets, count);
}

// UTF-16 code units of `text`, which has had its CR LF pairs dropped already:
// they are removed exactly once, so "A CR CR LF LF B" keeps its inner CR LF.
std::u16string ucs2Units(std::string_view text) {
  std::u16string units = text::utf8ToUtf16(text);
  if (units.size() > kMaxUcs2Units) throw std::overflow_error("UCS2 text too long");
  return units;
}

void appendUserDataUcs2(std::string& out, std::string_view text) {
  const std::u16string units = ucs2Units(text);
  out += lengthField(units.size() * 2);
  hex::appendUcs2Hex(out, units);
}

void dropCrLfInPlace(std::string& s) {
  if (s.find("\r\n") != std::string::npos) s = text::removeCrLf(s);
}

void appendAddress(std::string& out, std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  if (detail::isAscii(number)) {
    out += lengthField(number.size());
    out += "91";
    hex::appendSwappedDigits(out, number);
    return;
  }
  // Rare: non-ASCII characters are swapped as characters, not bytes.
  const std::u16string wide = text::utf8ToUtf16(number);
  std::u16string swapped;
  hex::appendSwappedDigits(swapped, std::u16string_view(wide));
  out += lengthField(wide.size()) + "91" + text::utf16ToUtf8(swapped);
}

// No service centre, TP-MR 00, type of address 91 whatever the number, and a
// relative validity period of three days (A9); the flash forms ask for class 0.
std::string buildSubmit(std::string_view number, std::string_view text, bool ucs2, bool flash) {
  std::string pdu;
  pdu.reserve(number.size() + 20 + text.size() * 4);
  pdu += "001100";  // no SMSC, SMS-SUBMIT with TP-VPF relative, TP-MR 00
  appendAddress(pdu, number);
  char tail[] = "0000A9";  // TP-PID, TP-DCS, TP-VP
  hex::putHexOctet(tail + 2, (flash ? 0x10 : 0x00) | (ucs2 ? 0x08 : 0x00));
  pdu.append(tail, 6);
  if (!ucs2) {
    appendUserData7bit(pdu, text);
  } else {
    appendUserDataUcs2(pdu, text::removeCrLf(text));
  }
  return pdu;
}

}  // namespace

std::string encodeAddress(std::string_view number) {
  std::string out;
  out.reserve(number.size() + 6);
  appendAddress(out, number);
  return out;
}

std::string encode7bit(std::string_view text) {
  std::string out;
  appendUserData7bit(out, text);
  return out;
}

std::string ENCodeunicodestring(std::string& ins) {
  dropCrLfInPlace(ins);
  std::string out;
  appendUserDataUcs2(out, ins);
  return out;
}

std::string encodeUcs2(std::string& text) {
  dropCrLfInPlace(text);
  std::string out;
  hex::appendUcs2Hex(out, ucs2Units(text));
  return out;
}

std::string buildPdu7bit(std::string_view number, std::string_view text) {
  return buildSubmit(number, text, false, false);
}
std::string buildFlashPdu7bit(std::string_view number, std::string_view text) {
  return buildSubmit(number, text, false, true);
}
std::string buildPduUcs2(std::string_view number, std::string_view text) {
  return buildSubmit(number, text, true, false);
}
std::string buildFlashPduUcs2(std::string_view number, std::string_view text) {
  return buildSubmit(number, text, true, true);
}

int commandLength(std::string_view pdu) {
  // hex digits / 2 - 1, rounded half to even (an odd digit count ends in .5).
  const double exact = static_cast<double>(pdu.size()) / 2.0 - 1.0;
  return static_cast<int>(std::nearbyint(exact));
}

std::string lengthField(std::size_t count) {
  std::string out;
  do {
    out.insert(out.begin(), "0123456789ABCDEF"[count % 16]);
    count /= 16;
  } while (count > 0);
  if (out.size() == 1) out.insert(out.begin(), '0');
  return out;
}

}  // namespace reviri::sms
