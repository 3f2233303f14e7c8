// A minimal host: opens a modem, sends "AT" and prints the answer.
//   hello_at [DEVICE]      (default /dev/ttyUSB0; a pseudo-terminal works too)
#include <reviri/reviri.h>

#include <iostream>

int main(int argc, char** argv) {
  const std::string device = argc > 1 ? argv[1] : "/dev/ttyUSB0";
  reviri::Reviri modem;
  if (!modem.inimodem(device, "19200,n,8,1")) {
    std::cerr << "no modem answers on " << device << "\n";
    return 1;
  }
  std::cout << modem.at("AT\r");  // the raw answer: "\r\nOK\r\n"
  return 0;
}
