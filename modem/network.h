// modem/network.h - reading the network state answers: AT+CSQ's signal
// quality, AT+COPS?'s operator and AT+CPMS?'s storage counts, parsed tolerantly (blanks after commas,
// an access technology after the name, no name when not registered).
//
// Threading: pure functions.
#ifndef REVIRI_MODEM_NETWORK_H_
#define REVIRI_MODEM_NETWORK_H_

#include <optional>
#include <string>
#include <string_view>

#include "reviri/modem.h"

namespace reviri::modem {

// "+CSQ: 17, 99" -> {17, 99}; nullopt for a line that is not a +CSQ answer
// or whose values are out of range.
std::optional<SignalQuality> parseSignalQuality(std::string_view line);
// "+COPS: 0,0,\"Net\",7" -> "Net"; "+COPS: 0" -> "" (not registered);
// nullopt for a line that is not a +COPS answer.
std::optional<std::string> parseOperator(std::string_view line);
// "+CPMS: \"SM\",3,20,\"SM\",3,20,..." (quotes optional) -> {3, 20}, the
// first storage's counts; nullopt for a line that is not a +CPMS? answer
// or whose counts make no sense.
std::optional<StorageUse> parseStorageUse(std::string_view line);

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_NETWORK_H_
