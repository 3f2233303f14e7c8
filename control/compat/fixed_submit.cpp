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

using hex::packSeptetsAsHex;

// Counts stay within the control's 16-bit signed range: more packed bits
// than 32767, or more UTF-16 code units than 32766, raise overflow_error.
constexpr std::size_t kMaxSeptets = 32767 / 7;  // 4681 septets, 4096 octets
constexpr std::size_t kMaxUcs2Units = 32766;

// Fields 5-7 of each builder: protocol identifier, data coding scheme and a
// relative validity period of three days.
constexpr std::string_view kHeader = "001100";
constexpr std::string_view kTail7bit = "0000A9";
constexpr std::string_view kTailFlash7bit = "0010A9";
constexpr std::string_view kTailUcs2 = "0008A9";
constexpr std::string_view kTailFlashUcs2 = "0018A9";

bool isAscii(std::string_view s) {
  unsigned char any = 0;  // no early exit, so that it vectorises
  for (const char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// Writes a character's septets; returns the new end.
std::uint8_t* putSeptets(std::uint8_t* out, char32_t ch) {
  const gsm7::Septets s = gsm7::septetsFor(ch);
  if (s.count == 0) {
    *out++ = gsm7::kUnknown;
  } else {
    *out++ = s.first;
    if (s.count == 2) *out++ = s.second;
  }
  return out;
}

bool isCrLfAt(std::string_view s, std::size_t i) {
  return s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n';
}
bool isCrLfAt(std::u16string_view s, std::size_t i) {
  return s[i] == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n';
}

// Septet of each ASCII character; kSlow marks the ones the character path
// must write: the extension table's (two septets) and CR (maybe a CR LF pair).
constexpr std::uint8_t kSlow = 0x80;
std::array<std::uint8_t, 128> makeAsciiSeptets() {
  std::array<std::uint8_t, 128> table{};
  for (char32_t c = 0; c < 128; ++c) {
    const gsm7::Septets s = gsm7::septetsFor(c);
    table[c] = s.count == 2 || c == '\r' ? kSlow : s.count == 0 ? gsm7::kUnknown : s.first;
  }
  return table;
}
const std::array<std::uint8_t, 128> kAsciiSeptets = makeAsciiSeptets();

// GSM septets of `text` with its CR LF pairs dropped, into `out` (at least
// two septets per UTF-16 code unit); returns the end.
std::uint8_t* textToSeptets(std::string_view text, std::uint8_t* out) {
  if (isAscii(text)) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      // Eight characters that make one septet each go out together; a marked
      // one sends the run to the character path.
      if (i + 8 <= text.size()) {
        std::uint64_t run = 0;
        for (unsigned j = 0; j < 8; ++j)
          run |= std::uint64_t{kAsciiSeptets[static_cast<unsigned char>(text[i + j])]} << (8 * j);
        if ((run & kSlow * std::uint64_t{0x0101010101010101}) == 0) {
          hex::storeLittleEndian(out, run);
          out += 8;
          i += 7;
          continue;
        }
      }
      if (isCrLfAt(text, i)) {
        ++i;
        continue;
      }
      out = putSeptets(out, static_cast<unsigned char>(text[i]));
    }
    return out;
  }
  const std::u16string wide = text::utf8ToUtf16(text);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (isCrLfAt(wide, i)) {
      ++i;
      continue;
    }
    const char16_t unit = wide[i];
    const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size()) ++i;  // the pair is one character
    out = putSeptets(out, surrogate ? U'\uFFFD' : char32_t{unit});
  }
  return out;
}

// Appends TP-UDL (septets, escapes included) and the packed user data of
// `text`, with its CR LF pairs dropped.
void appendUserData7bit(std::string& out, std::string_view text) {
  // Every UTF-8 byte gives at most one UTF-16 unit, every unit two septets.
  const std::size_t maxSeptets = 2 * text.size();
  std::array<std::uint8_t, 640> small;
  std::vector<std::uint8_t> large;
  std::uint8_t* septets = small.data();
  if (maxSeptets > small.size()) {
    large.resize(maxSeptets);
    septets = large.data();
  }
  const auto count = static_cast<std::size_t>(textToSeptets(text, septets) - septets);
  if (count > kMaxSeptets) throw std::overflow_error("encode7bit: text too long");

  const std::string udl = lengthField(count);
  const std::size_t start = out.size();
  out.resize(start + udl.size() + (7 * count + 7) / 8 * 2);
  std::memcpy(out.data() + start, udl.data(), udl.size());
  packSeptetsAsHex(septets, count, out.data() + start + udl.size());
}

void appendUcs2Digits(std::string& out, std::u16string_view units) {
  const std::size_t start = out.size();
  out.resize(start + units.size() * 4);
  hex::putUcs2Hex(out.data() + start, units);
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
  appendUcs2Digits(out, units);
}

void dropCrLfInPlace(std::string& s) {
  if (s.find("\r\n") != std::string::npos) s = text::removeCrLf(s);
}

void appendAddress(std::string& out, std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  if (!isAscii(number)) {
    // Rare: non-ASCII characters are swapped as characters, not bytes.
    std::u16string wide = text::utf8ToUtf16(number);
    out += lengthField(wide.size());
    if (wide.size() % 2 != 0) wide += u'F';
    out += "91";
    for (std::size_t i = 0; i + 1 < wide.size(); i += 2) std::swap(wide[i], wide[i + 1]);
    out += text::utf16ToUtf8(wide);
    return;
  }
  out += lengthField(number.size());
  out += "91";
  hex::appendSwappedDigits(out, number);
}

enum class Form { k7bit, kUcs2 };

std::string buildSubmit(std::string_view number, std::string_view tail, Form coding,
                        std::string_view text) {
  std::string pdu;
  pdu.reserve(kHeader.size() + number.size() + 8 + tail.size() + 4 + text.size() * 4);
  pdu += kHeader;
  appendAddress(pdu, number);
  pdu += tail;
  if (coding == Form::k7bit)
    appendUserData7bit(pdu, text);
  else
    appendUserDataUcs2(pdu, text::removeCrLf(text));
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
  appendUcs2Digits(out, ucs2Units(text));
  return out;
}

std::string buildPdu7bit(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTail7bit, Form::k7bit, text);
}
std::string buildFlashPdu7bit(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTailFlash7bit, Form::k7bit, text);
}
std::string buildPduUcs2(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTailUcs2, Form::kUcs2, text);
}
std::string buildFlashPduUcs2(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTailFlashUcs2, Form::kUcs2, text);
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
