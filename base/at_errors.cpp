// base/at_errors.cpp - the +CMS and +CME error tables and their lookup.
#include "base/at_errors.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace reviri::at_errors {
namespace {

struct Meaning {
  int code;
  std::string_view text;
};

// RP causes of the short message relay (GSM 04.11), reported by the network.
constexpr Meaning kRpCauses[] = {
    {1, "unassigned (unallocated) number"},
    {8, "operator determined barring"},
    {10, "call barred"},
    {21, "short message transfer rejected"},
    {22, "memory capacity exceeded"},
    {27, "destination out of service"},
    {28, "unidentified subscriber"},
    {29, "facility rejected"},
    {30, "unknown subscriber"},
    {38, "network out of order"},
    {41, "temporary failure"},
    {42, "congestion"},
    {47, "resources unavailable, unspecified"},
    {50, "requested facility not subscribed"},
    {69, "requested facility not implemented"},
    {81, "invalid short message transfer reference value"},
    {95, "invalid message, unspecified"},
    {96, "invalid mandatory information"},
    {97, "message type non-existent or not implemented"},
    {98, "message not compatible with short message protocol state"},
    {99, "information element non-existent or not implemented"},
    {111, "protocol error, unspecified"},
    {127, "interworking, unspecified"},
};

// Failure causes of the transfer layer (GSM 03.40 TP-FCS), 128-255.
constexpr Meaning kTransferCauses[] = {
    {0x80, "telematic interworking not supported"},
    {0x81, "short message type 0 not supported"},
    {0x82, "cannot replace short message"},
    {0x8F, "unspecified TP-PID error"},
    {0x90, "data coding scheme (alphabet) not supported"},
    {0x91, "message class not supported"},
    {0x9F, "unspecified TP-DCS error"},
    {0xA0, "command cannot be actioned"},
    {0xA1, "command unsupported"},
    {0xAF, "unspecified TP-Command error"},
    {0xB0, "TPDU not supported"},
    {0xC0, "SC busy"},
    {0xC1, "no SC subscription"},
    {0xC2, "SC system failure"},
    {0xC3, "invalid SME address"},
    {0xC4, "destination SME barred"},
    {0xC5, "SM rejected, duplicate SM"},
    {0xC6, "TP-VPF not supported"},
    {0xC7, "TP-VP not supported"},
    {0xD0, "SIM SMS storage full"},
    {0xD1, "no SMS storage capability in SIM"},
    {0xD2, "error in MS"},
    {0xD3, "memory capacity exceeded"},
    {0xD4, "SIM application toolkit busy"},
    {0xD5, "SIM data download error"},
    {0xFF, "unspecified error cause"},
};

// The modem's own errors in the SMS commands (GSM 07.05), 300-511.
constexpr Meaning kSmsModemErrors[] = {
    {300, "ME failure"},
    {301, "SMS service of ME reserved"},
    {302, "operation not allowed"},
    {303, "operation not supported"},
    {304, "invalid PDU mode parameter"},
    {305, "invalid text mode parameter"},
    {310, "SIM not inserted"},
    {311, "SIM PIN required"},
    {312, "PH-SIM PIN required"},
    {313, "SIM failure"},
    {314, "SIM busy"},
    {315, "SIM wrong"},
    {316, "SIM PUK required"},
    {317, "SIM PIN2 required"},
    {318, "SIM PUK2 required"},
    {320, "memory failure"},
    {321, "invalid memory index"},
    {322, "memory full"},
    {330, "SMSC address unknown"},
    {331, "no network service"},
    {332, "network timeout"},
    {340, "no +CNMA acknowledgement expected"},
    {500, "unknown error"},
};

// The mobile equipment errors (GSM 07.07), general and GPRS ones.
constexpr Meaning kEquipmentErrors[] = {
    {0, "phone failure"},
    {1, "no connection to phone"},
    {2, "phone-adaptor link reserved"},
    {3, "operation not allowed"},
    {4, "operation not supported"},
    {5, "PH-SIM PIN required"},
    {6, "PH-FSIM PIN required"},
    {7, "PH-FSIM PUK required"},
    {10, "SIM not inserted"},
    {11, "SIM PIN required"},
    {12, "SIM PUK required"},
    {13, "SIM failure"},
    {14, "SIM busy"},
    {15, "SIM wrong"},
    {16, "incorrect password"},
    {17, "SIM PIN2 required"},
    {18, "SIM PUK2 required"},
    {20, "memory full"},
    {21, "invalid index"},
    {22, "not found"},
    {23, "memory failure"},
    {24, "text string too long"},
    {25, "invalid characters in text string"},
    {26, "dial string too long"},
    {27, "invalid characters in dial string"},
    {30, "no network service"},
    {31, "network timeout"},
    {32, "network not allowed - emergency calls only"},
    {40, "network personalization PIN required"},
    {41, "network personalization PUK required"},
    {42, "network subset personalization PIN required"},
    {43, "network subset personalization PUK required"},
    {44, "service provider personalization PIN required"},
    {45, "service provider personalization PUK required"},
    {46, "corporate personalization PIN required"},
    {47, "corporate personalization PUK required"},
    {100, "unknown"},
    {103, "illegal MS"},
    {106, "illegal ME"},
    {107, "GPRS services not allowed"},
    {111, "PLMN not allowed"},
    {112, "location area not allowed"},
    {113, "roaming not allowed in this location area"},
    {132, "service option not supported"},
    {133, "requested service option not subscribed"},
    {134, "service option temporarily out of order"},
    {148, "unspecified GPRS error"},
    {149, "PDP authentication failure"},
    {150, "invalid mobile class"},
};

template <std::size_t N>
std::string_view lookUp(const Meaning (&table)[N], int code) {
  const auto* found = std::find_if(std::begin(table), std::end(table), [code](const Meaning& m) { return m.code == code; });
  return found == std::end(table) ? std::string_view() : found->text;
}

std::string orFallback(std::string_view known, std::string_view fallback) {
  return std::string(known.empty() ? fallback : known);
}

std::string_view trimmed(std::string_view s) {
  constexpr std::string_view kBlank = " \t\r\n";
  const auto first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

std::string cmsErrorMeaning(int code) {
  if (code < 0) return {};
  if (code <= 127) return orFallback(lookUp(kRpCauses, code), "unspecified network error");
  if (code <= 255) {
    if (code >= 0xE0 && code <= 0xFE) return "error specific to an application";
    return orFallback(lookUp(kTransferCauses, code), "reserved transfer error");
  }
  if (code <= 511) return orFallback(lookUp(kSmsModemErrors, code), "reserved error");
  return "manufacturer-specific error";
}

std::string cmeErrorMeaning(int code) {
  if (code < 0) return {};
  if (code >= 256) return "manufacturer-specific error";
  return orFallback(lookUp(kEquipmentErrors, code), "reserved error");
}

std::string describeResult(std::string_view line) {
  const std::string_view result = trimmed(line);
  constexpr std::string_view kCms = "+CMS ERROR:";
  constexpr std::string_view kCme = "+CME ERROR:";
  const bool isCms = result.starts_with(kCms);
  if (!isCms && !result.starts_with(kCme)) return std::string(result);
  const std::string_view number = trimmed(result.substr(kCms.size()));
  int code = -1;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), code);
  if (number.empty() || error != std::errc() || end != number.data() + number.size() || code < 0) return std::string(result);
  const std::string meaning = isCms ? cmsErrorMeaning(code) : cmeErrorMeaning(code);
  return std::string(isCms ? kCms : kCme) + " " + std::to_string(code) + " (" + meaning + ")";
}

}  // namespace reviri::at_errors
