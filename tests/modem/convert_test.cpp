// The small parsers and formatters of the typed API: listing headers,
// indications, time stamps, error descriptions and number matching.
#include "modem/convert.h"

#include <gtest/gtest.h>

namespace reviri::modem {
namespace {

TEST(ConvertTest, TimesKeepTheirZoneAcrossDayBoundaries) {
  using namespace std::chrono;
  ZonedTime t;
  t.when = sys_days{2026y / December / 31} + 23h + 30min + 5s;
  t.zoneMinutes = 90;
  EXPECT_EQ(t.iso8601(), "2027-01-01T01:00:05+01:30");
  t.zoneMinutes = -300;
  EXPECT_EQ(t.iso8601(), "2026-12-31T18:30:05-05:00");
  t.when = sys_days{2024y / March / 1} + 30min;
  t.zoneMinutes = -60;
  EXPECT_EQ(t.iso8601(), "2024-02-29T23:30:00-01:00");  // leap day
}

TEST(ConvertTest, ListingHeadersWithTheFormsModemsUse) {
  auto h = parseListingHeader("+CMGL: 12,1,,25");
  ASSERT_TRUE(h);
  EXPECT_EQ(h->index, 12);
  EXPECT_EQ(h->status, 1);
  h = parseListingHeader("+CMGL:3, 0,\"\",25");
  ASSERT_TRUE(h);
  EXPECT_EQ(h->index, 3);
  EXPECT_EQ(h->status, 0);
  h = parseListingHeader("+CMGR: 2,,40");
  ASSERT_TRUE(h);
  EXPECT_EQ(h->index, -1);
  EXPECT_EQ(h->status, 2);
  EXPECT_FALSE(parseListingHeader("+CMGL: x,1,,25"));
  EXPECT_FALSE(parseListingHeader("0791947101000004"));
}

TEST(ConvertTest, IndicationsNameStorageAndIndex) {
  auto at = parseStorageIndex("+CMTI: \"SM\",5");
  ASSERT_TRUE(at);
  EXPECT_EQ(at->storage, "SM");
  EXPECT_EQ(at->index, 5);
  at = parseStorageIndex("+CDSI: ME, 17");
  ASSERT_TRUE(at);
  EXPECT_EQ(at->storage, "ME");
  EXPECT_EQ(at->index, 17);
  EXPECT_FALSE(parseStorageIndex("+CMTI: \"SM\""));
  EXPECT_FALSE(parseStorageIndex("+CMTI: \"SM\",1x"));
}

TEST(ConvertTest, SendReferenceComesFromTheCmgsLine) {
  EXPECT_EQ(sendReference({"+CMGS: 201"})->value, 201);
  EXPECT_EQ(sendReference({"+CMGS: 0"})->value, 0);
  EXPECT_EQ(sendReference({"^RSSI: 3", "+CMGS:7,\"26032115\""})->value, 7);
  EXPECT_FALSE(sendReference({}));
  EXPECT_FALSE(sendReference({"^RSSI: 3"}));
}

TEST(ConvertTest, ASendReferenceBeyondOneOctetIsNeverCut) {
  for (const char* impossible : {"256", "12345678901234567890", "-1", "7x", ""}) {
    SCOPED_TRACE(impossible);
    const auto r = sendReference({std::string("+CMGS: ") + impossible});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->value, -1);
    EXPECT_EQ(r->text, impossible);
  }
}

TEST(ConvertTest, NumbersMatchInInternationalAndNationalForm) {
  EXPECT_TRUE(sameNumber("+4917012345678", "4917012345678"));
  EXPECT_TRUE(sameNumber("+4917012345678", "017012345678"));
  EXPECT_FALSE(sameNumber("+4917012345678", "+4917012345679"));
  EXPECT_FALSE(sameNumber("+4917012345678", "5678"));  // too short to tell
  EXPECT_TRUE(sameNumber("Reviri", "Reviri"));
}

TEST(ConvertTest, ErrorsDescribeNumberMeaningAndCommand) {
  Error e;
  e.kind = Error::Kind::kModem;
  e.code = 331;
  e.meaning = "no network service";
  e.command = "AT+CMGS=20";
  EXPECT_EQ(e.describe(), "no network service (error 331) after AT+CMGS=20");
  Error t;
  t.kind = Error::Kind::kTimeout;
  EXPECT_EQ(t.describe(), "timeout");
  EXPECT_FALSE(Error{});
  EXPECT_TRUE(t);
}

TEST(ConvertTest, StorageNamesBothWays) {
  for (Storage s : {Storage::kSim, Storage::kPhone, Storage::kBoth}) EXPECT_EQ(parseStorage(storageName(s)), s);
  EXPECT_EQ(parseStorage("me"), Storage::kPhone);
  EXPECT_FALSE(parseStorage("SR"));
}

TEST(ConvertTest, OutgoingMessagesBecomeSubmitRequests) {
  OutgoingMessage m;
  m.to = "+491701";
  m.text = "x";
  m.coding = MessageCoding::kUcs2;
  m.statusReport = true;
  m.validity = std::chrono::minutes(60);
  const sms::SubmitRequest r = toSubmitRequest(m, 9);
  EXPECT_EQ(r.coding, MessageCoding::kUcs2);
  EXPECT_TRUE(r.statusReport);
  EXPECT_EQ(r.concatReference, 9);
  EXPECT_EQ(r.validity, std::chrono::minutes(60));
  m.coding = MessageCoding::k8bit;
  EXPECT_THROW(toSubmitRequest(m, 0), std::invalid_argument);
}

}  // namespace
}  // namespace reviri::modem
