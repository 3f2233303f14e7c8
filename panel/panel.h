// panel/panel.h - the control's built-in test panel: its surface elements
// (name, kind, caption or default text, position and size in twips, tab
// order, role) and the click handlers of its buttons.
//
// The handlers drive the control's own operations by hand: send a Unicode or
// 7-bit message, read a stored message by index and show it decoded, decode
// the PDU of Text6, start new-message notification, open the port. They show
// results in the surface's text fields and through a modal message box that
// the host provides. They catch nothing: a SerialError from the port ends the
// handler and reaches the caller.
//
// Threading: the control's thread only. Handlers that talk to the modem run
// the host's event pump while they wait, as every modem operation does.
#ifndef REVIRI_PANEL_PANEL_H_
#define REVIRI_PANEL_PANEL_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "control/state/control_core.h"

namespace reviri::panel {

enum class ElementKind { kImage, kTextBox, kButton, kLabel, kSerialComponent };

// One element of the surface. Geometry in twips; `tabIndex` is -1 for
// elements outside the tab order. For text boxes `caption` is the default
// text (the same text every Surface starts with).
struct PanelElement {
  std::string_view name;
  ElementKind kind;
  std::string_view caption;
  int left, top, width, height;
  int tabIndex;
  bool multiLine;
  std::string_view role;
};

// Every element of the surface, in the order of the designer's listing
// (Image1 first, MSComm1 last).
std::span<const PanelElement> panelElements();
// The element called `name`, or nullptr.
const PanelElement* findElement(std::string_view name);
// The surface's background: the system colour "window background" as an
// OLE_COLOR (system colour index 5).
inline constexpr std::uint32_t kSurfaceBackColor = 0x80000005;

// The text field behind a text box of the surface, or nullptr for names that
// are not text boxes.
detail::SurfaceText* surfaceField(detail::Surface& surface, std::string_view name);

// A modal notice with the given text, a single OK button and the default
// title; show() returns once the user has acknowledged it.
class MessageBox {
 public:
  virtual ~MessageBox() = default;
  virtual void show(const std::string& text) = 0;
};

// Where the connect button opens the modem. The panel's own choice is serial
// port 1 at "19200,n,8,1"; a host may point it at another device (the reviri
// tool does for --port and for its simulated modem).
struct ConnectTarget {
  std::string device;  // empty: serial port 1
  std::string settings = "19200,n,8,1";
};

class Panel {
 public:
  Panel(detail::ControlCore& core, MessageBox& messageBox, ConnectTarget connect = {});

  // "unicode": UNIsmssubmit(Text1, Text2) into Text3.
  void Command1_Click();
  // "read delivery sms": reads the received message at index Text4 and shows
  // "text>sender>timestamp", or "no recoder" when it cannot be decoded.
  void Command2_Click();
  // "listen": startlisten("1,1,0,0"); the answer shows in Text5.
  void Command3_Click();
  // "at+cmgl": lists every stored message into Text8.
  void Command5_Click();
  // "connnect": opens the modem; shows "OK" when it answered.
  void Command6_Click();
  // "reaall": sorts the listing in Text8 into SMS_Read_String and
  // SMS_Send_String.
  void Command7_Click();
  // "read submit sms": reads the stored outgoing message at index Text4 and
  // shows "text>recipient", or "no recoder".
  void Command8_Click();
  // "Commandgsm7bit": gsm7smssubmit(Text1, Text9) into Text3.
  void Command9_Click();
  // Decodes the SMS-SUBMIT PDU in Text6 as it stands into "text>recipient"
  // in Text7; changes nothing when it cannot be decoded.
  void submit_sms_read_Click();

  // Runs the click handler of the button called `name`; false when there is
  // no such button.
  bool click(std::string_view name);

  detail::ControlCore& core() { return core_; }
  const ConnectTarget& connectTarget() const { return connect_; }

 private:
  // Steps shared by the two read buttons: the answer to "AT+CMGR=" for the
  // trimmed index of Text4, with its PDU line staged in Text5. False (and
  // nothing changed) when the answer holds neither "OK" nor "ok".
  bool readIntoText5();

  detail::ControlCore& core_;
  MessageBox& messageBox_;
  ConnectTarget connect_;
};

}  // namespace reviri::panel

#endif  // REVIRI_PANEL_PANEL_H_
