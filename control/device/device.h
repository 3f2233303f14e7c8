// control/device/device.h - modem information queries, phonebook and character set.
//
// The GSM 07.07 commands that ask the modem about itself (+CSQ, +CAOC, +CGMR,
// +CGSN, +CGMM, +CGMI) and that manage its phonebook and character set
// (+CPBS, +CPBR, +CPBW, +CSCS). Each operation writes one command line
// through the control's AT exchange and returns the modem's answer, raw or
// cleaned by cleanAnswer().
//
// Host arguments are inserted into command lines as the host passed them
// (the host supplies the quotes the modem expects around a storage name or a
// number), but only when they are what they stand for: a storage name is
// letters, a range digits ("1" or "1,10"), an index and a type digits, a
// number a dial string, a quoted name free of quotes. Anything else could
// close the command and smuggle in one of its own ("1;+CMGD=1,4"), so it is
// refused with std::invalid_argument naming the argument before anything is
// written (base/command_args.h).
//
// Threading: single-threaded, on the control's thread. While an operation
// waits for the modem the host's event pump runs (see Reviri::setEventPump).
#ifndef REVIRI_DEVICE_DEVICE_H_
#define REVIRI_DEVICE_DEVICE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reviri/reviri.h"

namespace reviri::detail {
struct ControlCore;
}

namespace reviri::device {

// Upper-cases an answer, drops the final-result lines "OK" (a line holding
// only OK; letters O and K elsewhere stay), then removes every CR LF pair and
// every remaining CR. A line feed without a CR in front of it stays.
std::string cleanAnswer(std::string_view answer);

// ---- Modem information ------------------------------------------------------
std::string getsq(detail::ControlCore& core);               // raw +CSQ answer
std::string getcharge(detail::ControlCore& core);           // cleaned, "+CAOC:" removed
std::string getsoftid(detail::ControlCore& core);           // cleaned +CGMR answer
std::string getIMEI(detail::ControlCore& core);             // cleaned +CGSN answer
std::string getmodelid(detail::ControlCore& core);          // cleaned +CGMM answer
std::string getmanufacturerid(detail::ControlCore& core);   // cleaned +CGMI answer

// ---- Phonebook ----------------------------------------------------------------
// What a +CPBR answer holds: its entries in answer order and the number of
// the first "+CME ERROR", if any.
struct PhonebookAnswer {
  std::vector<phonebookentry> entries;
  std::optional<std::string> cmeError;
};

// Parses the entry lines of a +CPBR answer. The GSM 07.07 form
//   +CPBR: <index>,"<number>",<type>,"<text>"
// gives cell = number, type = type, name = the whole text; blanks around
// the commas, an empty type, a text of hex digits without quotes, an empty
// field after the index, control bytes in the number and fields after the
// text are taken as well (real phones write them). The bare form
//   +CPBR: <index>,<type>,<text>   (text: up to 20 word characters)
// gives cell = index, type = type, name = text. A name made only of hex
// digits is decoded: as 8-bit text when every octet is printable ASCII,
// else as UCS2 (kept as it came when it decodes to nothing); any other name
// is kept as it came.
PhonebookAnswer parsePhonebookAnswer(std::string_view answer);

// Sends "AT+CPBR=<ins1>". When the answer holds entries, `inbook` becomes
// those entries followed by one empty element; otherwise it is left as it
// was. A "+CME ERROR: <n>" in the answer raises SMSERR(n) once.
void readphonebook(detail::ControlCore& core, const std::string& ins1,
                   std::vector<phonebookentry>& inbook);
// "AT+CPBS=<ins1>"; the raw answer.
std::string selectphonebook(detail::ControlCore& core, const std::string& ins1);
// "AT+CPBS?"; the raw answer.
std::string currentphonebook(detail::ControlCore& core);
// "AT+CPBW=<index>,<cell>,<celltype>,<name>"; the raw answer. The name loses
// its CR LF pairs and goes out as a quoted string of UCS2 hex digits (an
// empty name as ""); a name the host already put in double quotes goes out
// unchanged, and is refused like the other arguments when it still holds CR,
// LF, Ctrl-Z or ESC.
std::string phonebookwrite(detail::ControlCore& core, const std::string& index,
                           const std::string& cell, const std::string& celltype,
                           const std::string& uname);

// ---- Character set ------------------------------------------------------------
// "AT+CSCS=UCS2" (no quotes around UCS2); the raw answer.
std::string phoneucs2charset(detail::ControlCore& core);
// "AT+CSCS?"; cleaned, "+CSCS:" removed.
std::string phonecharset(detail::ControlCore& core);

}  // namespace reviri::device

#endif  // REVIRI_DEVICE_DEVICE_H_
