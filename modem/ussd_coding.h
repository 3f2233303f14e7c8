// modem/ussd_coding.h - the codings of USSD strings: the request as text or
// as GSM 7-bit packed into octets written as hex, the answer read by its
// data coding scheme (3GPP 23.038, the cell-broadcast groups USSD uses).
//
// Pure functions over the sms/ alphabet tables; thread-safe.
#ifndef REVIRI_MODEM_USSD_CODING_H_
#define REVIRI_MODEM_USSD_CODING_H_

#include <optional>
#include <string>
#include <string_view>

#include "reviri/modem.h"

namespace reviri::modem {

// `utf8` as GSM 7-bit septets packed into octets, in hex. A last octet with
// one free septet gets a CR there, so that it is not read as '@'. Throws
// std::invalid_argument naming the character that the alphabet lacks.
std::string packUssd(std::string_view utf8);

// The text of a +CUSD answer string. `packedLikely` says the modem took the
// request packed, so a 7-bit answer in hex digits is packed too.
std::string decodeUssdText(std::string_view payload, int dcs, bool packedLikely);

// A +CUSD line taken apart: "+CUSD: <m>[,"<str>"[,<dcs>]]".
struct CusdLine {
  int status = -1;
  std::optional<std::string> payload;  // between the quotes
  int dcs = -1;
};
std::optional<CusdLine> parseCusd(std::string_view line);

// The <m> of +CUSD as the typed status (5 and unknown values: kTimeout and
// kNotSupported).
UssdAnswer::Status ussdStatus(int m);

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_USSD_CODING_H_
