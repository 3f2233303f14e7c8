// sim/ussd_network.cpp - the simulated network's USSD services, answered
// through AT+CUSD in the coding habits of real modems (see the "ussd-*"
// quirks in command_interpreter.h).
//
// Services: *100# a balance ("Balance: 12.34 EUR"); *101# a two-level menu
// (1 balance, 2 bundles -> 1 books a data bundle); *102# a two-step answer
// ("+CUSD: 2" alone, then the text); *103# a network error (+CME ERROR: 30);
// *104# never answered (the session stays open until AT+CUSD=2); any other
// code "+CUSD: 4". While a session is open, AT+CMGS and AT+CMSS are refused
// with +CMS ERROR: 302, as busy modems do.
//
// The 7-bit packing here is the simulator's own, independent of the
// library's, so that tests compare two implementations.
// Threading: as CommandInterpreter (serialised by the Simulator).
#include <cstdlib>

#include "base/text.h"
#include "sim/command_interpreter.h"
#include "sim/sim_pdu.h"

namespace reviri::sim {
namespace {

constexpr int kUssdDcs = 15;      // GSM 7-bit, language unspecified
constexpr int kUssdUcs2Dcs = 72;  // 0x48: UCS2
constexpr std::chrono::milliseconds kIndicationDelay{50};
constexpr std::chrono::milliseconds kSecondStepDelay{200};

const char* const kBalance = "Balance: 12.34 EUR, valid until 31.01.2027";
const char* const kMenu = "Menu: 1 Balance, 2 Bundles";
const char* const kBundles = "Bundles: 1 Data 1GB for 5.00 EUR, 2 Back";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool isHex(const std::string& s) {
  if (s.empty() || s.size() % 2 != 0) return false;
  for (char c : s)
    if (hexDigit(c) < 0) return false;
  return true;
}

std::string packHex(const std::string& septets) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  unsigned bits = 0, held = 0;
  for (char s : septets) {
    held |= static_cast<unsigned>(s & 0x7F) << bits;
    bits += 7;
    while (bits >= 8) {
      out += kHex[(held >> 4) & 15];
      out += kHex[held & 15];
      held >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) {
    out += kHex[(held >> 4) & 15];
    out += kHex[held & 15];
  }
  return out;
}

std::string unpackHex(const std::string& hex) {
  std::string septets;
  unsigned bits = 0, held = 0;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    held |= static_cast<unsigned>(hexDigit(hex[i]) * 16 + hexDigit(hex[i + 1])) << bits;
    bits += 8;
    while (bits >= 7) {
      septets += static_cast<char>(held & 0x7F);
      held >>= 7;
      bits -= 7;
    }
  }
  // A last septet that is padding: CR, or 0 from an unpadded last octet.
  if (hex.size() / 2 % 7 == 0 && !septets.empty() && (septets.back() == '\r' || septets.back() == 0)) septets.pop_back();
  return septets;
}

bool hasHexLetter(const std::string& s) {
  for (char c : s)
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) return true;
  return false;
}

}  // namespace

CommandInterpreter::Result CommandInterpreter::ussd(char kind, const std::vector<std::string>& a) {
  Result r;
  if (kind == 'T') {
    r.lines.push_back("+CUSD: (0-2)");
    return r;
  }
  if (kind == 'R') {
    r.lines.push_back("+CUSD: 1");
    return r;
  }
  const int mode = a.empty() ? 0 : std::atoi(a[0].c_str());
  if (kind != 'S' || mode < 0 || mode > 2) return cmeError(4);
  if (mode == 2) {
    if (!ussdBusy()) return {Result::kError, 0, {}};  // nothing to end, as Huawei sticks answer
    ussdState_ = UssdState::kIdle;
    return r;
  }
  if (a.size() < 2) return r;  // presentation on or off
  std::string request = a[1];
  if (request.size() >= 2 && request.front() == '"' && request.back() == '"') request = request.substr(1, request.size() - 2);
  if (request.empty()) return cmeError(4);
  const bool hexForm = isHex(request) && hasHexLetter(request);
  if (quirk("ussd-text-only") && hexForm) return {Result::kError, 0, {}};
  if (quirk("ussd-packed")) {
    if (!isHex(request)) return {Result::kError, 0, {}};
    request = gsm7Text(unpackHex(request));
  }
  if (ussdState_ == UssdState::kPending) return cmeError(3);  // the last request is still out
  ussdNetwork(request, r);
  return r;
}

void CommandInterpreter::ussdNetwork(const std::string& request, Result& r) {
  const UssdState state = ussdState_;
  ussdState_ = UssdState::kIdle;
  if (state == UssdState::kMenu && request == "1") return ussdAnswer(0, kBalance, r);
  if (state == UssdState::kMenu && request == "2") {
    ussdState_ = UssdState::kBundles;
    return ussdAnswer(1, kBundles, r);
  }
  if (state == UssdState::kBundles && request == "1") return ussdAnswer(0, "Data 1GB booked", r);
  if (state == UssdState::kBundles && request == "2") {
    ussdState_ = UssdState::kMenu;
    return ussdAnswer(1, kMenu, r);
  }
  if (state != UssdState::kIdle) return ussdAnswer(2, "Invalid choice", r);
  if (request == "*100#") return ussdAnswer(0, kBalance, r);
  if (request == "*101#") {
    ussdState_ = UssdState::kMenu;
    return ussdAnswer(1, kMenu, r);
  }
  if (request == "*102#") {
    ussdAnswer(2, "", r);
    const std::string number = identity_.ownNumber;
    host_.after(kSecondStepDelay, [this, number] {
      Result later;
      ussdAnswer(0, "Your number is " + number, later);
      for (const auto& l : later.lines) unsolicited("\r\n" + l + "\r\n");
    });
    return;
  }
  if (request == "*103#") {
    r = cmeError(30);  // no network service
    return;
  }
  if (request == "*104#") {
    ussdState_ = UssdState::kPending;
    return;
  }
  ussdAnswer(4, "", r);
}

void CommandInterpreter::ussdAnswer(int status, const std::string& text, Result& r) {
  std::string line = "+CUSD: " + std::to_string(status);
  if (!text.empty()) {
    if (quirk("ussd-ucs2"))
      line += ",\"" + ucs2Hex(text) + "\"," + std::to_string(kUssdUcs2Dcs);
    else if (quirk("ussd-packed"))
      line += ",\"" + packHex(gsm7Septets(text)) + "\"," + std::to_string(kUssdDcs);
    else
      line += ",\"" + text + "\"," + std::to_string(kUssdDcs);
  }
  if (quirk("ussd-before-ok")) {
    r.lines.push_back(line);
    return;
  }
  host_.after(kIndicationDelay, [this, line] { unsolicited("\r\n" + line + "\r\n"); });
}

}  // namespace reviri::sim
