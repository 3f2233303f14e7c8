// A program outside Reviri: uses the installed headers and library only, and
// checks what a consumer relies on across the library's boundary (public
// types, exceptions, event sinks, no modem needed). Prints "consumer OK".
#include <reviri/reviri.h>

#include <iostream>

// The internal headers stay out of a consumer's include path.
#if __has_include(<base/text.h>) || __has_include(<control/state/control_core.h>) || __has_include(<link/serial_at_channel.h>)
#error "an internal header of Reviri is reachable from a consumer"
#endif

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::cerr << "consumer: " << what << "\n";
    ++failures;
  }
}

struct Sink : reviri::ReviriEvents {
  int errors = 0;
  void SMSERR(const std::string&) override { ++errors; }
};

}  // namespace

int main() {
  const auto settings = reviri::LineSettings::parse("115200,e,7,2");
  check(settings.baud == 115200 && settings.dataBits == 7 &&
            settings.parity == reviri::LineSettings::Parity::kEven,
        "LineSettings::parse read 115200,e,7,2 wrongly");
  try {
    reviri::LineSettings::parse("19200,x,8,1");
    check(false, "a bad parity was accepted");
  } catch (const std::invalid_argument&) {
  }
  check(reviri::devicePathForPort(1) == "/dev/ttyS0", "port 1 is not /dev/ttyS0");

  // A SerialError thrown inside the library is caught by its type here.
  try {
    reviri::makeSystemSerialPort()->open("/nonexistent/reviri-consumer", settings);
    check(false, "opening a missing device succeeded");
  } catch (const reviri::SerialError& e) {
    check(std::string(e.what()).find("/nonexistent/reviri-consumer") != std::string::npos,
          "the SerialError does not name the device");
  }

  reviri::Reviri modem;
  Sink sink;
  const int cookie = modem.advise(sink);
  check(!modem.inimodem(std::string("/nonexistent/reviri-consumer"), "19200,n,8,1"),
        "inimodem succeeded without a modem");
  check(modem.at("AT\r") == "-1", "at() on a closed port did not answer -1");
  modem.unadvise(cookie);
  modem.setTimeRe(1234);
  check(modem.TimeRe() == 1234, "TimeRe did not keep its value");

  if (failures) return 1;
  std::cout << "consumer OK\n";
  return 0;
}
