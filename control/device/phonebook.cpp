// control/device/phonebook.cpp - phonebook storage, reading and writing (+CPBS,
// +CPBR, +CPBW).
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

#include "base/answer_fields.h"
#include "base/at_answers.h"
#include "base/command_args.h"
#include "base/text.h"
#include "control/state/control_core.h"
#include "control/device/device.h"
#include "control/compat/pdu_compat.h"
#include "sms/gsm0338_text.h"

namespace reviri::device {
namespace {

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// A name of hex digits is text the modem coded, and the answer does not say
// how. Read as octets, a UCS2 name of Latin, Greek or Cyrillic text always
// holds a control octet (its high octets are 00-1F), while 8-bit text is
// printable ASCII (a recorded phone pads it with NULs). So: 8-bit text when
// every octet, trailing NULs aside, is printable ASCII; otherwise UCS2 when
// the digits are a multiple of four and decode to something; otherwise the
// name stays as it came. The one loss: a UCS2 name of CJK characters whose
// octets all happen to be printable ASCII reads as ASCII.
std::string entryName(std::string_view raw) {
  if (raw.empty() || raw.size() % 2 != 0 || !sms::detail::allHexDigits(raw)) return std::string(raw);
  std::string octets;
  for (std::size_t i = 0; i < raw.size(); i += 2)
    octets += static_cast<char>(sms::detail::fieldValue(raw.substr(i, 2)));
  while (!octets.empty() && octets.back() == '\0') octets.pop_back();
  if (!octets.empty() && std::all_of(octets.begin(), octets.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
    return octets;
  if (raw.size() % 4 != 0) return std::string(raw);
  std::string decoded = sms::decodeUcs2(raw);
  return decoded.empty() ? std::string(raw) : decoded;
}

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// GSM 07.07: <index>,"<number>",<type>,<text>, where devices add blanks
// around the commas, leave the type empty, write the text as hex without
// quotes, put an empty field after the index (a recorded phone) and append
// fields (a date, a group) that are not read.
std::optional<phonebookentry> standardEntry(at::AnswerFields c) {
  c.skipBlanks();
  if (c.digits().empty() || !c.comma()) return std::nullopt;
  c.comma();  // the empty field some phones put after the index
  const auto number = c.quoted();
  if (!number || !c.comma()) return std::nullopt;
  phonebookentry entry;
  entry.cell = *number;
  entry.type = c.digits();
  if (!c.comma()) return std::nullopt;
  if (const auto text = c.quoted()) {
    entry.name = entryName(*text);
    return entry;
  }
  const std::string_view hex = c.run(isHexDigit);
  if (hex.empty() || (c.at < c.s.size() && isWordChar(c.s[c.at]))) return std::nullopt;
  entry.name = entryName(hex);
  return entry;
}

// The bare form " <index>,<type>,<text>": index and type of 1 to 4 digits,
// the text up to 20 word characters; cell = index.
std::optional<phonebookentry> bareEntry(at::AnswerFields c) {
  if (!c.take(' ')) return std::nullopt;
  phonebookentry entry;
  entry.cell = c.digits(4);
  if (entry.cell.empty() || !c.take(',')) return std::nullopt;
  entry.type = c.digits(4);
  if (entry.type.empty() || !c.take(',')) return std::nullopt;
  entry.name = entryName(c.run(isWordChar, 20));
  return entry;
}

// The <text> field of +CPBW: a quoted string, as GSM 07.07 wants it.
std::string phonebookName(const std::string& uname) {
  const std::string stripped = text::removeCrLf(uname);
  if (at::isQuoted(stripped)) {
    // The host formatted the field itself; it goes out as it stands, as long
    // as nothing inside closes its quotes.
    args::require(args::checkQuotedText("phonebookwrite: name", stripped));
    return stripped;
  }
  std::string name = uname;  // encodeUcs2 removes its CR LF pairs, once
  const std::string encoded = sms::encodeUcs2(name);
  if (encoded.empty()) args::require(args::checkTextForQuotes("phonebookwrite: name", name));
  return '"' + (encoded.empty() ? name : encoded) + '"';
}

}  // namespace

PhonebookAnswer parsePhonebookAnswer(std::string_view answer) {
  PhonebookAnswer result;
  for (at::AnswerFields entry{answer}; entry.skipPastCaseless("CPBR:");)
    if (auto parsed = standardEntry(entry); parsed || (parsed = bareEntry(entry)))
      result.entries.push_back(std::move(*parsed));
  if (const auto codes = at::numbersAfter(answer, {"CME ERROR: "}, 4); !codes.empty()) result.cmeError = codes.front();
  return result;
}

void readphonebook(detail::ControlCore& core, const std::string& ins1,
                   std::vector<phonebookentry>& inbook) {
  args::require(args::checkIndexRange("readphonebook: range", ins1));
  PhonebookAnswer answer = parsePhonebookAnswer(core.at("AT+CPBR=" + ins1 + "\r"));
  if (!answer.entries.empty()) {
    inbook = std::move(answer.entries);
    inbook.emplace_back();  // the host's arrays end with one empty element
  }
  if (answer.cmeError) core.events.SMSERR(*answer.cmeError);
}

std::string selectphonebook(detail::ControlCore& core, const std::string& ins1) {
  args::require(args::checkStorageNames("selectphonebook: storage", ins1, 1));
  return core.at("AT+CPBS=" + ins1 + "\r");
}

std::string currentphonebook(detail::ControlCore& core) { return core.at("AT+CPBS?\r"); }

std::string phonebookwrite(detail::ControlCore& core, const std::string& index,
                           const std::string& cell, const std::string& celltype,
                           const std::string& uname) {
  // An empty index writes to the first free entry; an empty type lets the
  // modem choose it from the number.
  if (!index.empty()) args::require(args::checkIndex("phonebookwrite: index", index));
  args::require(args::checkDialString("phonebookwrite: number", cell));
  if (!celltype.empty()) args::require(args::checkNumberType("phonebookwrite: type", celltype));
  const std::string name = phonebookName(uname);
  return core.at("AT+CPBW=" + index + "," + cell + "," + celltype + "," + name + "\r");
}

}  // namespace reviri::device
