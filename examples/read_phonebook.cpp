// Prints the entries of the SIM's phonebook.
//   read_phonebook DEVICE [RANGE]      (default range: 1,10)
#include <reviri/reviri.h>

#include <iostream>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: read_phonebook DEVICE [RANGE]\n";
    return 2;
  }
  reviri::Reviri modem;
  if (!modem.inimodem(argv[1], "19200,n,8,1")) {
    std::cerr << "no modem answers on " << argv[1] << "\n";
    return 1;
  }
  modem.selectphonebook("\"SM\"");  // the quotes go to the modem as given
  std::vector<reviri::phonebookentry> book;
  modem.readphonebook(argc > 2 ? argv[2] : "1,10", book);
  for (const auto& entry : book)
    if (!entry.cell.empty()) std::cout << entry.cell << " " << entry.type << " " << entry.name << "\n";
  return 0;
}
