// panel/panel.cpp - the surface's elements and the panel's click handlers.
#include "panel/panel.h"

#include <algorithm>
#include <array>

#include "base/at_answers.h"
#include "base/text.h"
#include "control/compat/pdu_compat.h"
#include "control/send/send.h"
#include "control/storage/store.h"

namespace reviri::panel {
namespace {

using detail::kDestinationDefault;
using detail::kStagedTextDefault;
using detail::kSendResultDefault;
using detail::kReadIndexDefault;
using detail::kReadPduDefault;
using detail::kPduToDecodeDefault;
using detail::kDecodedPduDefault;
using detail::kListingDefault;
using detail::kGsm7TextDefault;
using detail::kReceiveBufferDefault;

constexpr ElementKind kImage = ElementKind::kImage;
constexpr ElementKind kText = ElementKind::kTextBox;
constexpr ElementKind kButton = ElementKind::kButton;
constexpr ElementKind kLabel = ElementKind::kLabel;

// name, kind, caption or default text, left, top, width, height, tab index,
// multi-line, role.
constexpr std::array<PanelElement, 22> kElements{{
    {"Image1", kImage, "", 0, 0, 480, 480, -1, false, "the control's visible face"},
    {"Text9", kText, kGsm7TextDefault, 480, 1680, 3855, 285, 0, false, "7-bit message text for Command9"},
    {"Command9", kButton, "Commandgsm7bit", 2640, 120, 1815, 255, 1, false,
     "send Text9 to Text1 in 7-bit coding"},
    {"Command8", kButton, "read submit sms", 4920, 480, 1575, 375, 2, false,
     "read and show a stored outgoing message"},
    {"Command7", kButton, "reaall", 360, 5400, 735, 375, 3, false, "parse the listing in Text8"},
    {"Command6", kButton, "connnect", 2880, 1200, 1335, 255, 4, false, "open the port and initialise the modem"},
    {"Text8", kText, kListingDefault, 1560, 4800, 7815, 1455, 5, true, "listing answer"},
    {"Command5", kButton, "at+cmgl", 360, 4800, 855, 375, 6, false, "list all stored messages into Text8"},
    {"Text7", kText, kDecodedPduDefault, 1560, 4320, 6735, 285, 7, false, "result of submit_sms_read"},
    {"submit_sms_read", kButton, "submit_sms_read", 360, 4320, 975, 435, 8, false, "decode the PDU in Text6"},
    {"Text6", kText, kPduToDecodeDefault, 360, 3360, 7935, 855, 9, false, "PDU input of submit_sms_read"},
    {"TextTIME", kText, kReceiveBufferDefault, 6120, 0, 1935, 375, 10, false, "receive buffer"},
    {"Command3", kButton, "listen", 4920, 120, 735, 255, 11, false, "start new-message notification"},
    {"Text5", kText, kReadPduDefault, 4920, 1680, 3735, 1215, 12, true,
     "PDU line of the read operations; answer of startlisten"},
    {"Text4", kText, kReadIndexDefault, 6840, 600, 375, 615, 13, false, "storage index for Command2 and Command8"},
    {"Command2", kButton, "read delivery sms", 4920, 960, 1695, 375, 14, false,
     "read and show a stored received message"},
    {"Text3", kText, kSendResultDefault, 480, 2040, 3855, 855, 15, true, "result of Command1 and Command9"},
    {"Text2", kText, kStagedTextDefault, 120, 840, 3855, 285, 16, true,
     "message text for Command1; staging box of the send methods"},
    {"Command1", kButton, "unicode", 1800, 1200, 1095, 255, 17, false, "send Text2 to Text1 in UCS2 coding"},
    {"Text1", kText, kDestinationDefault, 2640, 480, 1815, 285, 18, false,
     "destination number for Command1 and Command9"},
    {"Label1", kLabel, "index for  sms type 1", 7320, 720, 1695, 495, 19, false, "caption beside Text4"},
    {"MSComm1", ElementKind::kSerialComponent, "", 0, 0, 0, 0, -1, false, "the serial port"},
}};

bool holdsOk(const std::string& answer) {
  // Case-sensitive on purpose: "OK" or "ok", but not "Ok".
  return answer.find("OK") != std::string::npos || answer.find("ok") != std::string::npos;
}

}  // namespace

std::span<const PanelElement> panelElements() { return kElements; }

const PanelElement* findElement(std::string_view name) {
  const auto it = std::find_if(kElements.begin(), kElements.end(),
                               [name](const PanelElement& e) { return e.name == name; });
  return it == kElements.end() ? nullptr : &*it;
}

detail::SurfaceText* surfaceField(detail::Surface& s, std::string_view name) {
  if (name == "TextTIME") return &s.receiveBuffer;
  if (name == "Text1") return &s.destination;
  if (name == "Text2") return &s.stagedText;
  if (name == "Text3") return &s.sendResult;
  if (name == "Text4") return &s.readIndex;
  if (name == "Text5") return &s.readPdu;
  if (name == "Text6") return &s.pduToDecode;
  if (name == "Text7") return &s.decodedPdu;
  if (name == "Text8") return &s.listing;
  if (name == "Text9") return &s.gsm7Text;
  return nullptr;
}

Panel::Panel(detail::ControlCore& core, MessageBox& messageBox, ConnectTarget connect)
    : core_(core), messageBox_(messageBox), connect_(std::move(connect)) {}

void Panel::Command1_Click() {
  detail::Surface& s = core_.surface;
  s.sendResult.setText(sms::send(core_, sms::SendMethod::kUniSubmit, s.destination.text(), s.stagedText.text()));
}

void Panel::Command9_Click() {
  detail::Surface& s = core_.surface;
  s.sendResult.setText(sms::send(core_, sms::SendMethod::kGsm7Submit, s.destination.text(), s.gsm7Text.text()));
}

bool Panel::readIntoText5() {
  const std::string answer = sms::readSIM(core_, text::trimSpaces(core_.surface.readIndex.text()));
  if (!holdsOk(answer)) return false;
  core_.surface.readPdu.setText(at::cmgrPduLine(answer));
  return true;
}

void Panel::Command2_Click() {
  if (!readIntoText5()) return;
  sms::deliverrecord record;
  if (sms::decodeDeliver(text::trimSpaces(core_.surface.readPdu.text()), record))
    messageBox_.show(record.ud + ">" + record.oanum + ">" + sms::decodeTimestamp(record.scts));
  else
    messageBox_.show("no recoder");
}

void Panel::Command8_Click() {
  if (!readIntoText5()) return;
  sms::submitrecord record;
  if (sms::decodeSubmit(text::trimSpaces(core_.surface.readPdu.text()), record))
    messageBox_.show(record.ud + ">" + record.danum);
  else
    messageBox_.show("no recoder");
}

void Panel::submit_sms_read_Click() {
  // Decoded exactly as it stands: blanks and line breaks included.
  sms::submitrecord record;
  if (sms::decodeSubmit(core_.surface.pduToDecode.text(), record))
    core_.surface.decodedPdu.setText(record.ud + ">" + record.danum);
}

void Panel::Command3_Click() { sms::startlisten(core_, "1,1,0,0"); }

void Panel::Command5_Click() { sms::listIntoListing(core_); }

void Panel::Command7_Click() { sms::sortListing(core_); }

void Panel::Command6_Click() {
  const std::string device = connect_.device.empty() ? devicePathForPort(1) : connect_.device;
  if (core_.inimodem(device, connect_.settings)) messageBox_.show("OK");
}

bool Panel::click(std::string_view name) {
  using Handler = void (Panel::*)();
  static constexpr std::pair<std::string_view, Handler> kHandlers[] = {
      {"Command1", &Panel::Command1_Click}, {"Command2", &Panel::Command2_Click},
      {"Command3", &Panel::Command3_Click}, {"Command5", &Panel::Command5_Click},
      {"Command6", &Panel::Command6_Click}, {"Command7", &Panel::Command7_Click},
      {"Command8", &Panel::Command8_Click}, {"Command9", &Panel::Command9_Click},
      {"submit_sms_read", &Panel::submit_sms_read_Click},
  };
  for (const auto& [button, handler] : kHandlers) {
    if (button == name) {
      (this->*handler)();
      return true;
    }
  }
  return false;
}

}  // namespace reviri::panel
