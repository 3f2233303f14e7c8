// The simulated modem's PDU reader and DELIVER builder, checked against
// vectors from other SMS stacks and against themselves.
#include "sim/sim_pdu.h"

#include <gtest/gtest.h>

namespace reviri::sim {
namespace {

struct Vector {
  const char* name;
  const char* hex;
  bool deliver;
  const char* number;
  Coding coding;
  bool flash;
  const char* text;
};

TEST(SimPduTest, ReadsPeerVectors) {
  const Vector vectors[] = {
      {"@ and braces", "06917228195339040B917228214365F70000313062315352800A800D8A5E98D337A910", true,
       "+27821234567", Coding::kGsm7, false, "@{tést}!"},
      {"extension table, £ § ¿",
       "07912104442961F4040B916171957291F800001120821105050A6AC8B2BC7C9A83C220F6DB7D2ECB41EDF27C1E3E97411BDE06"
       "754FD3D1A0F9BB5D0695F1F4B29B5C2683C6E8B03C3CA697E5F34D6AE303D1D1F2F7DD0D4ABB59A0797D8C0685E7A00028EC2"
       "6832A960B28EC2683BE6050780EBA97D96C17",
       true, "+16175927198", Coding::kGsm7, false,
       "Here's a longer message [{with some extended characters}] thrown in, such as £ and ΩΠΨ and §¿ as "
       "well."},
      {"alphanumeric sender, UCS2", "07919730071111F10414D04937BD2C7797E9D3E614000811309291024061080442043504410442",
       true, "InternetSMS", Coding::kUcs2, false, "тест"},
      {"submit without VP", "0001000B917228001011F100000CC8329BFD065DDF72363904", false, "+27820001111",
       Coding::kGsm7, false, "Hello World!"},
      {"flash submit", "0001000B917228001011F10010094676788E064D9B53", false, "+27820001111", Coding::kGsm7,
       true, "Flash SMS"},
      {"25 septets, relative VP", "0011000B915155661632F40000001954747A0E4ACF41F27298CDCE83C6EF371B0481402010",
       false, "+15556661234", Coding::kGsm7, false, "This is really cool ΔΔΔΔΔ"},
      {"UCS2, national number",
       "0011000A8180002143650008C528017B00F30142007400610020017C0061006200610020017C00610072014200610020017C"
       "00750072",
       false, "0800123456", Coding::kUcs2, false, "Żółta żaba żarła żur"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.name);
    std::string why;
    const auto pdu = parsePdu(v.hex, -1, &why);
    ASSERT_TRUE(pdu) << why;
    EXPECT_EQ(pdu->deliver, v.deliver);
    EXPECT_EQ(pdu->number, v.number);
    EXPECT_EQ(pdu->coding, v.coding);
    EXPECT_EQ(pdu->flash, v.flash);
    EXPECT_EQ(pdu->text, v.text);
  }
}

TEST(SimPduTest, SkipsUserDataHeaderWithItsFillBits) {
  // Concatenated part with a 16-bit reference (UDHL 6, no fill bits) and one
  // with an 8-bit reference (UDHL 5, one fill bit).
  const std::string sixOctets =
      "07911356131313F64004850120390011609232239180A006080400100201D7327BFD6EB340E2321BF46E83EA7790F59D1E97DBE"
      "1341B442F83C465763D3DA797E56537C81D0ECB41AB59CC1693C16031D96C064241E5656838AF03A96230982A269BCD462917C"
      "8FA4E8FCBED709A0D7ABBE9F6B0FB5C7683D27350984D4FABC9A0B33C4C4FCF5D20EBFB2D079DCB62793DBD06D9C36E50FB2D"
      "4E97D9A0B49B5E96BBCB";
  auto pdu = parsePdu(sixOctets, -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->udhHex, "0804001002" "01");
  EXPECT_TRUE(pdu->text.starts_with("Welkom")) << pdu->text;

  const std::string fiveOctets =
      "0591721891F1400781721881F800003160526104848059050003C30101916536FB1DCABEEB2074D85E064941B19CAB060319A5"
      "C522289C96D3D3ED32286C0FA7D96131BBEC024941B19CAB0603DDD36C36A88C87A7E565D0DB0D82C55EB0DB4B068BCD5C20";
  pdu = parsePdu(fiveOctets, -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->text, "Hello!You have R 19.50 FREE airtime available. R 19.50 will expire on 01/07/2013. ");
}

TEST(SimPduTest, RefusesMalformedPdus) {
  const std::string good = "0001000B917228001011F100000CC8329BFD065DDF72363904";  // 24 octets of TPDU
  std::string why;
  EXPECT_TRUE(parsePdu(good, 24, &why)) << why;
  const struct {
    const char* name;
    std::string hex;
    int length;
  } bad[] = {
      {"announced length differs", good, 23},
      {"odd digit count", good + "0", -1},
      {"not hex", "0001000B917228001011F100000CC8329BFD065DDF7236390G", -1},
      {"user data cut short", good.substr(0, good.size() - 2), -1},
      {"trailing octet", good + "00", -1},
      {"status report", "0006D60B911326880736F4111011719551401110117195714000", -1},
      {"address longer than the PDU", "0001000B9172", -1},
      {"empty", "", -1},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    why.clear();
    EXPECT_FALSE(parsePdu(b.hex, b.length, &why));
    EXPECT_FALSE(why.empty());
  }
}

TEST(SimPduTest, DeliverReadsBackWhatWasBuilt) {
  const struct {
    const char* sender;
    std::string text;
    bool ucs2, flash;
  } cases[] = {
      {"+4915112345678", "Hello @ {x} € ~", false, false},
      {"4915112345678", "odd digits", false, true},
      {"+491511234567", "Grüße ✓ 😀", true, false},
      {"Bank", "alphanumeric sender", false, false},
      {"+15551234", "", false, false},
      {"+15551234", std::string(160, 'x'), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string why;
    const auto hex = buildDeliver("+4917100000", c.sender, c.text, c.ucs2, c.flash, 1700000000, &why);
    ASSERT_TRUE(hex) << why;
    const auto pdu = parsePdu(*hex, -1, &why);
    ASSERT_TRUE(pdu) << why;
    EXPECT_TRUE(pdu->deliver);
    EXPECT_EQ(pdu->sca, "+4917100000");
    EXPECT_EQ(pdu->number, c.sender);
    EXPECT_EQ(pdu->text, c.text);
    EXPECT_EQ(pdu->coding, c.ucs2 ? Coding::kUcs2 : Coding::kGsm7);
    EXPECT_EQ(pdu->flash, c.flash);
  }
}

TEST(SimPduTest, DeliverRefusesTextsThatDoNotFitOneMessage) {
  std::string why;
  EXPECT_FALSE(buildDeliver("", "+1555", std::string(161, 'a'), false, false, 0, &why));
  EXPECT_FALSE(buildDeliver("", "+1555", std::string(81, '{'), false, false, 0, &why));  // ESC pairs: 162 septets
  EXPECT_FALSE(buildDeliver("", "+1555", std::string(71, 'a'), true, false, 0, &why));
  EXPECT_TRUE(buildDeliver("", "+1555", std::string(70, 'a'), true, false, 0, &why));
}

TEST(SimPduTest, RewritesServiceCentreAndDestination) {
  const std::string stored = "0001000B917228001011F100000CC8329BFD065DDF72363904";
  const std::string withSca = withServiceCentre(stored, "+4917100000");
  auto pdu = parsePdu(withSca, -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->sca, "+4917100000");
  EXPECT_EQ(pdu->text, "Hello World!");
  pdu = parsePdu(withDestination(withSca, "+123"), -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->number, "+123");
  EXPECT_EQ(pdu->text, "Hello World!");
}

}  // namespace
}  // namespace reviri::sim
