// device/phonebook.cpp - phonebook storage, reading and writing (+CPBS,
// +CPBR, +CPBW).
#include <re2/re2.h>

#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/text.h"
#include "base/pattern.h"
#include "core/control_core.h"
#include "link/command_line.h"
#include "device/device.h"
#include "sms/decode/decode.h"
#include "sms/encode/encode.h"

namespace reviri::device {
namespace {

// UCS2 as a modem in the UCS2 character set writes it: four hex digits per
// UTF-16 code unit, nothing else.
bool isUcs2Hex(std::string_view name) {
  if (name.empty() || name.size() % 4 != 0) return false;
  for (char c : name)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string entryName(const std::string& raw) {
  if (!isUcs2Hex(raw)) return raw;
  std::string decoded = sms::decodeUcs2(raw);
  return decoded.empty() ? raw : decoded;
}

bool isQuoted(std::string_view s) {
  return s.size() >= 2 && s.front() == '"' && s.back() == '"';
}

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  out += s;
  out += '"';
  return out;
}

// The <text> field of +CPBW: a quoted string, as GSM 07.07 wants it.
std::string phonebookName(const std::string& uname) {
  const std::string stripped = text::removeCrLf(uname);
  if (isQuoted(stripped)) {
    // The host formatted the field itself; it goes out as it stands.
    link::requireCommandArgument("phonebookwrite: name", stripped);
    return stripped;
  }
  std::string name = uname;  // encodeUcs2 removes its CR LF pairs, once
  std::string encoded = sms::encodeUcs2(name);
  if (!encoded.empty()) return quoted(encoded);
  link::requireCommandArgument("phonebookwrite: name", name);
  return quoted(name);
}

}  // namespace

PhonebookAnswer parsePhonebookAnswer(std::string_view answer) {
  // Alternative 1, GSM 07.07: +CPBR: <index>,"<number>",<type>,"<text>"[,...]
  // Alternative 2, the bare form: +CPBR: <index>,<type>,<word text>
  static const RE2 kEntry(
      "CPBR:(?: *(\\d+),\"([^\"\\r\\n]*)\", *(\\d+), *\"([^\"\\r\\n]*)\""
      "| (\\d{1,4}),(\\d{1,4}),(\\w{0,20}))",
      caselessPattern());
  static const RE2 kCmeError("CME ERROR: (\\d{1,4})", caselessPattern());

  PhonebookAnswer result;
  re2::StringPiece rest(answer.data(), answer.size());
  std::string index, number, type, text, bareIndex, bareType, bareText;
  while (RE2::FindAndConsume(&rest, kEntry, &index, &number, &type, &text, &bareIndex,
                             &bareType, &bareText)) {
    phonebookentry entry;
    if (!index.empty()) {
      entry.cell = number;
      entry.type = type;
      entry.name = entryName(text);
    } else {
      entry.cell = bareIndex;
      entry.type = bareType;
      entry.name = entryName(bareText);
    }
    result.entries.push_back(std::move(entry));
  }
  std::string code;
  if (RE2::PartialMatch(re2::StringPiece(answer.data(), answer.size()), kCmeError, &code))
    result.cmeError = code;
  return result;
}

void readphonebook(detail::ControlCore& core, const std::string& ins1,
                   std::vector<phonebookentry>& inbook) {
  link::requireCommandArgument("readphonebook: range", ins1);
  PhonebookAnswer answer = parsePhonebookAnswer(core.at("AT+CPBR=" + ins1 + "\r"));
  if (!answer.entries.empty()) {
    inbook = std::move(answer.entries);
    inbook.emplace_back();  // the host's arrays end with one empty element
  }
  if (answer.cmeError) core.events.SMSERR(*answer.cmeError);
}

std::string selectphonebook(detail::ControlCore& core, const std::string& ins1) {
  link::requireCommandArgument("selectphonebook: storage", ins1);
  return core.at("AT+CPBS=" + ins1 + "\r");
}

std::string currentphonebook(detail::ControlCore& core) { return core.at("AT+CPBS?\r"); }

std::string phonebookwrite(detail::ControlCore& core, const std::string& index,
                           const std::string& cell, const std::string& celltype,
                           const std::string& uname) {
  link::requireCommandArgument("phonebookwrite: index", index);
  link::requireCommandArgument("phonebookwrite: number", cell);
  link::requireCommandArgument("phonebookwrite: type", celltype);
  const std::string name = phonebookName(uname);
  return core.at("AT+CPBW=" + index + "," + cell + "," + celltype + "," + name + "\r");
}

}  // namespace reviri::device
