// modem/network.cpp - signal quality and network operator.
#include "modem/network.h"

#include "base/answer_fields.h"
#include "modem/session.h"

namespace reviri::modem {
namespace {

// What follows "+NAME:" on `line`, read with blanks that include tabs and a
// CR left at the line's end; nullopt when the line is not that answer.
std::optional<at::AnswerFields> valuesOf(std::string_view line, std::string_view prefix) {
  at::AnswerFields f{line, 0, " \t"};
  f.skipBlanks();
  if (!f.skipName(prefix)) return std::nullopt;
  f.blanks = " \t\r";
  return f;
}

// What `parse` makes of the first answer line it understands.
template <typename Parse>
auto firstUnderstood(const link::AtAnswer& answer, Parse parse, const std::string& command, const char* name) {
  for (const auto& l : answer.lines)
    if (auto value = parse(l)) return *value;
  throw ModemError(makeError(Error::Kind::kProtocol, std::string("no understandable ") + name + " line in the answer",
                             command));
}

}  // namespace

std::optional<SignalQuality> parseSignalQuality(std::string_view line) {
  auto values = valuesOf(line, "+CSQ:");
  if (!values) return std::nullopt;
  const auto rssi = values->number();
  const auto ber = values->comma() ? values->number() : std::nullopt;
  if (!rssi || !ber || !values->done()) return std::nullopt;
  if ((*rssi < 0 || *rssi > 31) && *rssi != 99) return std::nullopt;
  if ((*ber < 0 || *ber > 7) && *ber != 99) return std::nullopt;
  return SignalQuality{*rssi, *ber};
}

std::optional<std::string> parseOperator(std::string_view line) {
  auto values = valuesOf(line, "+COPS:");
  if (!values) return std::nullopt;
  // mode[,format,"name"[,AcT]]: the name is the only quoted field.
  if (!values->skipPast('"')) return std::string();
  const std::string_view name = values->until('"');
  if (!values->take('"')) return std::nullopt;
  return std::string(name);
}

std::optional<StorageUse> parseStorageUse(std::string_view line) {
  auto values = valuesOf(line, "+CPMS:");
  if (!values) return std::nullopt;
  // mem1,used1,total1[,mem2,...]: the name, then its two counts.
  const std::string_view storage = values->field();
  if (storage.empty() || at::AnswerFields{storage}.number() || !values->comma()) return std::nullopt;
  const auto used = values->number();
  const auto total = values->comma() ? values->number() : std::nullopt;
  if (!used || !total || *total <= 0 || *used < 0 || *used > *total) return std::nullopt;
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

