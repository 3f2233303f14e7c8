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

// What `parse` makes of the first answer line it understands.
template <typename Parse>
auto firstUnderstood(const link::AtAnswer& answer, Parse parse, const std::string& command, const char* name) {
  for (const auto& l : answer.lines) {
    if (auto value = parse(l)) return *value;
  }
  throw ModemError(protocolError(std::string("no understandable ") + name + " line in the answer", command));
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

std::optional<StorageUse> parseStorageUse(std::string_view line) {
  const auto values = valuesOf(line, "+CPMS:");
  if (!values) return std::nullopt;
  // mem1,used1,total1[,mem2,...]: the name, then its two counts.
  std::string_view rest = *values;
  std::string_view fields[3];
  for (auto& field : fields) {
    const auto comma = rest.find(',');
    field = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  const auto used = number(fields[1]);
  const auto total = number(fields[2]);
  if (trimmed(fields[0]).empty() || number(fields[0]) || !used || !total) return std::nullopt;
  if (*total <= 0 || *used < 0 || *used > *total) return std::nullopt;
  return StorageUse{*used, *total};
}

SignalQuality Session::signalQuality() {
  const std::string command = "AT+CSQ";
  const link::AtAnswer answer = expectOk(command);
  drain();
  return firstUnderstood(answer, parseSignalQuality, command, "+CSQ");
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
  return firstUnderstood(answer, parseOperator, command, "+COPS");
}

StorageUse Session::storageUse() {
  const std::string command = "AT+CPMS?";
  const link::AtAnswer answer = expectOk(command);
  drain();
  return firstUnderstood(answer, parseStorageUse, command, "+CPMS");
}

}  // namespace reviri::modem

