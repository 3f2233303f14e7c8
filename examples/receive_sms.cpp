// Waits for one incoming message and prints its sender and text.
//   receive_sms DEVICE [SECONDS]       (default: wait 60 seconds)
#include <reviri/reviri.h>

#include <iostream>
#include <string>

// The control calls SMSReceived once it has read a newly announced message.
struct Printer : reviri::ReviriEvents {
  int received = 0;
  void SMSReceived(const std::string& index, const std::string& sender, const std::string& text) override {
    std::cout << "message " << index << " from " << sender << ": " << text << std::endl;
    ++received;
  }
};

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: receive_sms DEVICE [SECONDS]\n";
    return 2;
  }
  const int seconds = argc > 2 ? std::stoi(argv[2]) : 60;
  reviri::Reviri modem;
  Printer printer;
  modem.advise(printer);
  if (!modem.inimodem(argv[1], "19200,n,8,1")) {
    std::cerr << "no modem answers on " << argv[1] << "\n";
    return 1;
  }
  modem.startlisten();  // AT+CNMI=1,1,0,0: announce each new message with +CMTI
  std::cout << "listening" << std::endl;
  // Delivers the modem's data to the control (and so the events) until done.
  reviri::runUntil(modem, [&] { return printer.received > 0; }, std::chrono::seconds(seconds));
  return printer.received > 0 ? 0 : 1;
}
