// control/device/info.cpp - identity, signal, charge and character-set queries, and
// the cleaning of their answers.
#include <string>
#include <string_view>

#include "base/answer_fields.h"
#include "base/text.h"
#include "control/state/control_core.h"
#include "control/device/device.h"

namespace reviri::device {
namespace {

// Removes every occurrence of `what` in one left-to-right pass; text that
// comes together as `what` through a removal stays.
std::string removeAll(std::string_view text, std::string_view what) {
  std::string out;
  for (std::size_t from = 0;;) {
    const std::size_t at = text.find(what, from);
    out.append(text.substr(from, at - from));
    if (at == std::string_view::npos) return out;
    from = at + what.size();
  }
}

// Drops the text of every line that is exactly "OK" (the final result); the
// line breaks around it stay for the later steps.
std::string dropOkLines(std::string_view text) {
  std::string out;
  for (at::AnswerFields f{text};;) {
    const std::string_view line = f.run([](char c) { return c != '\r' && c != '\n'; });
    if (line != "OK") out += line;
    if (f.done()) return out;
    out += f.s[f.at++];  // the line break
  }
}

// The common shape of the queries: one command line, the answer cleaned.
std::string cleanedQuery(detail::ControlCore& core, const char* command) {
  return cleanAnswer(core.at(std::string(command) + "\r"));
}

}  // namespace

std::string cleanAnswer(std::string_view answer) {
  const std::string upper = text::asciiUpper(answer);
  const std::string withoutOk = dropOkLines(upper);
  return removeAll(removeAll(withoutOk, "\r\n"), "\r");
}

std::string getsq(detail::ControlCore& core) { return core.at("AT+CSQ\r"); }

std::string getcharge(detail::ControlCore& core) {
  return removeAll(cleanedQuery(core, "AT+CAOC"), "+CAOC:");
}

std::string getsoftid(detail::ControlCore& core) { return cleanedQuery(core, "AT+CGMR"); }
std::string getIMEI(detail::ControlCore& core) { return cleanedQuery(core, "AT+CGSN"); }
std::string getmodelid(detail::ControlCore& core) { return cleanedQuery(core, "AT+CGMM"); }
std::string getmanufacturerid(detail::ControlCore& core) { return cleanedQuery(core, "AT+CGMI"); }

std::string phoneucs2charset(detail::ControlCore& core) {
  // No quotes around UCS2: the modems this control was made for take the bare
  // name, and a host that needs the quoted form can send it with at().
  return core.at("AT+CSCS=UCS2\r");
}

std::string phonecharset(detail::ControlCore& core) {
  return removeAll(cleanedQuery(core, "AT+CSCS?"), "+CSCS:");
}

}  // namespace reviri::device
