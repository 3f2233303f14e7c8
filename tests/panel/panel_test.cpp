// The panel's click handlers on the scripted port: what each sends, what it
// shows in the surface and in message boxes, and the default texts.
#include "panel/panel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "base/text.h"
#include "control/compat/pdu_compat.h"
#include "support/fake_serial_port.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri {
namespace {

using testing::FakeSerialPort;

// An SMS-DELIVER from +27821234567 reading "Test2", with a service centre.
const std::string kDeliver = vectors::received("D1").pdu;
// The same message with an 8-bit data coding scheme: not decodable to text.
const std::string kDeliver8bit = "06917228195339040B917228214365F700043130805120618005D4F29C2E03";
// An SMS-SUBMIT to 12345 reading "abc".
const std::string kSubmit = "00110005912143F50000A90361F118";
const std::string kSubmit8bit = "00110005912143F50004A90361F118";

std::string cmgrAnswer(const std::string& pdu, const std::string& ok = "OK") {
  return "\r\n+CMGR: 1,,23\r\n" + pdu + "\r\n\r\n" + ok + "\r\n";
}

struct RecordingMessageBox : panel::MessageBox {
  void show(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

// A control on the scripted port (open, short idle bound), a recorder for
// message boxes and the panel on both.
struct PanelRig {
  PanelRig() : control(FakeSerialPort::options(&port, &pauses)), panel(reviri::detail::internals(control), box) {
    port->forceOpen();
    control.setTimeRe(3);
  }
  PanelRig(const PanelRig&) = delete;
  detail::Surface& surface() { return reviri::detail::internals(control).surface; }

  FakeSerialPort* port = nullptr;
  std::vector<long> pauses;
  Reviri control;
  RecordingMessageBox box;
  panel::Panel panel;
};

class PanelTest : public ::testing::Test, public PanelRig {};

// ---- Reading stored messages -------------------------------------------------------

TEST_F(PanelTest, ReadDeliveryShowsTextSenderAndTimestamp) {
  port->reply("AT+CMGR=", {cmgrAnswer(kDeliver)});
  panel.Command2_Click();
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CMGR=1\r"});  // Text4 defaults to 1
  EXPECT_EQ(surface().readPdu.text(), kDeliver);
  EXPECT_EQ(box.shown, std::vector<std::string>{"Test2>27821234567>13030815021680"});
}

TEST_F(PanelTest, ReadSubmitShowsTextAndRecipient) {
  port->reply("AT+CMGR=", {cmgrAnswer(kSubmit)});
  panel.Command8_Click();
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CMGR=1\r"});
  EXPECT_EQ(surface().readPdu.text(), kSubmit);
  EXPECT_EQ(box.shown, std::vector<std::string>{"abc>12345"});
}

TEST_F(PanelTest, ReadButtonsTrimTheIndex) {
  for (const char* button : {"Command2", "Command8"}) {
    SCOPED_TRACE(button);
    port->writes.clear();
    surface().readIndex.setText(" 3 ");
    port->reply("AT+CMGR=", {cmgrAnswer(kDeliver)});
    panel.click(button);
    ASSERT_FALSE(port->writes.empty());
    EXPECT_EQ(port->writes.front(), "AT+CMGR=3\r");
  }
}

TEST(PanelRead, ReadButtonsShowNothingWithoutOk) {
  struct Case {
    const char* name;
    std::string answer;
  };
  const Case cases[] = {
      {"CMS error", "\r\n+CMS ERROR: 321\r\n"},
      {"mixed-case Ok", cmgrAnswer(kDeliver, "Ok")},
      {"silence", ""},
  };
  for (const char* button : {"Command2", "Command8"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(button) + ": " + c.name);
      PanelRig rig;
      if (!c.answer.empty()) rig.port->reply("AT+CMGR=", {c.answer});
      rig.panel.click(button);
      EXPECT_EQ(rig.port->writes, std::vector<std::string>{"AT+CMGR=1\r"});
      EXPECT_EQ(rig.surface().readPdu.text(), "in sms\r\n");
      EXPECT_TRUE(rig.box.shown.empty());
    }
  }
}

TEST(PanelRead, LowerCaseOkCountsAsAnAnswer) {
  PanelRig deliver;
  deliver.port->reply("AT+CMGR=", {cmgrAnswer(kDeliver, "ok")});
  deliver.panel.Command2_Click();
  EXPECT_EQ(deliver.box.shown, std::vector<std::string>{"Test2>27821234567>13030815021680"});
  PanelRig submit;
  submit.port->reply("AT+CMGR=", {cmgrAnswer(kSubmit, "ok")});
  submit.panel.Command8_Click();
  EXPECT_EQ(submit.box.shown, std::vector<std::string>{"abc>12345"});
}

TEST(PanelRead, UndecodableMessageShowsNoRecoderAfterStagingItsPdu) {
  PanelRig deliver;
  deliver.port->reply("AT+CMGR=", {cmgrAnswer(kDeliver8bit)});
  deliver.panel.Command2_Click();
  EXPECT_EQ(deliver.surface().readPdu.text(), kDeliver8bit);
  EXPECT_EQ(deliver.box.shown, std::vector<std::string>{"no recoder"});
  PanelRig submit;
  submit.port->reply("AT+CMGR=", {cmgrAnswer(kSubmit8bit)});
  submit.panel.Command8_Click();
  EXPECT_EQ(submit.surface().readPdu.text(), kSubmit8bit);
  EXPECT_EQ(submit.box.shown, std::vector<std::string>{"no recoder"});
}

TEST_F(PanelTest, ReadOnAClosedPortShowsNothing) {
  port->close();
  panel.Command2_Click();
  panel.Command8_Click();
  EXPECT_TRUE(port->writes.empty());
  EXPECT_TRUE(box.shown.empty());
  EXPECT_EQ(surface().readPdu.text(), "in sms\r\n");
}

TEST_F(PanelTest, FailureOfThePortEndsTheHandler) {
  port->failIo = "device vanished";
  EXPECT_THROW(panel.Command2_Click(), SerialError);
  EXPECT_TRUE(box.shown.empty());
}

// ---- Decoding Text6 ---------------------------------------------------------------

TEST_F(PanelTest, SubmitSmsReadDecodesTheSampleAsItStands) {
  panel.submit_sms_read_Click();
  EXPECT_EQ(surface().decodedPdu.text(), "Hello from the Reviri test panel :)>8613800138000");
  EXPECT_TRUE(port->writes.empty());
  EXPECT_TRUE(box.shown.empty());
}

TEST_F(PanelTest, SubmitSmsReadDoesNotTrim) {
  // A leading blank shifts every field: the first two characters " 0" are
  // no longer the service-centre length "00", so the result differs from the
  // trimmed PDU's.
  surface().pduToDecode.setText(" " + kSubmit);
  panel.submit_sms_read_Click();
  EXPECT_NE(surface().decodedPdu.text(), "abc>12345");
  surface().pduToDecode.setText(kSubmit);
  panel.submit_sms_read_Click();
  EXPECT_EQ(surface().decodedPdu.text(), "abc>12345");
}

TEST_F(PanelTest, SubmitSmsReadChangesNothingForAnUndecodablePdu) {
  surface().pduToDecode.setText(kSubmit8bit);
  panel.submit_sms_read_Click();
  EXPECT_EQ(surface().decodedPdu.text(), "Text7");
  EXPECT_TRUE(box.shown.empty());
}

// ---- Sending --------------------------------------------------------------------

// The PDU line written (without its Ctrl-Z), decoded.
sms::submitrecord sentSubmit(const FakeSerialPort& port) {
  sms::submitrecord record;
  for (const std::string& w : port.writes) {
    if (!w.empty() && w.back() == '\x1A') {
      EXPECT_TRUE(sms::decodeSubmit(w.substr(0, w.size() - 1), record));
    }
  }
  return record;
}

TEST_F(PanelTest, UnicodeSendsText2ToText1AndShowsBothAnswers) {
  port->reply("AT+CMGS=", {"\r\n> "});
  port->reply("0", {"\r\n+CMGS: 5\r\n\r\nOK\r\n"});
  panel.Command1_Click();
  ASSERT_EQ(port->writes.size(), 2u);
  EXPECT_TRUE(port->writes[0].starts_with("AT+CMGS="));
  const sms::submitrecord sent = sentSubmit(*port);
  EXPECT_EQ(sent.ud, surface().stagedText.text());
  EXPECT_EQ(sent.danum, surface().destination.text());
  EXPECT_EQ(sent.dcs, "08");
  EXPECT_EQ(surface().sendResult.text(), "\r\n> \r\n+CMGS: 5\r\n\r\nOK\r\n");
}

TEST_F(PanelTest, Gsm7bitSendsText9ToText1) {
  surface().destination.setText("12345");
  port->reply("AT+CMGS=", {"\r\n> "});
  port->reply("0", {"\r\n+CMGS: 6\r\n\r\nOK\r\n"});
  panel.Command9_Click();
  const sms::submitrecord sent = sentSubmit(*port);
  EXPECT_EQ(sent.ud, "gsm7bit");
  EXPECT_EQ(sent.danum, "12345");
  EXPECT_EQ(sent.dcs, "00");
  EXPECT_EQ(surface().sendResult.text(), "\r\n> \r\n+CMGS: 6\r\n\r\nOK\r\n");
}

TEST_F(PanelTest, SendsShowWhateverTheMethodReturns) {
  port->reply("AT+CMGS=", {"\r\n+CMS ERROR: 304\r\n"});
  panel.Command9_Click();
  EXPECT_EQ(surface().sendResult.text(), "\r\n+CMS ERROR: 304\r\n");  // no prompt: no PDU line
  EXPECT_EQ(port->writes.size(), 1u);
  port->close();
  panel.Command1_Click();
  EXPECT_EQ(surface().sendResult.text(), "-1");
  EXPECT_TRUE(box.shown.empty());
}

// ---- Listening, listing, connecting ----------------------------------------------

TEST_F(PanelTest, ListenAsksForIndicationsAndShowsTheAnswer) {
  port->reply("AT+CNMI=", {"\r\nOK\r\n"});
  panel.Command3_Click();
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CNMI=1,1,0,0\r"});
  EXPECT_EQ(surface().readPdu.text(), "\r\nOK\r\n");
  EXPECT_EQ(control.FlagCatchwho(), "cnmi");
}

TEST_F(PanelTest, ListingButtonsListAndSortTheSample) {
  // The default listing in Text8 parses as it stands.
  panel.Command7_Click();
  EXPECT_EQ(control.SMS_Read_String(), ",1,2,3,6,7");
  EXPECT_EQ(control.SMS_Send_String(), ",4,5,8,9");

  port->reply("at+cmgl=4", {"\r\n+CMGL: 4,1,,23\r\n" + kDeliver + "\r\n\r\nOK\r\n"});
  panel.Command5_Click();
  EXPECT_EQ(port->writes, std::vector<std::string>{"at+cmgl=4\r\n"});
  panel.Command7_Click();
  EXPECT_EQ(control.SMS_Read_String(), ",4");
  EXPECT_EQ(control.SMS_Send_String(), "");
}

TEST_F(PanelTest, ConnectOpensPortOneAndSaysOk) {
  port->close();
  port->reply("AT\r", {"\r\nOK\r\n"});
  port->reply("ate0", {"\r\nOK\r\n"});
  port->reply("at+cmgf=0", {"\r\nOK\r\n"});
  panel.Command6_Click();
  EXPECT_EQ(port->device, devicePathForPort(1));
  EXPECT_EQ(port->settings.baud, 19200);
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT\r", "ate0\r", "at+cmgf=0\r"}));
  EXPECT_EQ(box.shown, std::vector<std::string>{"OK"});
  EXPECT_EQ(pauses, std::vector<long>{2000});
}

TEST_F(PanelTest, ConnectShowsNothingForASilentModem) {
  port->close();
  panel.Command6_Click();
  EXPECT_TRUE(port->isOpen());  // inimodem leaves the port open
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT\r"});
  EXPECT_TRUE(box.shown.empty());
}

TEST(PanelConnectTarget, ConnectOpensTheDeviceTheHostChose) {
  FakeSerialPort* port = nullptr;
  Reviri control(FakeSerialPort::options(&port));
  control.setTimeRe(3);
  RecordingMessageBox box;
  panel::Panel panel(reviri::detail::internals(control), box, {"/dev/ttyUSB3", "115200,n,8,1"});
  port->reply("AT\r", {"\r\nOK\r\n"});
  panel.Command6_Click();
  EXPECT_EQ(port->device, "/dev/ttyUSB3");
  EXPECT_EQ(port->settings.baud, 115200);
  EXPECT_EQ(box.shown, std::vector<std::string>{"OK"});
}

TEST_F(PanelTest, ClickDispatchesByButtonName) {
  port->reply("AT+CNMI=", {"\r\nOK\r\n"});
  EXPECT_TRUE(panel.click("Command3"));
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT+CNMI=1,1,0,0\r"});
  EXPECT_TRUE(panel.click("submit_sms_read"));
  EXPECT_NE(surface().decodedPdu.text(), "Text7");
  EXPECT_FALSE(panel.click("Text1"));
  EXPECT_FALSE(panel.click("Command4"));
}

// ---- The surface and its default texts ----------------------------------------------

TEST(PanelSurface, DefaultTextsHaveTheirShapes) {
  detail::Surface s;
  // Text1: 13 digits, international form, no plus sign.
  EXPECT_EQ(s.destination.text().size(), 13u);
  EXPECT_EQ(s.destination.text().find_first_not_of("0123456789"), std::string::npos);
  // Text2: three identical Chinese characters.
  const std::u16string text2 = text::utf8ToUtf16(s.stagedText.text());
  ASSERT_EQ(text2.size(), 3u);
  EXPECT_TRUE(text2[0] >= 0x4E00 && text2[0] <= 0x9FFF);
  EXPECT_TRUE(text2[0] == text2[1] && text2[1] == text2[2]);
  // Text6: 111 characters, two lines, single blanks, decodes as it stands.
  const std::string& t6 = s.pduToDecode.text();
  EXPECT_EQ(text::utf16Length(t6), 111u);
  EXPECT_EQ(std::count(t6.begin(), t6.end(), '\n'), 1);
  EXPECT_NE(t6.find("\r\n"), std::string::npos);
  EXPECT_GE(std::count(t6.begin(), t6.end(), ' '), 2);
  EXPECT_EQ(t6.find("  "), std::string::npos);
  sms::submitrecord submit;
  EXPECT_TRUE(sms::decodeSubmit(t6, submit));
  EXPECT_EQ(submit.danum, "8613800138000");
  EXPECT_EQ(submit.ud, "Hello from the Reviri test panel :)");
  // The other fields keep their texts.
  EXPECT_EQ(s.receiveBuffer.text(), "TextTIME");
  EXPECT_EQ(s.sendResult.text(), "Text3");
  EXPECT_EQ(s.readIndex.text(), "1");
  EXPECT_EQ(s.readPdu.text(), "in sms\r\n");
  EXPECT_EQ(s.decodedPdu.text(), "Text7");
  EXPECT_EQ(s.gsm7Text.text(), "gsm7bit");
}

TEST(PanelSurface, ListingSampleHoldsHeaderAndPduLines) {
  const std::string t8 = detail::Surface{}.listing.text();
  EXPECT_EQ(text::utf16Length(t8), 1182u);
  // Every "+CMGL: index,status,,length" line is followed by a PDU that
  // decodes as what its status says and whose TPDU has that length.
  std::size_t entries = 0;
  std::size_t at = 0;
  while ((at = t8.find("+CMGL: ", at)) != std::string::npos) {
    const std::size_t headerEnd = t8.find("\r\n", at);
    const std::size_t pduEnd = t8.find("\r\n", headerEnd + 2);
    ASSERT_NE(pduEnd, std::string::npos);
    const std::string header = t8.substr(at, headerEnd - at);
    const std::string pdu = t8.substr(headerEnd + 2, pduEnd - headerEnd - 2);
    SCOPED_TRACE(header);
    const int status = header[9] - '0';
    const std::size_t length = std::stoul(header.substr(header.rfind(',') + 1));
    const std::size_t scaOctets = std::stoul(pdu.substr(0, 2), nullptr, 16) + 1;
    EXPECT_EQ(pdu.size() / 2 - scaOctets, length);
    if (status >= 2) {
      sms::submitrecord r;
      EXPECT_TRUE(sms::decodeSubmit(pdu, r));
      EXPECT_FALSE(r.ud.empty());
    } else {
      sms::deliverrecord r;
      EXPECT_TRUE(sms::decodeDeliver(pdu, r));
      EXPECT_FALSE(r.ud.empty());
      EXPECT_EQ(sms::decodeTimestamp(r.scts).size(), 14u);
    }
    ++entries;
    at = pduEnd;
  }
  EXPECT_EQ(entries, 9u);
  EXPECT_TRUE(t8.ends_with("\r\nOK\r\n"));
}

TEST(PanelSurface, ElementTableMatchesTheSurface) {
  const auto elements = panel::panelElements();
  EXPECT_EQ(elements.size(), 22u);
  detail::Surface s;
  std::set<int> tabs;
  for (const panel::PanelElement& e : elements) {
    SCOPED_TRACE(std::string(e.name));
    if (e.tabIndex >= 0) {
      EXPECT_TRUE(tabs.insert(e.tabIndex).second);
    }
    detail::SurfaceText* field = panel::surfaceField(s, e.name);
    EXPECT_EQ(field != nullptr, e.kind == panel::ElementKind::kTextBox);
    // Mark each field by its element's name (several default texts are
    // their names, so the mark differs); the members below must then carry
    // their own marks, so a name mapped to the wrong field shows.
    if (field) field->setText("mark " + std::string(e.name));
  }
  const std::pair<const detail::SurfaceText*, std::string> marked[] = {
      {&s.receiveBuffer, "TextTIME"}, {&s.destination, "Text1"}, {&s.stagedText, "Text2"}, {&s.sendResult, "Text3"},
      {&s.readIndex, "Text4"},       {&s.readPdu, "Text5"}, {&s.pduToDecode, "Text6"}, {&s.decodedPdu, "Text7"},
      {&s.listing, "Text8"},       {&s.gsm7Text, "Text9"}};
  for (const auto& [field, name] : marked) EXPECT_EQ(field->text(), "mark " + name);
  EXPECT_EQ(tabs.size(), 20u);
  EXPECT_EQ(*tabs.begin(), 0);
  EXPECT_EQ(*tabs.rbegin(), 19);
  EXPECT_EQ(panel::findElement("Label1")->caption, "index for  sms type 1");
  EXPECT_EQ(panel::findElement("Command6")->caption, "connnect");
  const panel::PanelElement* text8 = panel::findElement("Text8");
  EXPECT_EQ((std::array{text8->left, text8->top, text8->width, text8->height}),
            (std::array{1560, 4800, 7815, 1455}));
  EXPECT_TRUE(text8->multiLine);
  EXPECT_EQ(panel::findElement("nothing"), nullptr);
}

}  // namespace
}  // namespace reviri
