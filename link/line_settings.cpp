// link/line_settings.cpp - parsing of "baud,parity,data bits,stop bits".
#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <stdexcept>
#include <string>

#include "reviri/serial_port.h"

namespace reviri {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

constexpr std::array<long, 31> kBauds = {
    50,     75,     110,    134,    150,    200,     300,     600,     1200,    1800,   2400,
    4800,   9600,   14400,  19200,  38400,  57600,   115200,  128000,  230400,  256000, 460800,
    500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 3000000, 4000000};

[[noreturn]] void bad(std::string_view what, std::string_view text) {
  throw std::invalid_argument("line settings \"" + std::string(text) + "\": " + std::string(what));
}

}  // namespace

LineSettings LineSettings::parse(std::string_view text) {
  if (std::count(text.begin(), text.end(), ',') != 3) bad("expected four fields", text);
  std::array<std::string_view, 4> fields;
  std::string_view rest = text;
  for (std::string_view& field : fields) {
    const auto comma = rest.find(',');
    field = trim(rest.substr(0, comma));
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }

  LineSettings s;
  const auto baud = fields[0];
  const auto [end, ec] = std::from_chars(baud.data(), baud.data() + baud.size(), s.baud);
  if (ec != std::errc() || end != baud.data() + baud.size() ||
      std::find(kBauds.begin(), kBauds.end(), s.baud) == kBauds.end())
    bad("unsupported baud rate", text);

  // The letters in the order of Parity.
  constexpr std::string_view kParities = "neoms";
  const char letter = fields[1].size() == 1 ? static_cast<char>(fields[1][0] | 0x20) : '\0';
  const std::size_t parity = kParities.find(letter);
  if (parity == kParities.npos) bad("parity must be one of n, e, o, m, s", text);
  s.parity = static_cast<Parity>(parity);

  if (fields[2].size() != 1 || fields[2][0] < '5' || fields[2][0] > '8')
    bad("data bits must be 5 to 8", text);
  s.dataBits = fields[2][0] - '0';

  // In the order of StopBits.
  constexpr std::string_view kStopBits[] = {"1", "1.5", "2"};
  const auto* stopBits = std::find(std::begin(kStopBits), std::end(kStopBits), fields[3]);
  if (stopBits == std::end(kStopBits)) bad("stop bits must be 1, 1.5 or 2", text);
  s.stopBits = static_cast<StopBits>(stopBits - std::begin(kStopBits));
  return s;
}

}  // namespace reviri
