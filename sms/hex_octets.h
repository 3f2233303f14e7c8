// sms/hex_octets.h - octets and packed septets written as upper-case
// hex digit pairs.
//
// Shared by the PDU builders. Constant table only: thread-safe.
#ifndef REVIRI_SMS_HEX_OCTETS_H_
#define REVIRI_SMS_HEX_OCTETS_H_

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reviri::sms::hex {

// "000102...FF": two hex digits per octet value.
constexpr std::array<char, 512> makeHexPairs() {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 512> pairs{};
  for (int v = 0; v < 256; ++v) {
    pairs[2 * v] = kDigits[v >> 4];
    pairs[2 * v + 1] = kDigits[v & 0xF];
  }
  return pairs;
}
inline constexpr auto kHexPairs = makeHexPairs();

// Writes the two hex digits of `octet` (0-255) at `out`; returns the new end.
inline char* putHexOctet(char* out, unsigned octet) {
  std::memcpy(out, &kHexPairs[2 * octet], 2);
  return out + 2;
}

inline void appendHexOctet(std::string& out, unsigned octet) {
  const std::size_t at = out.size();
  out.resize(at + 2);
  putHexOctet(out.data() + at, octet & 0xFF);
}

// The octets as upper-case hex digits.
inline std::string hexOf(const std::vector<std::uint8_t>& octets) {
  std::string out(2 * octets.size(), '0');
  char* p = out.data();
  for (const std::uint8_t o : octets) p = putHexOctet(p, o);
  return out;
}

// Each UTF-16 code unit as four hex digits, high octet first.
inline char* putUcs2Hex(char* out, std::u16string_view units) {
  for (const char16_t u : units) {
    out = putHexOctet(out, u >> 8);
    out = putHexOctet(out, u & 0xFF);
  }
  return out;
}

inline void appendUcs2Hex(std::string& out, std::u16string_view units) {
  const std::size_t at = out.size();
  out.resize(at + 4 * units.size());
  putUcs2Hex(out.data() + at, units);
}

// Digits as swapped semi-octet pairs, 'F' filling an odd count (characters
// of any width: the control swaps non-ASCII ones as UTF-16 code units).
template <typename Out, typename Digits>
void appendSwappedDigits(Out& out, const Digits& digits) {
  std::size_t at = out.size();
  out.resize(at + (digits.size() + 1) / 2 * 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out[at++] = i + 1 < digits.size() ? digits[i + 1] : 'F';
    out[at++] = digits[i];
  }
}

// Working bytes: up to N on the stack, more on the heap. Not initialised:
// the codecs write them before reading.
template <std::size_t N>
class ScratchBytes {
 public:
  explicit ScratchBytes(std::size_t size) { data_ = size > N ? large_.emplace(size).data() : small_.data(); }
  ScratchBytes(const ScratchBytes&) = delete;
  ScratchBytes& operator=(const ScratchBytes&) = delete;
  std::uint8_t* data() { return data_; }

 private:
  std::array<std::uint8_t, N> small_;
  std::optional<std::vector<std::uint8_t>> large_;
  std::uint8_t* data_;
};

// Eight bytes as a number, byte 0 lowest, and back: one load or store on
// little-endian machines.
inline std::uint64_t loadLittleEndian(const std::uint8_t* p) {
  std::uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little)
    std::memcpy(&v, p, 8);
  else
    for (unsigned j = 0; j < 8; ++j) v |= std::uint64_t{p[j]} << (8 * j);
  return v;
}
inline void storeLittleEndian(std::uint8_t* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::little)
    std::memcpy(p, &v, 8);
  else
    for (unsigned j = 0; j < 8; ++j) p[j] = static_cast<std::uint8_t>(v >> (8 * j));
}

// Eight septets, one per byte with septet 0 lowest, packed into 56 bits:
// the inverse of spreading them.
inline std::uint64_t packEightSeptets(std::uint64_t s) {
  s = (s & 0x007F007F007F007F) | ((s >> 1) & 0x3F803F803F803F80);
  s = (s & 0x00003FFF00003FFF) | ((s >> 2) & 0x0FFFC0000FFFC000);
  return (s & 0x000000000FFFFFFF) | ((s >> 4) & 0x00FFFFFFF0000000);
}

// Packs septets as GSM 03.38 lays them out (septet k at bits 7k..7k+6 of a
// stream filled from bit 0 of octet 0; the high bits of the last octet are
// 0) and writes the octets as hex. Eight septets make seven octets.
inline char* packSeptetsAsHex(const std::uint8_t* septets, std::size_t count, char* out) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const std::uint64_t group = packEightSeptets(loadLittleEndian(septets + i));
    for (unsigned b = 0; b < 7; ++b) out = putHexOctet(out, (group >> (8 * b)) & 0xFF);
  }
  if (i < count) {
    const std::size_t rest = count - i;
    std::uint64_t group = 0;
    for (std::size_t j = 0; j < rest; ++j) group |= std::uint64_t{septets[i + j]} << (7 * j);
    for (std::size_t b = 0; b < (7 * rest + 7) / 8; ++b) out = putHexOctet(out, (group >> (8 * b)) & 0xFF);
  }
  return out;
}

inline void appendSeptetsAsHex(std::string& out, const std::uint8_t* septets, std::size_t count) {
  const std::size_t at = out.size();
  out.resize(at + (7 * count + 7) / 8 * 2);
  packSeptetsAsHex(septets, count, out.data() + at);
}

}  // namespace reviri::sms::hex

#endif  // REVIRI_SMS_HEX_OCTETS_H_
