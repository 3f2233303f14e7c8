// Sends one text message and prints the message reference the network gave it.
//   send_sms DEVICE NUMBER TEXT        e.g. send_sms /dev/ttyUSB0 +4915112345678 Hello
#include <reviri/reviri.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: send_sms DEVICE NUMBER TEXT\n";
    return 2;
  }
  reviri::Reviri modem;
  if (!modem.inimodem(argv[1], "19200,n,8,1")) {
    std::cerr << "no modem answers on " << argv[1] << "\n";
    return 1;
  }
  // GSM 7-bit coding, waiting for the modem's final answer to the message.
  const std::string answer = modem.gsm7smssubmit(argv[2], argv[3]);
  const std::string reference = modem.parsere(answer);  // the n of "+CMGS: n"
  if (answer.find("+CMGS:") == std::string::npos) {
    std::cerr << "not sent; the modem answered: " << answer << "\n";
    return 1;
  }
  std::cout << "sent, reference " << reference << "\n";
  return 0;
}
