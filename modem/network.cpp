// modem/network.cpp - signal quality and network operator.
#include "modem/network.h"

#include <charconv>

#include "modem/session.h"

namespace reviri::modem {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::optional<int> number(std::string_view s) {
  s = trimmed(s);
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

// What follows "+NAME:" on `line`; nullopt when the line is not that answer.
std::optional<std::string_view> valuesOf(std::string_view line, std::string_view prefix) {
  line = trimmed(line);
  if (!line.starts_with(prefix)) return std::nullopt;
  return trimmed(line.substr(prefix.size()));
}

Error protocolError(std::string meaning, std::string command) {
  Error e;
  e.kind = Error::Kind::kProtocol;
  e.meaning = std::move(meaning);
  e.command = std::move(command);
  return e;
}

}  // namespace

std::optional<SignalQuality> parseSignalQuality(std::string_view line) {
  const auto values = valuesOf(line, "+CSQ:");
  if (!values) return std::nullopt;
  const auto comma = values->find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const auto rssi = number(values->substr(0, comma));
  const auto ber = number(values->substr(comma + 1));
  if (!rssi || !ber) return std::nullopt;
  if ((*rssi < 0 || *rssi > 31) && *rssi != 99) return std::nullopt;
  if ((*ber < 0 || *ber > 7) && *ber != 99) return std::nullopt;
  return SignalQuality{*rssi, *ber};
}

std::optional<std::string> parseOperator(std::string_view line) {
  const auto values = valuesOf(line, "+COPS:");
  if (!values) return std::nullopt;
  // mode[,format,"name"[,AcT]]: the name is the only quoted field.
  const auto open = values->find('"');
  if (open == std::string_view::npos) return std::string();
  const auto close = values->find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return std::string(values->substr(open + 1, close - open - 1));
}

SignalQuality Session::signalQuality() {
  const std::string command = "AT+CSQ";
  const link::AtAnswer answer = expectOk(command);
  drain();
  for (const auto& l : answer.lines) {
    if (auto quality = parseSignalQuality(l)) return *quality;
  }
  throw ModemError(protocolError("no understandable +CSQ line in the answer", command));
}

std::string Session::networkOperator() {
  if (!operatorFormatChosen_) {
    // Long alphanumeric names; a modem that refuses keeps its own format,
    // and the name is still reported as it gives it.
    run("AT+COPS=3,0");
    operatorFormatChosen_ = true;
  }
  const std::string command = "AT+COPS?";
  const link::AtAnswer answer = expectOk(command);
  drain();
  for (const auto& l : answer.lines) {
    if (auto name = parseOperator(l)) return *name;
  }
  throw ModemError(protocolError("no understandable +COPS line in the answer", command));
}

}  // namespace reviri::modem
