// link/line_settings.cpp - parsing of "baud,parity,data bits,stop bits".
#include <algorithm>
#include <array>
#include <charconv>
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
  std::array<std::string_view, 4> fields;
  std::size_t count = 0;
  std::string_view rest = text;
  while (true) {
    const auto comma = rest.find(',');
    if (count == fields.size()) bad("expected four fields", text);
    fields[count++] = trim(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (count != 4) bad("expected four fields", text);

  LineSettings s;
  const auto baud = fields[0];
  const auto [end, ec] = std::from_chars(baud.data(), baud.data() + baud.size(), s.baud);
  if (ec != std::errc() || end != baud.data() + baud.size() ||
      std::find(kBauds.begin(), kBauds.end(), s.baud) == kBauds.end())
    bad("unsupported baud rate", text);

  if (fields[1].size() != 1) bad("parity must be one of n, e, o, m, s", text);
  switch (fields[1][0] | 0x20) {
    case 'n': s.parity = Parity::kNone; break;
    case 'e': s.parity = Parity::kEven; break;
    case 'o': s.parity = Parity::kOdd; break;
    case 'm': s.parity = Parity::kMark; break;
    case 's': s.parity = Parity::kSpace; break;
    default: bad("parity must be one of n, e, o, m, s", text);
  }

  if (fields[2].size() != 1 || fields[2][0] < '5' || fields[2][0] > '8')
    bad("data bits must be 5 to 8", text);
  s.dataBits = fields[2][0] - '0';

  if (fields[3] == "1") {
    s.stopBits = StopBits::kOne;
  } else if (fields[3] == "1.5") {
    s.stopBits = StopBits::kOnePointFive;
  } else if (fields[3] == "2") {
    s.stopBits = StopBits::kTwo;
  } else {
    bad("stop bits must be 1, 1.5 or 2", text);
  }
  return s;
}

}  // namespace reviri
