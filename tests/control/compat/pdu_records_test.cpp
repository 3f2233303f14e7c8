// PDU decoders: worked examples, public vectors from other SMS stacks, every
// coding group, user-data headers, alphanumeric senders, hostile input and
// round trips through the encoder.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/text.h"
#include "control/compat/pdu_compat.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri::sms {
namespace {

bool validUtf8(const std::string& s) { return text::utf16ToUtf8(text::utf8ToUtf16(s)) == s; }

deliverrecord deliver(const std::string& pdu, bool expectOk = true) {
  deliverrecord r;
  EXPECT_EQ(decodeDeliver(pdu, r), expectOk) << pdu;
  return r;
}

submitrecord submit(const std::string& pdu, bool expectOk = true) {
  submitrecord r;
  EXPECT_EQ(decodeSubmit(pdu, r), expectOk) << pdu;
  return r;
}

// An SMS-DELIVER without service centre: sender +27821234567, PID 00.
std::string deliverPdu(const std::string& dcs, const std::string& udlAndUd,
                       const std::string& fo = "04") {
  return "00" + fo + "0B917228214365F7" + "00" + dcs + "31308051206180" + udlAndUd;
}

// The record holds numbers without their "+".
std::string digitsOf(const char* number) { return number[0] == '+' ? number + 1 : number; }

TEST(DecodeRecords, EveryPublicVectorGivesTheFieldsItsSuiteExpects) {
  for (const auto& v : vectors::kReceived) {
    const deliverrecord r = deliver(v.pdu);
    EXPECT_EQ(r.oanum, digitsOf(v.sender)) << v.name;
    EXPECT_EQ(r.ud, v.text) << v.name;
  }
  for (const auto& v : vectors::kSubmitted) {
    const submitrecord r = submit(v.pdu);
    EXPECT_EQ(r.danum, digitsOf(v.to)) << v.name;
    EXPECT_EQ(r.ud, v.text) << v.name;
  }
  EXPECT_EQ(deliver(vectors::received("D4").pdu).scts, "1120821105050A");
}

TEST(DecodeDeliver, FillsEveryHeaderField) {
  const deliverrecord r = deliver(
      vectors::received("D2").pdu);
  EXPECT_EQ(r.scalen, "07");
  EXPECT_EQ(r.scatype, "91");
  EXPECT_EQ(r.scanum, "5892000000F0");
  EXPECT_EQ(r.fo, "04");
  EXPECT_EQ(r.oalen, "0B");
  EXPECT_EQ(r.oatype, "91");
  EXPECT_EQ(r.pid, "00");
  EXPECT_EQ(r.dcs, "00");
  EXPECT_EQ(r.udl, "31");
  EXPECT_EQ(decodeTimestamp(r.scts), "07041223254223");
}

TEST(DecodeDeliver, SkipsAnEmptyServiceCentreField) {
  const std::string tpdu = "040B917228214365F700003130805120618005D4F29C2E03";
  const deliverrecord r = deliver("00" + tpdu);
  EXPECT_EQ(r.scalen, "");
  EXPECT_EQ(r.scanum, "");
  EXPECT_EQ(r.fo, "04");
  EXPECT_EQ(r.oanum, "27821234567");
  EXPECT_EQ(r.ud, "Test2");
  // Empty service centre and a first octet with the reply-path bit set.
  const deliverrecord reply = deliver("00840B917228214365F700003130805120618005D4F29C2E03");
  EXPECT_EQ(reply.scalen, "");
  EXPECT_EQ(reply.fo, "84");
  EXPECT_EQ(reply.ud, "Test2");
  // Without any service-centre field the whole string is the TPDU.
  const deliverrecord bare = deliver(tpdu);
  EXPECT_EQ(bare.fo, "04");
  EXPECT_EQ(bare.ud, "Test2");
  // A second octet of 80 is not a type of address.
  EXPECT_EQ(deliver("0480", true).fo, "04");
}

TEST(DecodeDeliver, RefusesStatusReportsAndSubmitsByTheirMessageType) {
  const char* notDelivers[] = {
      vectors::report("S1").pdu,  // status report, no SC
      vectors::report("S2").pdu,  // with SC
      vectors::submitted("E9").pdu,
  };
  for (const char* pdu : notDelivers) {
    deliverrecord r;
    EXPECT_FALSE(decodeDeliver(pdu, r)) << pdu;
    EXPECT_EQ(r.concatRef, "") << pdu;
    EXPECT_EQ(r.ud.find_first_not_of("0123456789ABCDEF"), std::string::npos) << pdu;
  }
  // The same SUBMIT still reads as what it is.
  EXPECT_EQ(submit(notDelivers[2]).ud, "你好你好你好你好你好你好你好你好你");
}

TEST(DecodeDeliver, ReusedRecordsAreOverwrittenWhole) {
  deliverrecord r;
  ASSERT_TRUE(decodeDeliver(
      "07911356131313F64004850120390011609232239180A006080400100201D7327BFD6EB340E2321B", r));
  EXPECT_EQ(r.concatRef, "16");
  // The PDU may even live in the record being filled.
  r.ud = vectors::received("D1").pdu;
  ASSERT_TRUE(decodeDeliver(r.ud, r));
  EXPECT_EQ(r.ud, "Test2");
  EXPECT_EQ(r.scanum, "7228195339");
  EXPECT_EQ(r.udh, "");
  EXPECT_EQ(r.concatRef, "");
}

TEST(DecodeDeliver, EmptyPduGivesEmptyFieldsAndTrue) {
  const deliverrecord r = deliver("");
  for (const std::string* f : {&r.scalen, &r.scatype, &r.scanum, &r.fo, &r.oalen, &r.oatype,
                               &r.oanum, &r.pid, &r.dcs, &r.scts, &r.udl, &r.ud, &r.udh})
    EXPECT_EQ(*f, "");
  submitrecord s;
  EXPECT_TRUE(decodeSubmit("", s));
  EXPECT_EQ(s.ud, "");
}

TEST(DecodeDeliver, ReadsTheDataCodingSchemeByCodingGroup) {
  const std::string gsm = "0361F118";            // "abc" in 7-bit
  const std::string ucs2 = "06006100620063";     // "abc" in UCS2
  const struct {
    const char* dcs;
    const std::string& ud;
    bool decoded;
  } cases[] = {
      {"00", gsm, true},   {"10", gsm, true},    {"11", gsm, true},   {"F0", gsm, true},
      {"F1", gsm, true},   {"F8", gsm, true},    {"FB", gsm, true},   {"C0", gsm, true},
      {"C8", gsm, true},   {"D3", gsm, true},    {"DF", gsm, true},   {"08", ucs2, true},
      {"18", ucs2, true},  {"1A", ucs2, true},   {"E0", ucs2, true},  {"EF", ucs2, true},
      {"04", gsm, false},  {"14", gsm, false},   {"0C", gsm, false},  {"F4", gsm, false},
      {"F7", gsm, false},  {"FC", gsm, false},   {"20", gsm, false},  {"28", ucs2, false},
      {"30", gsm, false},  {"80", gsm, false},   {"BF", gsm, false},
      // 01xx: marked for automatic deletion, otherwise coded like 00xx.
      {"40", gsm, true},   {"51", gsm, true},    {"48", ucs2, true},  {"5A", ucs2, true},
      {"44", gsm, false},  {"60", gsm, false},   {"7C", gsm, false},
  };
  for (const auto& c : cases) {
    const deliverrecord r = deliver(deliverPdu(c.dcs, c.ud), c.decoded);
    EXPECT_EQ(r.ud, c.decoded ? std::string("abc") : c.ud.substr(2)) << c.dcs;
    EXPECT_EQ(r.dcs, c.dcs);
  }
  EXPECT_EQ(deliver(deliverPdu("f0", gsm)).ud, "abc");  // lower-case hex
}

TEST(DecodeDeliver, SkipsUserDataHeadersAndKeepsConcatenationInfo) {
  const struct {
    const char* name;
    const char* pdu;
    const char* udh;
    const char* ref;
    const char* total;
    const char* seq;
    const char* sender;
    const char* text;
  } cases[] = {
      {"D7 (16-bit reference, no fill bits)",
       vectors::received("D7").pdu,
       "06080400100201", "16", "2", "1", "1002",
       "Welkom, bel om uw Voicemail te beluisteren naar +31612001233 (PrePay: *100*1233#). "
       "Voicemail ontvangen is altijd gratis. Voor gebruik van mobiel interne"},
      {"D8 part 1",
       vectors::received("D8 part 1").pdu,
       "0500034C0201", "76", "2", "1", "16175046925",
       "This is a very long test designed to exercise multi part capability. It should show up "
       "as one message, not as two, as the underlying encoding represents "},
      {"D8 part 2",
       vectors::received("D8 part 2").pdu,
       "0500034C0202", "76", "2", "2", "16175046925", "that the parts are related to one another. "},
      {"D9 (UCS2, alphanumeric sender)",
       vectors::received("D9").pdu,
       "050003560201", "86", "2", "1", "Megafon",
       "SMS code: 4856, confirmation of association between account and Meg"},
      {"D13", 
       vectors::received("D13").pdu,
       "050003C30101", "195", "1", "1", "2781188",
       "Hello!You have R 19.50 FREE airtime available. R 19.50 will expire on 01/07/2013. "},
  };
  for (const auto& c : cases) {
    const deliverrecord r = deliver(c.pdu);
    EXPECT_EQ(r.udh, c.udh) << c.name;
    EXPECT_EQ(r.concatRef, c.ref) << c.name;
    EXPECT_EQ(r.concatTotal, c.total) << c.name;
    EXPECT_EQ(r.concatSeq, c.seq) << c.name;
    EXPECT_EQ(r.oanum, c.sender) << c.name;
    EXPECT_EQ(r.ud, c.text) << c.name;
  }
  EXPECT_EQ(deliver("0591721891F1400781721881F800003160526104848059050003C30101916536FB").scanum,
            "721891F1");
}

TEST(DecodeDeliver, HeaderWithoutConcatenationAndUndecodableData) {
  // UDH with a single application-port element (IEI 05), UCS2 text "hi".
  const deliverrecord ports = deliver(deliverPdu("08", "0B0605040B8423F000680069", "44"));
  EXPECT_EQ(ports.udh, "0605040B8423F0");
  EXPECT_EQ(ports.concatRef, "");
  EXPECT_EQ(ports.ud, "hi");
  // 8-bit data keeps the whole user data in hex, header included.
  const deliverrecord data = deliver(deliverPdu("04", "090500030A0302CAFE99", "44"), false);
  EXPECT_EQ(data.ud, "0500030A0302CAFE99");
  EXPECT_EQ(data.concatRef, "10");
  EXPECT_EQ(data.concatTotal, "3");
  EXPECT_EQ(data.concatSeq, "2");
  // A header longer than the user data is skipped without reading past it.
  EXPECT_EQ(deliver(deliverPdu("00", "FFFF0003", "44")).ud, "");
}

TEST(DecodeDeliver, AlphanumericAndNumericSenders) {
  // "MyBank": six septets, 42 bits, written as 11 semi-octets.
  const std::string packed = encode7bit("MyBank").substr(2);
  const deliverrecord alpha =
      deliver("000C0BD0" + packed + "00003130805120618005D4F29C2E03");
  EXPECT_EQ(alpha.oalen, "0B");
  EXPECT_EQ(alpha.oanum, "MyBank");
  EXPECT_EQ(alpha.ud, "Test2");
  // Odd digit count: 12 characters, filler dropped. Even: 12, nothing dropped.
  EXPECT_EQ(deliver("00040B917228214365F700003130805120618005D4F29C2E03").oanum, "27821234567");
  EXPECT_EQ(deliver("00040C91722821436587000031308051206180" "05D4F29C2E03").oanum,
            "278212345678");
  EXPECT_EQ(deliver("00040C81722821436587000031308051206180" "05D4F29C2E03").ud, "Test2");
}

TEST(DecodeSubmit, ReadsOurOwnPdusBack) {
  const struct {
    std::string pdu;
    const char* text;
  } cases[] = {
      {buildPdu7bit("+12345", "abc"), "abc"},
      {buildFlashPdu7bit("12345", "hello @ £ € [x] Δ"), "hello @ £ € [x] Δ"},
      {buildPduUcs2("12345", "тест\t中\xF0\x9F\x98\x80"), "тест\t中\xF0\x9F\x98\x80"},
      {buildFlashPduUcs2("12345", "Żółta"), "Żółta"},
      {buildPdu7bit("12345", ""), ""},
  };
  for (const auto& c : cases) {
    const submitrecord r = submit(c.pdu);
    EXPECT_EQ(r.fo, "11");
    EXPECT_EQ(r.mr, "00");
    EXPECT_EQ(r.dalen, "05");
    EXPECT_EQ(r.datype, "91");
    EXPECT_EQ(r.danum, "12345");
    EXPECT_EQ(r.pid, "00");
    EXPECT_EQ(r.vp, "A9");
    EXPECT_EQ(r.ud, c.text) << c.pdu;
  }
}

TEST(DecodeSubmit, ReadsTheValidityPeriodAsTheFirstOctetSays) {
  // E4 without validity period (FO 01).
  const submitrecord none =
      submit(vectors::submitted("E4 without VP").pdu);
  EXPECT_EQ(none.vp, "");
  EXPECT_EQ(none.udl, "19");
  EXPECT_EQ(none.ud, "This is really cool ΔΔΔΔΔ");
  // E3 with service centre, relative period 00.
  const submitrecord relative = submit(
      vectors::submitted("E3 with SMSC").pdu);
  EXPECT_EQ(relative.scanum, "9130079229F0");
  EXPECT_EQ(relative.vp, "00");
  EXPECT_EQ(relative.danum, "15555551234");
  EXPECT_EQ(relative.ud, "Hi there...Tue 17th Jan 2012 05:30.18 pm (GMT+1) ΔΔΔΔΔ");
  // E6: national number, 35 days, UCS2.
  const submitrecord polish = submit(
      vectors::submitted("E6").pdu);
  EXPECT_EQ(polish.danum, "0800123456");
  EXPECT_EQ(polish.vp, "C5");
  EXPECT_EQ(polish.ud, "Żółta żaba żarła żur");
  // Absolute (FO 19) and enhanced (FO 09) periods take seven octets.
  for (const char* fo : {"19", "09"}) {
    const submitrecord r = submit(std::string("00") + fo + "000491214300009921302151000A0361F118");
    EXPECT_EQ(r.vp, "9921302151000A") << fo;
    EXPECT_EQ(r.ud, "abc") << fo;
  }
  // E9: stored by a phone, FO 21 (no period), UCS2.
  const submitrecord stored = submit(
      vectors::submitted("E9").pdu);
  EXPECT_EQ(stored.danum, "639337937");
  EXPECT_EQ(stored.ud, "你好你好你好你好你好你好你好你好你");
}

TEST(DecodeSubmit, SkipsHeadersOfConcatenatedParts) {
  // E8: gnokii's 161-septet text split in two, 8-bit reference CE.
  const submitrecord part1 = submit(
      "005100098121436587F90000FFA0050003CE02010001C18050301C1009C582D1703C2011C98452B15C3019CD"
      "86D3F17C4021D18854329D5029D58AD572BD6031D98C56B3DD7039DD8ED7F3FD8041E19058341E9149E592D9"
      "743EA151E9945AB55EB159ED96DBF57EC161F1985C369FD169F59ADD76BFE171F99C5EB7DFF179FD9EDFF7FF"
      "378A0D6583DAA436AF0D6FD3DBF836C04DD9E572B95C");
  EXPECT_EQ(part1.vp, "FF");
  EXPECT_EQ(part1.concatRef, "206");
  EXPECT_EQ(part1.concatSeq, "1");
  // The lone escape cell before Æ shows Æ alone.
  EXPECT_EQ(part1.ud.substr(0, 40), std::string("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ").substr(0, 40));
  EXPECT_EQ(part1.ud.substr(part1.ud.size() - 9), "|€.....");
  const submitrecord part2 =
      submit("005100098121436587F90000FF0F050003CE02025CE6349B5D96CB01");
  EXPECT_EQ(part2.concatTotal, "2");
  EXPECT_EQ(part2.concatSeq, "2");
  EXPECT_EQ(part2.ud, ".fillerr");
}

TEST(DecodeSubmit, ServiceCentreCases) {
  const std::string ours = buildPdu7bit("12345", "abc");
  EXPECT_EQ(submit(ours).fo, "11");
  // Empty service centre and reply-path first octet (91 = 80 + 11).
  EXPECT_EQ(submit("009100" "0591" "2143F5" "0000A9" "0361F118").ud, "abc");
  // Second octet not above 80 and first octet not zero: one octet skipped.
  EXPECT_EQ(submit("0A11000591").fo, "11");
}

TEST(Decode7bit, SeptetsThroughTheGsmTables) {
  EXPECT_EQ(decode7bit("0AE8329BFD4697D9EC37"), "hellohello");
  EXPECT_EQ(decode7bit("0ae8329bfd4697d9ec37"), "hellohello");
  // Junk inside the data: an octet reads up to the junk ("3G" as 3, "G7" as
  // 0) and every other octet stays in place.
  EXPECT_EQ(decode7bit("0AE8329BFD4697D9E3G7"), decode7bit("0AE8329BFD4697D9E300"));
  EXPECT_EQ(decode7bit("0AE8329BFD4697D93GEC37"), decode7bit("0AE8329BFD4697D903EC37"));
  EXPECT_EQ(decode7bit("00"), "");
  EXPECT_EQ(decode7bit("00E832"), "");
  EXPECT_EQ(decode7bit(""), "");
  EXPECT_EQ(decode7bit("0100"), "@");
  EXPECT_EQ(decode7bit("029B32"), "€");
  EXPECT_EQ(decode7bit("021B1E"), "[");
  EXPECT_EQ(decode7bit("029B17"), "\\");
  // Escape followed by a septet without an extension character: that septet.
  EXPECT_EQ(decode7bit(encode7bit("[").substr(0, 2) + "9B20"), "A");
  // A lone escape at the end reads as a space.
  EXPECT_EQ(decode7bit("011B"), " ");
  // Short data still gives the septet count; missing septets read as '@'.
  EXPECT_EQ(decode7bit("0361"), "a@@");
  EXPECT_EQ(decode7bit("0361F1"), "ab¥");  // two bits of septet 2 present: 03
}

TEST(Decode7bit, NonHexCharactersNextToHexRangesReadAsJunk) {
  const std::string data = encode7bit(std::string(160, 'k')).substr(2);  // 280 digits
  for (const char junk : {'/', ':', '@', 'G', '`', 'g', ' ', '\x7F', '\x80'}) {
    for (const std::size_t pos : {0u, 1u, 7u, 12u, 13u, 14u, 279u}) {
      std::string broken = data;
      broken[pos] = junk;
      // The octet reads up to the junk: "Jx" is 0, "xJ" is the single digit x.
      std::string expected = data;
      const std::size_t octet = pos / 2 * 2;
      expected[octet] = '0';
      expected[octet + 1] = pos % 2 == 0 ? '0' : data[octet];
      if (junk == ' ' && pos % 2 == 0) expected[octet + 1] = data[octet + 1];  // blanks are skipped
      EXPECT_EQ(decode7bit("A0" + broken), decode7bit("A0" + expected)) << int(junk) << " at " << pos;
    }
  }
}

TEST(Decode7bit, RoundTripsEveryTableCharacterAcrossOctetBoundaries) {
  const std::string all =
      "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
      "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà\f^{}\\[~]|€";
  // Shift the text by 0..7 septets so every character meets every bit offset.
  for (int shift = 0; shift < 8; ++shift) {
    const std::string text = std::string(shift, 'x') + all;
    EXPECT_EQ(decode7bit(encode7bit(text)), text) << shift;
  }
  // Escape pairs ending a 160-septet text and sitting on the 8th/9th septets.
  for (const std::string& text : {std::string(158, 'a') + "€", std::string("1234567€"),
                                  std::string("123456{8"), std::string(159, 'z') + "@"}) {
    const std::string field = encode7bit(text);
    EXPECT_EQ(decode7bit(field), text);
    EXPECT_EQ(deliver(deliverPdu("00", field)).ud, text);
  }
}

TEST(DecodeUcs2, CodeUnitsToUtf8) {
  EXPECT_EQ(decodeUcs2("004100420043"), "ABC");
  EXPECT_EQ(decodeUcs2("0020004100200020"), "A");
  EXPECT_EQ(decodeUcs2(""), "");
  EXPECT_EQ(decodeUcs2("00200020"), "");
  EXPECT_EQ(decodeUcs2("4e2d"), "中");
  EXPECT_EQ(decodeUcs2("D83DDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(decodeUcs2("D83D0041"), "\xEF\xBF\xBD" "A");  // unpaired surrogate
  EXPECT_EQ(decodeUcs2("00410"), "A");                    // 1.25 characters: one
  EXPECT_EQ(decodeUcs2("0041004"), "A\x04");               // 1.75: two, the last short
  EXPECT_EQ(decodeUcs2("004G"), "\x04");  // reading stops at G: 004
}

TEST(SwapDigitsAndTimestamp, KeepTheirStatedResults) {
  EXPECT_EQ(swapDigits("214365F7"), "1234567");
  EXPECT_EQ(swapDigits("214365f7"), "1234567");
  EXPECT_EQ(swapDigits("21436587"), "12345678");
  EXPECT_EQ(swapDigits("123"), "213");
  EXPECT_EQ(swapDigits("12345"), "2143");
  EXPECT_EQ(swapDigits(""), "");
  EXPECT_EQ(swapDigits(" 1F2"), "1 2");  // "1 2F", filler dropped
  EXPECT_EQ(decodeTimestamp("99309251619580"), "99032915165980");
  EXPECT_EQ(decodeTimestamp("9930925161958"), "");
  EXPECT_EQ(decodeTimestamp("993092516195800"), "");
}

TEST(Decoders, SurviveTruncatedAndHostileInput) {
  const std::string vectors[] = {
      "07919762020033F1400DD0CDF2396C7EBB010008415072411084618C0500035602010053004D0053",
      "07911356131313F64004850120390011609232239180A006080400100201D7327BFD6EB340E2321BF46E",
      vectors::received("D12").pdu,
      "005100098121436587F90000FF0F050003CE02025CE6349B5D96CB01",
      "0014FFD0FFFFFFFFFFFF",
  };
  auto check = [](const std::string& pdu) {
    deliverrecord d;
    if (decodeDeliver(pdu, d)) {
      EXPECT_TRUE(validUtf8(d.ud)) << pdu;
    }
    EXPECT_TRUE(validUtf8(d.oanum)) << pdu;
    submitrecord s;
    if (decodeSubmit(pdu, s)) {
      EXPECT_TRUE(validUtf8(s.ud)) << pdu;
    }
    EXPECT_TRUE(validUtf8(decode7bit(pdu)));
    EXPECT_TRUE(validUtf8(decodeUcs2(pdu)));
    EXPECT_TRUE(validUtf8(swapDigits(pdu)));
    EXPECT_TRUE(validUtf8(decodeTimestamp(pdu)));
  };
  for (const std::string& v : vectors)
    for (std::size_t n = 0; n <= v.size(); ++n) check(v.substr(0, n));

  std::mt19937 rng(20260);
  const std::string alphabet = "0123456789ABCDEFabcdef G\r\n\t+\xC3\xA9\xFF";
  for (int i = 0; i < 3000; ++i) {
    std::string pdu(rng() % 200, '0');
    for (char& c : pdu) c = alphabet[rng() % alphabet.size()];
    if (i % 3 == 0) pdu.replace(0, std::min<std::size_t>(4, pdu.size()), "00C4");  // UDHI + SC
    check(pdu);
  }
  // Non-hex characters count as described: a field of junk reads as 0.
  const deliverrecord junk = deliver("04XY");
  EXPECT_EQ(junk.scalen, "");
  EXPECT_EQ(junk.fo, "04");
  EXPECT_EQ(junk.oalen, "XY");
  const deliverrecord wide = deliver("00\xC3\xA9" "0B", true);
  EXPECT_EQ(wide.fo, "?0");
}

}  // namespace
}  // namespace reviri::sms
