// tests/com/wine/test_modem.cpp - the modem behind COM1 in the Wine tests.
//
// A Linux program: serves a pseudo-terminal, prints its path on the first
// line of stdout and answers the commands the Windows tests send, until
// stdin closes. Its answers make the tests' checks meaningful: the
// indication settings and storage areas are accepted only with the values
// the control uses when a host omits them, and the made-up command
// "AT+TESTCMTI" makes it announce stored message 3 shortly afterwards.
//
// Threading: the responder answers on its own thread; the main thread waits
// for stdin to close and sends the delayed announcement.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "support/pty_responder.h"

namespace {

// SMS-DELIVER from +85291234567: "It is easy to read text messages via AT commands."
constexpr char kStoredPdu[] =
    "07915892000000F0040B915892214365F700007040213252242331493A283D0795C3F33C88FE06C9CB6132885EC6D"
    "341EDF27C1E3E97E7207B3A0C0A5241E377BB1D7693E72E";

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

std::string ok(const std::string& body = {}) {
  return body.empty() ? "\r\nOK\r\n" : "\r\n" + body + "\r\n\r\nOK\r\n";
}

}  // namespace

int main() {
  std::atomic<bool> announce{false};
  int reference = 7;
  reviri::testing::PtyResponder modem([&](const std::string& raw) -> std::string {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    std::fprintf(stderr, "modem <- %s\n", line.c_str());
    std::string upper;
    for (char c : line) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!raw.empty() && raw.back() == '\x1a') {
      if (line.size() < 3) return "\r\n+CMS ERROR: 304\r\n";
      return "\r\n+CMGS: " + std::to_string(reference++) + "\r\n\r\nOK\r\n";
    }
    if (!raw.empty() && raw.back() == '\x1b') return "\r\nOK\r\n";
    if (upper == "AT" || upper == "ATE0" || upper == "AT+CMGF=0") return ok();
    if (startsWith(upper, "AT+CMGS=") || startsWith(upper, "AT+CMGW=")) return "\r\n> ";
    if (upper == "AT+CNMI=1,1,0,0") return ok();
    if (upper == "AT+CPMS=SM,SM,SM") return ok("+CPMS: 1,30,1,30,1,30");
    if (startsWith(upper, "AT+CMGR=3")) return ok("+CMGR: 0,,49\r\n" + std::string(kStoredPdu));
    if (startsWith(upper, "AT+CMGD=")) return ok();
    if (upper == "AT+CGMI") return ok("REVIRI TEST MODEM");
    if (startsWith(upper, "AT+CPBR=")) {
      return ok("+CPBR: 1,\"+4915112345\",145,\"Alice\"\r\n"
                "+CPBR: 2,\"5551234\",129,\"Bob\"");
    }
    if (upper == "AT+TESTCMTI") {
      announce = true;
      return ok();
    }
    return "\r\nERROR\r\n";
  });
  std::cout << modem.devicePath() << std::endl;

  // Sends the announcement once the command that asked for it has finished.
  std::thread announcer([&] {
    while (true) {
      if (announce.exchange(false)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::fprintf(stderr, "modem -> +CMTI\n");
        modem.send("\r\n+CMTI: \"SM\",3\r\n");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  announcer.detach();

  char buffer[256];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  std::_Exit(0);
}
