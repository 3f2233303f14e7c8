// sim/calls.cpp - incoming calls on the simulated modem: RING / +CRING
// repeated while the call rings, +CLIP with the caller's number, and the
// commands that end a call (ATH, AT+CHUP, ATA).
#include "sim/command_interpreter.h"

namespace reviri::sim {

void CommandInterpreter::ring(const std::string& number, std::chrono::milliseconds every, int rings) {
  call_ = Call{number, every, rings, ++callGeneration_};
  ringOnce(call_->generation);
}

void CommandInterpreter::ringOnce(int generation) {
  if (!call_ || call_->generation != generation) return;  // ended, or another call rings
  if (call_->ringsLeft-- <= 0) {
    callerHangsUp();
    return;
  }
  std::string bytes = crc_ ? "\r\n+CRING: VOICE\r\n" : "\r\nRING\r\n";
  if (clip_) {
    // A withheld number comes empty, with CLI validity 1 (withheld by the caller).
    bytes += call_->number.empty()
                 ? "\r\n+CLIP: \"\",128,,,,1\r\n"
                 : "\r\n+CLIP: \"" + call_->number + "\"," + (call_->number.starts_with('+') ? "145" : "129") + ",,,,0\r\n";
  }
  unsolicited(bytes);
  host_.after(call_->every, [this, generation] { ringOnce(generation); });
}

bool CommandInterpreter::callerHangsUp() {
  if (!call_) return false;
  call_.reset();
  unsolicited("\r\nNO CARRIER\r\n");
  return true;
}

CommandInterpreter::Result CommandInterpreter::callCommand(const std::string& name, char kind,
                                                           const std::vector<std::string>& a) {
  Result r;
  if (name == "+CHUP") {
    if (kind != 'E' || quirk("refuse-chup")) return {Result::kError, 0, {}};
    return endCall(false);
  }
  bool& flag = name == "+CLIP" ? clip_ : crc_;
  if (kind == 'T') r.lines = {name + ": (0,1)"};
  // +CLIP: 1,1 - shown, and the network provides the service.
  if (kind == 'R') r.lines = {name + ": " + (flag ? "1" : "0") + (name == "+CLIP" ? ",1" : "")};
  if (kind == 'S') {
    if (a.size() != 1 || (a[0] != "0" && a[0] != "1")) return cmeError(4);
    flag = a[0] == "1";
  }
  if (kind == 'E') return cmeError(4);
  return r;
}

CommandInterpreter::Result CommandInterpreter::endCall(bool answered) {
  if (!call_) return answered ? Result{Result::kError, 0, {}} : Result{};
  call_.reset();
  if (!answered) ++callsHungUp_;
  return {};
}

}  // namespace reviri::sim
