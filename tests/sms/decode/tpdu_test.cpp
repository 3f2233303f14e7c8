// Typed PDU decoder: public vectors of received messages, stored outgoing
// messages and delivery reports; coding groups; user-data headers; refused
// and hostile input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/text.h"
#include "sms/decode/tpdu.h"

namespace reviri::sms {
namespace {

using namespace std::chrono;

Deliver deliver(const std::string& pdu) {
  const Tpdu t = decodeTpdu(pdu);
  EXPECT_TRUE(std::holds_alternative<Deliver>(t)) << pdu;
  return std::holds_alternative<Deliver>(t) ? std::get<Deliver>(t) : Deliver{};
}

StatusReport report(const std::string& pdu) {
  const Tpdu t = decodeTpdu(pdu);
  EXPECT_TRUE(std::holds_alternative<StatusReport>(t)) << pdu;
  return std::holds_alternative<StatusReport>(t) ? std::get<StatusReport>(t) : StatusReport{};
}

Submit submit(const std::string& pdu) {
  const Tpdu t = decodeTpdu(pdu);
  EXPECT_TRUE(std::holds_alternative<Submit>(t)) << pdu;
  return std::holds_alternative<Submit>(t) ? std::get<Submit>(t) : Submit{};
}

// The UTC instant of a local date and time in a zone of `zone` minutes.
sys_seconds utcOf(int y, unsigned mo, unsigned d, int h, int mi, int s, int zone) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} - minutes{zone};
}

// An SMS-DELIVER without service centre from +27821234567.
std::string deliverPdu(const std::string& fo, const std::string& dcs, const std::string& udlAndUd) {
  return "00" + fo + "0B917228214365F7" + "00" + dcs + "31308051206180" + udlAndUd;
}

template <typename F>
void expectPduError(F call, const std::string& mentions) {
  try {
    call();
    ADD_FAILURE() << "no PduError, expected one about " << mentions;
  } catch (const PduError& e) {
    EXPECT_NE(std::string(e.what()).find(mentions), std::string::npos) << e.what();
  }
}

TEST(DecodeTpdu, ReceivedMessagesFromPublicVectors) {
  const Deliver d1 = deliver("06917228195339040B917228214365F700003130805120618005D4F29C2E03");
  EXPECT_EQ(d1.serviceCentre.number, "+2782913593");
  EXPECT_EQ(d1.originator.number, "+27821234567");
  EXPECT_EQ(d1.originator.type, 0x91);
  EXPECT_FALSE(d1.originator.alphanumeric);
  ASSERT_TRUE(d1.serviceCentreTime);
  EXPECT_EQ(d1.serviceCentreTime->utc, utcOf(2013, 3, 8, 15, 2, 16, 120));
  EXPECT_EQ(d1.serviceCentreTime->zoneMinutes, 120);
  EXPECT_EQ(d1.userData.text, "Test2");
  EXPECT_FALSE(d1.userData.concat);

  const Deliver d3 = deliver("06917228195339040B917228214365F70000313062315352800A800D8A5E98D337A910");
  EXPECT_EQ(d3.userData.text, "@{tést}!");

  const Deliver d4 = deliver(
      "07912104442961F4040B916171957291F800001120821105050A6AC8B2BC7C9A83C220F6DB7D2ECB41EDF27C1E3E97411B"
      "DE06754FD3D1A0F9BB5D0695F1F4B29B5C2683C6E8B03C3CA697E5F34D6AE303D1D1F2F7DD0D4ABB59A0797D8C0685E7A0"
      "0028EC26832A960B28EC2683BE6050780EBA97D96C17");
  EXPECT_EQ(d4.serviceCentreTime->zoneMinutes, -300);
  EXPECT_EQ(d4.serviceCentreTime->utc, utcOf(2011, 2, 28, 11, 50, 50, -300));
  EXPECT_EQ(d4.userData.text,
            "Here's a longer message [{with some extended characters}] thrown in, such as £ and ΩΠΨ "
            "and §¿ as well.");

  const Deliver d5 = deliver("07919730071111F10414D04937BD2C7797E9D3E614000811309291024061080442043504410442");
  EXPECT_TRUE(d5.originator.alphanumeric);
  EXPECT_EQ(d5.originator.number, "InternetSMS");
  EXPECT_EQ(d5.coding.alphabet, Alphabet::kUcs2);
  EXPECT_EQ(d5.userData.text, "тест");
  EXPECT_EQ(d5.serviceCentreTime->zoneMinutes, 240);

  const Deliver d10 = deliver(
      "0791214365870921240BD067F77B9D4E0300009011800000004094C3B7DB9C3ED7E565D0D9FD5EA7D320B83CFD9683E86F"
      "507D9E769F4169BA0B947DD741E3B01B742ED341F377BB0C1AB3EBE539C82C7FB741E377BB5D76D3E7A0B47BCCAE93CB64"
      "50DA0D9A87DB707619347EBBCDE933C89C6697416F39882ECF83EE693A1A7476BFD7E9746BFC769BD3E7BABC0C32CBDF6D"
      "509D9E66CF41E4B4DC05");
  EXPECT_EQ(d10.originator.number, "gnokii");
  EXPECT_EQ(d10.serviceCentre.number, "+123456789012");
  EXPECT_TRUE(d10.statusReportIndication);
  EXPECT_EQ(d10.serviceCentreTime->utc, utcOf(2009, 11, 8, 0, 0, 0, 60));
  EXPECT_EQ(d10.userData.text.substr(0, 36), "Configure gnokii prior to using it. ");

  const Deliver d12 = deliver("0791214365870921240B919999999999F9000090907000920480029B32");
  EXPECT_EQ(d12.userData.text, "€");
}

TEST(DecodeTpdu, ClassNumberTypesAndConcatenationOfReceivedMessages) {
  const Deliver d6 = deliver(
      "07913306091093F0040485810000F111604231805180A049B7F90D9A1AA5A01668F8769BD3E4B29B9E2EB359A03FC85D06"
      "A9C3ED707A0EA2CBC3EE79BB4CA7CBCBA05643617DA7C76990FD4D979741EE77DD5E0ED741ED371D442E83E0E1F9BC0CD2"
      "81E677D9B84C06C1DF7539E85C9097E520FB9B2E2F83C6EF369C5E064D8D52D0BC2E07DDEF77D7DC2C7799E5A0771D040F"
      "CB41F402BB0047BFDD6550B80ECAD966");
  EXPECT_EQ(d6.originator.number, "1800");  // type 85: no "+"
  EXPECT_EQ(d6.coding.messageClass, 1);
  EXPECT_NE(d6.userData.text.find("transmettre -\r\nVoici"), std::string::npos);

  const Deliver d7 = deliver(
      "07911356131313F64004850120390011609232239180A006080400100201D7327BFD6EB340E2321BF46E83EA7790F59D1E"
      "97DBE1341B442F83C465763D3DA797E56537C81D0ECB41AB59CC1693C16031D96C064241E5656838AF03A96230982A269B"
      "CD462917C8FA4E8FCBED709A0D7ABBE9F6B0FB5C7683D27350984D4FABC9A0B33C4C4FCF5D20EBFB2D079DCB62793DBD06"
      "D9C36E50FB2D4E97D9A0B49B5E96BBCB");
  ASSERT_TRUE(d7.userData.concat);
  EXPECT_EQ(d7.userData.concat->reference, 0x0010);
  EXPECT_TRUE(d7.userData.concat->reference16);
  EXPECT_EQ(d7.userData.concat->total, 2);
  EXPECT_EQ(d7.userData.concat->sequence, 1);
  EXPECT_EQ(d7.protocolId, 0x39);
  EXPECT_EQ(d7.userData.text.substr(0, 7), "Welkom,");  // no fill bits after a 7-octet header

  const Deliver d9 = deliver(
      "07919762020033F1400DD0CDF2396C7EBB010008415072411084618C0500035602010053004D005300200063006F006400"
      "65003A00200034003800350036002C00200063006F006E006600690072006D006100740069006F006E0020006F00660020"
      "006100730073006F00630069006100740069006F006E0020006200650074007700650065006E0020006100630063006F00"
      "75006E007400200061006E00640020004D00650067");
  EXPECT_EQ(d9.originator.number, "Megafon");
  ASSERT_TRUE(d9.userData.concat);
  EXPECT_EQ(d9.userData.concat->reference, 0x56);
  EXPECT_FALSE(d9.userData.concat->reference16);
  EXPECT_EQ(d9.userData.text, "SMS code: 4856, confirmation of association between account and Meg");

  const Deliver d13 = deliver(
      "0591721891F1400781721881F800003160526104848059050003C30101916536FB1DCABEEB2074D85E064941B19CAB0603"
      "19A5C522289C96D3D3ED32286C0FA7D96131BBEC024941B19CAB0603DDD36C36A88C87A7E565D0DB0D82C55EB0DB4B068B"
      "CD5C20");
  EXPECT_EQ(d13.serviceCentre.number, "+2781191");
  EXPECT_EQ(d13.originator.number, "2781188");
  EXPECT_EQ(d13.userData.concat->total, 1);
  EXPECT_EQ(d13.userData.text,
            "Hello!You have R 19.50 FREE airtime available. R 19.50 will expire on 01/07/2013. ");
}

TEST(DecodeTpdu, DeliveryReportsFromPublicVectors) {
  const StatusReport s1 = report("0006D60B911326880736F4111011719551401110117195714000");
  EXPECT_EQ(s1.serviceCentre.number, "");
  EXPECT_EQ(s1.messageReference, 214);
  EXPECT_EQ(s1.recipient.number, "+31628870634");
  EXPECT_EQ(s1.serviceCentreTime->utc, utcOf(2011, 1, 11, 17, 59, 15, 60));
  EXPECT_EQ(s1.dischargeTime->utc, utcOf(2011, 1, 11, 17, 59, 17, 60));
  EXPECT_EQ(s1.status, 0x00);
  EXPECT_EQ(s1.outcome, DeliveryOutcome::kDelivered);

  const StatusReport s2 = report("07914356060013F1065A098136397339F7219011700463802190117004638030");
  EXPECT_EQ(s2.serviceCentre.number, "+34656000311");
  EXPECT_EQ(s2.messageReference, 90);
  EXPECT_EQ(s2.recipient.number, "639337937");
  EXPECT_EQ(s2.dischargeTime->utc, utcOf(2012, 9, 11, 7, 40, 36, 120));
  EXPECT_EQ(s2.status, 0x30);
  EXPECT_EQ(s2.outcome, DeliveryOutcome::kStillTrying);

  // Junk after TP-ST is ignored.
  const StatusReport s3 = report("07914366999999F906CD098186666666F89080709002818090807002336080009FD6E494");
  EXPECT_EQ(s3.messageReference, 205);
  EXPECT_EQ(s3.recipient.number, "686666668");
  EXPECT_EQ(s3.serviceCentreTime->utc, utcOf(2009, 8, 7, 9, 20, 18, 120));
  EXPECT_EQ(s3.dischargeTime->utc, utcOf(2009, 8, 7, 20, 33, 6, 120));
  EXPECT_EQ(s3.outcome, DeliveryOutcome::kDelivered);
}

TEST(DecodeTpdu, StoredOutgoingMessages) {
  const Submit e9 = submit("002100098136397339F70008224F60597D4F60597D4F60597D4F60597D4F60597D4F60597D4F60597D4F60597D4F60");
  EXPECT_TRUE(e9.statusReportRequest);
  EXPECT_EQ(e9.recipient.number, "639337937");
  EXPECT_TRUE(e9.validityPeriod.empty());
  EXPECT_EQ(e9.userData.text, "你好你好你好你好你好你好你好你好你");

  const Submit e8 = submit("005100098121436587F90000FF0F050003CE02025CE6349B5D96CB01");
  EXPECT_EQ(e8.validityPeriod, std::vector<std::uint8_t>{0xFF});
  ASSERT_TRUE(e8.userData.concat);
  EXPECT_EQ(e8.userData.concat->reference, 0xCE);
  EXPECT_EQ(e8.userData.concat->sequence, 2);
  EXPECT_EQ(e8.userData.text, ".fillerr");

  // Enhanced and absolute validity periods take seven octets.
  const Submit absolute = submit("0019000B915155551532F4000011216081520180" "02C834");
  EXPECT_EQ(absolute.validityPeriod.size(), 7u);
  EXPECT_EQ(absolute.userData.text, "Hi");
}

TEST(DecodeTpdu, StatusMeaningsAndOutcomes) {
  const struct {
    std::uint8_t status;
    DeliveryOutcome outcome;
    const char* meaning;
  } cases[] = {
      {0x00, DeliveryOutcome::kDelivered, "short message received by the SME"},
      {0x02, DeliveryOutcome::kDelivered, "short message replaced by the SC"},
      {0x05, DeliveryOutcome::kDelivered, "delivered (reserved value)"},
      {0x1A, DeliveryOutcome::kDelivered, "delivered (SC specific value)"},
      {0x21, DeliveryOutcome::kStillTrying, "SME busy"},
      {0x30, DeliveryOutcome::kStillTrying, "still trying to transfer the SM (SC specific value)"},
      {0x41, DeliveryOutcome::kFailed, "incompatible destination"},
      {0x46, DeliveryOutcome::kFailed, "SM validity period expired"},
      {0x4A, DeliveryOutcome::kFailed, "permanent error, the SC is not making any more transfer attempts (reserved"},
      {0x62, DeliveryOutcome::kGaveUp, "no response from SME"},
      {0x7F, DeliveryOutcome::kGaveUp, "temporary error, the SC is not making any more transfer attempts (SC"},
      {0x80, DeliveryOutcome::kFailed, "reserved"},
      {0xFF, DeliveryOutcome::kFailed, "reserved"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcomeOf(c.status), c.outcome) << int{c.status};
    EXPECT_NE(statusMeaning(c.status).find(c.meaning), std::string::npos) << statusMeaning(c.status);
  }
  // Through a whole report: S1 with TP-ST 46.
  EXPECT_EQ(report("0006D60B911326880736F4111011719551401110117195714046").outcome, DeliveryOutcome::kFailed);
}

TEST(DecodeTpdu, DataCodingGroups) {
  const struct {
    std::uint8_t dcs;
    Alphabet alphabet;
    std::optional<int> messageClass;
    bool autoDelete, compressed;
  } cases[] = {
      {0x00, Alphabet::kGsm7, {}, false, false}, {0x04, Alphabet::k8bit, {}, false, false},
      {0x08, Alphabet::kUcs2, {}, false, false}, {0x0C, Alphabet::kGsm7, {}, false, false},
      {0x10, Alphabet::kGsm7, 0, false, false},  {0x19, Alphabet::kUcs2, 1, false, false},
      {0x16, Alphabet::k8bit, 2, false, false},  {0x20, Alphabet::kGsm7, {}, false, true},
      {0x40, Alphabet::kGsm7, {}, true, false},  {0x48, Alphabet::kUcs2, {}, true, false},
      {0x44, Alphabet::k8bit, {}, true, false},  {0x53, Alphabet::kGsm7, 3, true, false},
      {0x68, Alphabet::kUcs2, {}, true, true},   {0x80, Alphabet::kGsm7, {}, false, false},
      {0xC8, Alphabet::kGsm7, {}, false, false}, {0xD0, Alphabet::kGsm7, {}, false, false},
      {0xE3, Alphabet::kUcs2, {}, false, false}, {0xF0, Alphabet::kGsm7, 0, false, false},
      {0xF5, Alphabet::k8bit, 1, false, false},  {0xFB, Alphabet::kGsm7, 3, false, false},
  };
  for (const auto& c : cases) {
    const DataCoding d = dataCodingOf(c.dcs);
    EXPECT_EQ(d.raw, c.dcs);
    EXPECT_EQ(d.alphabet, c.alphabet) << int{c.dcs};
    EXPECT_EQ(d.messageClass, c.messageClass) << int{c.dcs};
    EXPECT_EQ(d.autoDelete, c.autoDelete) << int{c.dcs};
    EXPECT_EQ(d.compressed, c.compressed) << int{c.dcs};
  }
  // 01xx messages decode like 00xx: "abc" in 7-bit and in UCS2.
  EXPECT_EQ(deliver(deliverPdu("04", "40", "0361F118")).userData.text, "abc");
  EXPECT_EQ(deliver(deliverPdu("04", "48", "06006100620063")).userData.text, "abc");
  EXPECT_TRUE(deliver(deliverPdu("04", "48", "06006100620063")).coding.autoDelete);
}

TEST(DecodeTpdu, HeadersAndDataThatIsNotText) {
  // Application ports (IEI 05) before UCS2 text: kept as an element.
  const Deliver ports = deliver(deliverPdu("44", "08", "0B0605040B8423F000680069"));
  EXPECT_FALSE(ports.userData.concat);
  ASSERT_EQ(ports.userData.otherElements.size(), 1u);
  EXPECT_EQ(ports.userData.otherElements[0].id, 0x05);
  EXPECT_EQ(ports.userData.otherElements[0].data, (std::vector<std::uint8_t>{0x0B, 0x84, 0x23, 0xF0}));
  EXPECT_EQ(ports.userData.text, "hi");

  // 8-bit data after a concatenation header: octets, no text.
  const Deliver data = deliver(deliverPdu("44", "04", "090500030A0302CAFE99"));
  EXPECT_FALSE(data.userData.decoded);
  EXPECT_EQ(data.userData.text, "");
  EXPECT_EQ(data.userData.octets, (std::vector<std::uint8_t>{0xCA, 0xFE, 0x99}));
  EXPECT_EQ(data.userData.concat->reference, 10);
  EXPECT_EQ(data.userData.concat->total, 3);
  EXPECT_EQ(data.userData.concat->sequence, 2);

  // An impossible part number is no concatenation; the element is kept.
  const Deliver zero = deliver(deliverPdu("44", "04", "070500030A0300AA"));
  EXPECT_FALSE(zero.userData.concat);
  EXPECT_EQ(zero.userData.otherElements.size(), 1u);
  const Deliver beyond = deliver(deliverPdu("44", "04", "070500030A0304AA"));
  EXPECT_FALSE(beyond.userData.concat);

  // Without TP-UDHI the same octets are data, not a header.
  EXPECT_EQ(deliver(deliverPdu("04", "04", "070500030A0302AA")).userData.octets.size(), 7u);
}

TEST(DecodeTpdu, ToleratesCaseBlanksAndBadTimes) {
  const std::string d1 = "06917228195339040B917228214365F700003130805120618005D4F29C2E03";
  std::string lower = d1;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(deliver(lower).userData.text, "Test2");
  EXPECT_EQ(deliver(" \r\n" + d1 + "\r\n").userData.text, "Test2");
  EXPECT_EQ(deliver(d1 + "7").userData.text, "Test2");  // a stray half octet at the end

  // Month 13: the time is unknown, the message is still read.
  std::string badMonth = d1;
  badMonth.replace(badMonth.find("31308051206180"), 14, "31318051206180");
  const Deliver d = deliver(badMonth);
  EXPECT_FALSE(d.serviceCentreTime);
  EXPECT_EQ(d.userData.text, "Test2");
  // A bare TPDU, without service-centre field.
  EXPECT_EQ(std::get<Deliver>(decodeTpdu(d1.substr(14), false)).originator.number, "+27821234567");
}

TEST(DecodeTpdu, RefusesWhatIsNotAWholePdu) {
  const std::string d1 = "06917228195339040B917228214365F700003130805120618005D4F29C2E03";
  for (std::size_t n = 0; n < d1.size() - 1; ++n)
    EXPECT_THROW(decodeTpdu(d1.substr(0, n)), PduError) << n;
  expectPduError([] { decodeTpdu(""); }, "service-centre address");
  expectPduError([&] { decodeTpdu(d1.substr(0, 20)); }, "originator address");
  expectPduError([&] { decodeTpdu(d1.substr(0, d1.size() - 2)); }, "user data");
  expectPduError([&] { decodeTpdu(d1.substr(0, 30) + "G" + d1.substr(31)); }, "character 31");
  expectPduError([] { decodeTpdu("0003"); }, "message type 3");
  expectPduError([] { decodeTpdu(deliverPdu("44", "04", "090900030A0302CAFE99")); }, "user-data header");
  expectPduError([] { decodeTpdu(deliverPdu("44", "00", "020900")); }, "user-data header");
}

TEST(DecodeTpdu, HostileInputEitherDecodesOrIsRefused) {
  std::mt19937 rng(4711);
  const std::string hex = "0123456789ABCDEF";
  const std::string seeds[] = {
      "07919762020033F1400DD0CDF2396C7EBB010008415072411084618C0500035602010053004D0053",
      "07914366999999F906CD098186666666F89080709002818090807002336080009FD6E494",
      "005100098121436587F90000FF0F050003CE02025CE6349B5D96CB01",
  };
  auto check = [](const std::string& pdu) {
    try {
      const Tpdu t = decodeTpdu(pdu);
      if (const auto* d = std::get_if<Deliver>(&t)) {
        EXPECT_EQ(text::utf16ToUtf8(text::utf8ToUtf16(d->userData.text)), d->userData.text) << pdu;
        EXPECT_EQ(text::utf16ToUtf8(text::utf8ToUtf16(d->originator.number)), d->originator.number);
      }
    } catch (const PduError&) {
    }
  };
  for (int i = 0; i < 4000; ++i) {
    std::string pdu = seeds[i % 3];
    for (int k = 0; k < 4; ++k) pdu[rng() % pdu.size()] = hex[rng() % 16];  // mutate a few digits
    if (i % 5 == 0) pdu.resize(rng() % pdu.size());
    check(pdu);
  }
}

}  // namespace
}  // namespace reviri::sms
