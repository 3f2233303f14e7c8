// tests/sms/event_recorder.h - an event sink that logs what it receives.
#ifndef REVIRI_TESTS_SMS_EVENT_RECORDER_H_
#define REVIRI_TESTS_SMS_EVENT_RECORDER_H_

#include <functional>
#include <string>
#include <vector>

#include "reviri/reviri.h"

namespace reviri::testing {

struct EventRecorder : ReviriEvents {
  std::vector<std::string> log;
  // Runs inside SMSReceived after logging, to act like a host's handler.
  std::function<void()> onReceived;
  void SMSReceived(const std::string& index, const std::string& cell,
                   const std::string& msg) override {
    log.push_back("received " + index + " " + cell + " " + msg);
    if (onReceived) onReceived();
  }
  void SMSERR(const std::string& errorcode) override { log.push_back("err " + errorcode); }
  void SMSSendOk(const std::string& code) override { log.push_back("ok " + code); }
};

}  // namespace reviri::testing

#endif  // REVIRI_TESTS_SMS_EVENT_RECORDER_H_
