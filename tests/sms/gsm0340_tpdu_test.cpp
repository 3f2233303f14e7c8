// Typed PDU decoder: public vectors of received messages, stored outgoing
// messages and delivery reports; coding groups; user-data headers; refused
// and hostile input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/text.h"
#include "sms/gsm0340_tpdu.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

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

TEST(DecodeTpdu, EveryPublicVectorGivesTheFieldsItsSuiteExpects) {
  for (const auto& v : vectors::kReceived) {
    const Deliver d = deliver(v.pdu);
    EXPECT_EQ(d.serviceCentre.number, v.serviceCentre) << v.name;
    EXPECT_EQ(d.originator.number, v.sender) << v.name;
    EXPECT_EQ(d.userData.text, v.text) << v.name;
    ASSERT_TRUE(d.serviceCentreTime) << v.name;
    EXPECT_EQ(d.serviceCentreTime->zoneMinutes, v.zoneMinutes) << v.name;
  }
  for (const auto& v : vectors::kReports) {
    const StatusReport r = report(v.pdu);
    EXPECT_EQ(r.recipient.number, v.recipient) << v.name;
    EXPECT_EQ(r.messageReference, v.reference) << v.name;
    EXPECT_EQ(r.status, v.status) << v.name;
  }
  for (const auto& v : vectors::kSubmitted) {
    const Submit s = submit(v.pdu);
    EXPECT_EQ(s.recipient.number, v.to) << v.name;
    EXPECT_EQ(s.userData.text, v.text) << v.name;
    EXPECT_EQ(s.validityPeriod.size(), v.validityMinutes > 0 ? 1u : 0u) << v.name;
    EXPECT_EQ(s.coding.messageClass == 0, v.flash) << v.name;
    EXPECT_EQ(s.statusReportRequest, v.statusReport) << v.name;
  }
}

TEST(DecodeTpdu, PublicVectorsTimesTypesClassesAndConcatenation) {
  const Deliver d1 = deliver(vectors::received("D1").pdu);
  EXPECT_EQ(d1.originator.type, 0x91);
  EXPECT_FALSE(d1.originator.alphanumeric);
  EXPECT_EQ(d1.serviceCentreTime->utc, utcOf(2013, 3, 8, 15, 2, 16, 120));
  EXPECT_FALSE(d1.userData.concat);
  EXPECT_EQ(deliver(vectors::received("D4").pdu).serviceCentreTime->utc, utcOf(2011, 2, 28, 11, 50, 50, -300));
  const Deliver d5 = deliver(vectors::received("D5").pdu);
  EXPECT_TRUE(d5.originator.alphanumeric);
  EXPECT_EQ(d5.coding.alphabet, MessageCoding::kUcs2);
  const Deliver d10 = deliver(vectors::received("D10").pdu);
  EXPECT_TRUE(d10.statusReportIndication);
  EXPECT_EQ(d10.serviceCentreTime->utc, utcOf(2009, 11, 8, 0, 0, 0, 60));
  EXPECT_EQ(deliver(vectors::received("D6").pdu).coding.messageClass, 1);

  const Deliver d7 = deliver(vectors::received("D7").pdu);  // no fill bits after a 7-octet header
  ASSERT_TRUE(d7.userData.concat);
  EXPECT_EQ(d7.userData.concat->reference, 0x0010);
  EXPECT_TRUE(d7.userData.concat->reference16);
  EXPECT_EQ(d7.userData.concat->total, 2);
  EXPECT_EQ(d7.userData.concat->sequence, 1);
  EXPECT_EQ(d7.protocolId, 0x39);
  const Deliver d9 = deliver(vectors::received("D9").pdu);
  ASSERT_TRUE(d9.userData.concat);
  EXPECT_EQ(d9.userData.concat->reference, 0x56);
  EXPECT_FALSE(d9.userData.concat->reference16);
  EXPECT_EQ(deliver(vectors::received("D13").pdu).userData.concat->total, 1);

  const StatusReport s1 = report(vectors::report("S1").pdu);
  EXPECT_EQ(s1.serviceCentre.number, "");
  EXPECT_EQ(s1.serviceCentreTime->utc, utcOf(2011, 1, 11, 17, 59, 15, 60));
  EXPECT_EQ(s1.dischargeTime->utc, utcOf(2011, 1, 11, 17, 59, 17, 60));
  EXPECT_EQ(s1.outcome, DeliveryOutcome::kDelivered);
  const StatusReport s2 = report(vectors::report("S2").pdu);
  EXPECT_EQ(s2.dischargeTime->utc, utcOf(2012, 9, 11, 7, 40, 36, 120));
  EXPECT_EQ(s2.outcome, DeliveryOutcome::kStillTrying);
  const StatusReport s3 = report(vectors::report("S3").pdu);  // junk after TP-ST is ignored
  EXPECT_EQ(s3.dischargeTime->utc, utcOf(2009, 8, 7, 20, 33, 6, 120));

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
    MessageCoding alphabet;
    std::optional<int> messageClass;
    bool autoDelete, compressed;
  } cases[] = {
      {0x00, MessageCoding::kGsm7, {}, false, false}, {0x04, MessageCoding::k8bit, {}, false, false},
      {0x08, MessageCoding::kUcs2, {}, false, false}, {0x0C, MessageCoding::kGsm7, {}, false, false},
      {0x10, MessageCoding::kGsm7, 0, false, false},  {0x19, MessageCoding::kUcs2, 1, false, false},
      {0x16, MessageCoding::k8bit, 2, false, false},  {0x20, MessageCoding::kGsm7, {}, false, true},
      {0x40, MessageCoding::kGsm7, {}, true, false},  {0x48, MessageCoding::kUcs2, {}, true, false},
      {0x44, MessageCoding::k8bit, {}, true, false},  {0x53, MessageCoding::kGsm7, 3, true, false},
      {0x68, MessageCoding::kUcs2, {}, true, true},   {0x80, MessageCoding::kGsm7, {}, false, false},
      {0xC8, MessageCoding::kGsm7, {}, false, false}, {0xD0, MessageCoding::kGsm7, {}, false, false},
      {0xE3, MessageCoding::kUcs2, {}, false, false}, {0xF0, MessageCoding::kGsm7, 0, false, false},
      {0xF5, MessageCoding::k8bit, 1, false, false},  {0xFB, MessageCoding::kGsm7, 3, false, false},
  };
  for (const auto& c : cases) {
    const DataCoding d = dataCodingOf(c.dcs);
    EXPECT_EQ(d.raw, c.dcs);
    EXPECT_EQ(d.alphabet, c.alphabet) << int{c.dcs};
    EXPECT_EQ(d.messageClass, c.messageClass) << int{c.dcs};
    EXPECT_EQ(d.autoDelete, c.autoDelete) << int{c.dcs};
    EXPECT_EQ(d.compressed, c.compressed) << int{c.dcs};
    if (!d.reserved) {
      EXPECT_EQ(dataCodingOf(c.dcs, DcsReading::kStrict).alphabet, c.alphabet) << int{c.dcs};
    }
  }
  // Reserved values (alphabet bits 11, groups 80-BF) read as 7-bit text
  // leniently and stay octets strictly; nothing else differs.
  for (const std::uint8_t dcs : {0x0C, 0x1F, 0x4C, 0x80, 0xAB, 0xBF}) {
    EXPECT_TRUE(dataCodingOf(dcs).reserved) << int{dcs};
    EXPECT_EQ(dataCodingOf(dcs).alphabet, MessageCoding::kGsm7) << int{dcs};
    EXPECT_EQ(dataCodingOf(dcs, DcsReading::kStrict).alphabet, MessageCoding::k8bit) << int{dcs};
  }
  for (const std::uint8_t dcs : {0x00, 0x04, 0x08, 0x28, 0xC0, 0xE0, 0xF4}) EXPECT_FALSE(dataCodingOf(dcs).reserved);
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
  const std::string d1 = vectors::received("D1").pdu;
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
  const std::string d1 = vectors::received("D1").pdu;
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
      vectors::report("S3").pdu,
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
