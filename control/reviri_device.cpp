// control/reviri_control_device.cpp - the Reviri members for modem information, the
// phonebook and the character set; they forward to device/.
#include "control/state/control_core.h"
#include "control/device/device.h"
#include "reviri/reviri.h"

namespace reviri {

std::string Reviri::getsq() { return device::getsq(*core_); }
std::string Reviri::getcharge() { return device::getcharge(*core_); }
std::string Reviri::getsoftid() { return device::getsoftid(*core_); }
std::string Reviri::getIMEI() { return device::getIMEI(*core_); }
std::string Reviri::getmodelid() { return device::getmodelid(*core_); }
std::string Reviri::getmanufacturerid() { return device::getmanufacturerid(*core_); }

void Reviri::readphonebook(const std::string& ins1, std::vector<phonebookentry>& inbook) {
  device::readphonebook(*core_, ins1, inbook);
}
std::string Reviri::selectphonebook(const std::string& ins1) {
  return device::selectphonebook(*core_, ins1);
}
std::string Reviri::currentphonebook() { return device::currentphonebook(*core_); }
std::string Reviri::phoneucs2charset() { return device::phoneucs2charset(*core_); }
std::string Reviri::phonecharset() { return device::phonecharset(*core_); }
std::string Reviri::phonebookwrite(const std::string& index, const std::string& cell,
                                   const std::string& celltype, const std::string& uname) {
  return device::phonebookwrite(*core_, index, cell, celltype, uname);
}

}  // namespace reviri
