// Sends one message through the typed API, then prints every whole message
// that arrives (long ones joined from their parts) until SECONDS have passed
// or COUNT messages were printed.
//   send_and_listen DEVICE NUMBER TEXT [SECONDS] [COUNT]
#include <reviri/modem.h>

#include <chrono>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: send_and_listen DEVICE NUMBER TEXT [SECONDS] [COUNT]\n";
    return 2;
  }
  const auto seconds = std::chrono::seconds(argc > 4 ? std::stoi(argv[4]) : 60);
  const int wanted = argc > 5 ? std::stoi(argv[5]) : 1;
  int received = 0;
  try {
    reviri::Modem modem;  // ModemOptions: PIN, storage, time-outs, retries
    modem.onMessage = [&](const reviri::IncomingMessage& m) {
      std::cout << "from " << m.sender << ": " << m.text << std::endl;
      ++received;
    };
    modem.open(argv[1]);  // locks the port, sets the modem up; throws reviri::ModemError

    reviri::OutgoingMessage message;
    message.to = argv[2];
    message.text = argv[3];  // any length: the coding and the parts are chosen for it
    const reviri::SendResult sent = modem.send(message);
    if (!sent.ok()) {
      std::cerr << "not sent: " << sent.error.meaning << "\n";
      return 1;
    }
    std::cout << "sent in " << sent.parts << " part(s), " << reviri::codingName(sent.coding) << std::endl;

    const auto end = std::chrono::steady_clock::now() + seconds;
    while (received < wanted && std::chrono::steady_clock::now() < end)
      modem.poll(std::chrono::milliseconds(200));  // callbacks run in here, on this thread
  } catch (const reviri::ModemError& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return received >= wanted ? 0 : 1;
}
