// sms/encode/encode.cpp - address, GSM 7-bit and UCS2 user-data encoders and
// the four SMS-SUBMIT builders.
//
// The builders append every field to one string, so building a PDU costs one
// allocation for ASCII text (two when the text needs UTF-16 conversion).
#include <cmath>
#include <stdexcept>

#include "base/text.h"
#include "sms/encode/encode.h"
#include "sms/encode/gsm7_alphabet.h"

namespace reviri::sms {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Counts are 16-bit on the wire of the original control: more packed bits
// than 32767, or more UTF-16 code units than 32766, overflow.
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
  for (const char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Writes a length field over the two placeholder digits at `pos`, widening
// the string when the count needs more than two digits.
void patchLengthField(std::string& out, std::size_t pos, std::size_t count) {
  if (count < 256) {
    out[pos] = kHexDigits[count >> 4];
    out[pos + 1] = kHexDigits[count & 0xF];
  } else {
    out.replace(pos, 2, lengthField(count));
  }
}

// Packs septets into octets as GSM 03.38 lays them out (septet k at bits
// 7k..7k+6 of a stream filled from bit 0 of octet 0) and writes them as hex
// straight into a buffer sized beforehand.
class SeptetPacker {
 public:
  explicit SeptetPacker(char* out) : out_(out) {}

  void add(unsigned septet) {
    acc_ |= septet << bits_;
    bits_ += 7;
    ++count_;
    if (bits_ >= 8) {
      emit(acc_ & 0xFF);
      acc_ >>= 8;
      bits_ -= 8;
    }
  }
  void addChar(char32_t ch) {
    const gsm7::Septets s = gsm7::septetsFor(ch);
    if (s.count == 0) {
      add(gsm7::kUnknown);
    } else {
      add(s.first);
      if (s.count == 2) add(s.second);
    }
  }
  // Flushes the last partial octet; returns the end of the written hex.
  char* finish() {
    if (bits_ > 0) emit(acc_ & 0xFF);
    bits_ = 0;
    return out_;
  }
  std::size_t septets() const { return count_; }

 private:
  void emit(unsigned octet) {
    *out_++ = kHexDigits[octet >> 4];
    *out_++ = kHexDigits[octet & 0xF];
  }

  char* out_;
  unsigned acc_ = 0;
  unsigned bits_ = 0;
  std::size_t count_ = 0;
};

bool isCrLfAt(std::string_view s, std::size_t i) {
  return s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n';
}
bool isCrLfAt(std::u16string_view s, std::size_t i) {
  return s[i] == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n';
}

// Appends TP-UDL (septets) and the packed user data of `text`, with its CR LF
// pairs dropped.
void appendUserData7bit(std::string& out, std::string_view text) {
  const std::size_t lengthPos = out.size();
  const bool ascii = isAscii(text);
  std::u16string wide;
  if (!ascii) wide = text::utf8ToUtf16(text);
  const std::size_t units = ascii ? text.size() : wide.size();
  // Each unit gives at most two septets (escape pair).
  const std::size_t maxOctets = (units * 2 * 7 + 7) / 8;
  out.resize(lengthPos + 2 + maxOctets * 2);
  SeptetPacker packer(out.data() + lengthPos + 2);
  if (ascii) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (isCrLfAt(text, i)) {
        ++i;
        continue;
      }
      packer.addChar(static_cast<unsigned char>(text[i]));
    }
  } else {
    for (std::size_t i = 0; i < wide.size(); ++i) {
      if (isCrLfAt(wide, i)) {
        ++i;
        continue;
      }
      char32_t ch = wide[i];
      if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < wide.size()) ++i;  // one character, no septet
      packer.addChar(ch >= 0xD800 && ch <= 0xDFFF ? 0xFFFD : ch);
    }
  }
  if (packer.septets() > kMaxSeptets) throw std::overflow_error("encode7bit: text too long");
  out.resize(static_cast<std::size_t>(packer.finish() - out.data()));
  patchLengthField(out, lengthPos, packer.septets());
}

void appendUcs2Digits(std::string& out, std::u16string_view units) {
  const std::size_t start = out.size();
  out.resize(start + units.size() * 4);
  char* p = out.data() + start;
  for (const char16_t u : units) {
    *p++ = kHexDigits[(u >> 12) & 0xF];
    *p++ = kHexDigits[(u >> 8) & 0xF];
    *p++ = kHexDigits[(u >> 4) & 0xF];
    *p++ = kHexDigits[u & 0xF];
  }
}

// UTF-16 code units of `text` with its CR LF pairs dropped.
std::u16string ucs2Units(std::string_view text) {
  std::u16string units = text::utf8ToUtf16(text);
  if (units.find(u"\r\n") != std::u16string::npos) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (isCrLfAt(units, i)) {
        ++i;
        continue;
      }
      units[kept++] = units[i];
    }
    units.resize(kept);
  }
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
  for (std::size_t i = 0; i < number.size(); i += 2) {
    out += i + 1 < number.size() ? number[i + 1] : 'F';
    out += number[i];
  }
}

enum class Coding { k7bit, kUcs2 };

std::string buildSubmit(std::string_view number, std::string_view tail, Coding coding,
                        std::string_view text) {
  std::string pdu;
  pdu.reserve(kHeader.size() + number.size() + 8 + tail.size() + 4 + text.size() * 4);
  pdu += kHeader;
  appendAddress(pdu, number);
  pdu += tail;
  if (coding == Coding::k7bit)
    appendUserData7bit(pdu, text);
  else
    appendUserDataUcs2(pdu, text);
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
  return buildSubmit(number, kTail7bit, Coding::k7bit, text);
}
std::string buildFlashPdu7bit(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTailFlash7bit, Coding::k7bit, text);
}
std::string buildPduUcs2(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTailUcs2, Coding::kUcs2, text);
}
std::string buildFlashPduUcs2(std::string_view number, std::string_view text) {
  return buildSubmit(number, kTailFlashUcs2, Coding::kUcs2, text);
}

int commandLength(std::string_view pdu) {
  // hex digits / 2 - 1, rounded half to even (an odd digit count ends in .5).
  const double exact = static_cast<double>(pdu.size()) / 2.0 - 1.0;
  return static_cast<int>(std::nearbyint(exact));
}

}  // namespace reviri::sms
