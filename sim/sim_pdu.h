// sim/sim_pdu.h - the simulated modem's own PDU reading and writing.
//
// The simulator reads the SMS-SUBMIT PDUs a client hands it (after AT+CMGS /
// AT+CMGW) the way a network would: it honours the validity-period format,
// a user-data header and the GSM 03.38 default alphabet with its extension
// table, and it refuses PDUs whose lengths do not add up. It also builds the
// SMS-DELIVER PDUs of messages it "receives". This code is deliberately
// independent of the library's encoder and decoder, so that tests that send
// through the library and check what the simulator decoded compare two
// separate implementations. Pure functions; thread-safe.
#ifndef REVIRI_SIM_SIM_PDU_H_
#define REVIRI_SIM_SIM_PDU_H_

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "reviri/message_coding.h"

namespace reviri::sim {

// Four hex digits per UTF-16 code unit, as a modem in the UCS2 character set
// writes texts (phonebook names, USSD answers).
std::string ucs2Hex(const std::string& utf8);

// A TPDU as the simulator understood it.
struct ParsedPdu {
  bool deliver = false;    // SMS-DELIVER (else SMS-SUBMIT)
  std::string sca;         // service-centre number ("" when the field is empty)
  std::string number;      // destination (SUBMIT) or originator (DELIVER), "+" for international
  int reference = 0;       // TP-MR of a SUBMIT
  bool reportRequested = false;  // TP-SRR of a SUBMIT
  int dcs = 0;
  MessageCoding coding = MessageCoding::kGsm7;
  bool flash = false;      // message class 0
  std::string udhHex;      // user-data header, hex, without its length octet
  std::string text;        // UTF-8 (8-bit data: the hex digits)
  int tpduLength = 0;      // octets after the service-centre field
};

// Reads a whole PDU (service-centre field, then TPDU) given as hex digits.
// `declaredLength`, when >= 0, is the TPDU octet count the client announced
// and must match. Returns nullopt and sets `error` to a reason on malformed
// input.
std::optional<ParsedPdu> parsePdu(std::string_view hex, int declaredLength, std::string* error);

// Address field: digit count, type of address, swapped semi-octets. A number
// with letters becomes an alphanumeric (GSM 7-bit) address.
std::string encodeAddressField(std::string_view number);
// Service-centre field: octet count, type, swapped semi-octets ("00" if empty).
std::string encodeServiceCentre(std::string_view number);

// SMS-DELIVER with a service-centre address in front. `udhHex` (without its
// length octet) is a user-data header to carry, e.g. the concatenation
// element of one part of a long message. Fails (nullopt, with a reason) when
// the text does not fit one message.
std::optional<std::string> buildDeliver(std::string_view serviceCentre, std::string_view sender,
                                        std::string_view text, bool ucs2, bool flash,
                                        std::time_t when, std::string* error,
                                        std::string_view udhHex = {});

// SMS-STATUS-REPORT with a service-centre address in front: the report on
// the message with reference `reference` sent to `recipient`, submitted at
// `submitted`, with outcome `status` (TP-ST) at `discharged`.
std::string buildStatusReport(std::string_view serviceCentre, int reference, std::string_view recipient,
                              std::time_t submitted, std::time_t discharged, int status);

// Replaces an empty service-centre field ("00") with `serviceCentre`.
std::string withServiceCentre(std::string_view pdu, std::string_view serviceCentre);
// Replaces the destination of an SMS-SUBMIT PDU.
std::string withDestination(std::string_view pdu, std::string_view number);

// Which part of a concatenated message a user-data header (hex, without
// its length octet) marks: the sequence number of its 8-bit (IEI 00) or
// 16-bit (IEI 08) reference element; 0 when it marks none.
int concatenatedPartNumber(std::string_view udhHex);
// The header of part `part` of `total` with 8-bit reference `reference`.
std::string concatenationHeader(int reference, int total, int part);

// GSM 03.38 default alphabet. Unmappable characters become '?'.
std::string gsm7Septets(std::string_view utf8);  // one septet per char (ESC pairs)
std::string gsm7Text(std::string_view septets);  // back to UTF-8

}  // namespace reviri::sim

#endif  // REVIRI_SIM_SIM_PDU_H_
