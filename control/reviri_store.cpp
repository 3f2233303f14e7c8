// control/reviri_store.cpp - the storage, read, listen and listing methods of
// Reviri; they forward to control/storage.
#include "control/state/control_core.h"
#include "reviri/reviri.h"
#include "control/storage/store.h"

namespace reviri {

std::string Reviri::startlisten(const std::string& insmi) { return sms::startlisten(*core_, insmi); }
void Reviri::ReadAllSms() { sms::ReadAllSms(*core_); }
std::string Reviri::selSIM(const std::string& ins) { return sms::selSIM(*core_, ins); }
std::string Reviri::sendSIMother(const std::string& ins) { return sms::sendSIMother(*core_, ins); }
std::string Reviri::delSIM(const std::string& ins) { return sms::delSIM(*core_, ins); }
bool Reviri::read_insms(const std::string& INDEX1) { return sms::read_insms(*core_, INDEX1); }
bool Reviri::read_outsms(const std::string& INDEX1) { return sms::read_outsms(*core_, INDEX1); }

}  // namespace reviri
