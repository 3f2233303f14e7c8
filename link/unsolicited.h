// link/unsolicited.h - which modem lines are unsolicited result codes, and
// which lines end a command's answer.
//
// An unsolicited line is recognised by its prefix (+CMTI:, +CMT:, +CDSI:,
// +CDS:, +CREG:, RING, vendor lines such as ^RSSI: and ^BOOT: ...). A line
// whose name repeats the running command's name is that command's answer,
// not an indication: "+CREG: 0,1" answers AT+CREG?. Names compare whole, so
// "+CMT:" is not "+CMTI:".
//
// Pure functions; thread-safe.
#ifndef REVIRI_LINK_UNSOLICITED_H_
#define REVIRI_LINK_UNSOLICITED_H_

#include <string>
#include <string_view>

#include "reviri/at_channel.h"

namespace reviri::link {

// The name of the command on a command line, upper case: "AT+CREG?" gives
// "+CREG", "at+cmgr=5" "+CMGR", "AT^SYSINFO" "^SYSINFO"; "" for basic
// commands (ATE0, AT) and for PDU lines.
std::string commandName(std::string_view commandLine);

// The name a result line starts with, upper case: "+CMTI" for
// "+CMTI: \"SM\",3", "RING" for "RING"; "" when it has none.
std::string resultName(std::string_view line);

// Whether `line` (without line end) is an unsolicited result code while
// the command named `runningCommand` runs ("" when none runs).
bool isUnsolicitedLine(std::string_view line, std::string_view runningCommand);

// The kind of final result `line` is, or FinalKind::kNone for other lines.
// Case-sensitive, as modems send them; the number of +CMS/+CME ERROR goes to
// `errorCode` (-1 when it is text).
FinalKind finalKindOf(std::string_view line, int* errorCode = nullptr);

}  // namespace reviri::link

#endif  // REVIRI_LINK_UNSOLICITED_H_
