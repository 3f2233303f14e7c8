// PDU encoders and SMS-SUBMIT builders: worked examples, the GSM 03.38 tables
// and public vectors from other SMS stacks.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "control/compat/pdu_compat.h"
#include "sms/gsm0338_text.h"

namespace reviri::sms {
namespace {

// Independent reference packer/unpacker used to build expectations: a plain
// bit-by-bit walk of the GSM 03.38 layout.
std::string packSeptets(const std::vector<int>& septets) {
  std::vector<int> bits;
  for (const int s : septets)
    for (int b = 0; b < 7; ++b) bits.push_back((s >> b) & 1);
  std::string hex;
  for (std::size_t i = 0; i < bits.size(); i += 8) {
    int octet = 0;
    for (std::size_t b = 0; b < 8 && i + b < bits.size(); ++b) octet |= bits[i + b] << b;
    static const char* digits = "0123456789ABCDEF";
    hex += digits[octet >> 4];
    hex += digits[octet & 15];
  }
  return hex;
}

std::vector<int> unpackSeptets(const std::string& hex, std::size_t count) {
  std::vector<int> septets;
  for (std::size_t k = 0; k < count; ++k) {
    int s = 0;
    for (int b = 0; b < 7; ++b) {
      const std::size_t bit = k * 7 + b;
      const int octet = std::stoi(hex.substr(bit / 8 * 2, 2), nullptr, 16);
      s |= ((octet >> (bit % 8)) & 1) << b;
    }
    septets.push_back(s);
  }
  return septets;
}

TEST(DigitConversions, KeepTheirStatedResults) {
  EXPECT_EQ(detail::leadingHexValue("a9"), 169);
  EXPECT_EQ(detail::leadingHexValue(" 1\t2"), 0x12);
  EXPECT_EQ(detail::leadingHexValue("1G2"), 1);
  EXPECT_EQ(detail::leadingHexValue("zz"), 0);
  EXPECT_EQ(lengthField(0), "00");
  EXPECT_EQ(lengthField(4096), "1000");
  EXPECT_EQ(lengthField(5), "05");
  EXPECT_EQ(lengthField(255), "FF");
  EXPECT_EQ(lengthField(256), "100");
}

TEST(EncodeAddress, SwapsDigitPairsWithFiller) {
  const struct {
    const char* number;
    const char* field;
  } cases[] = {
      {"+12345", "05912143F5"},
      {"12345", "05912143F5"},
      {"1234", "04912143"},
      {"", "0091"},
      {"+", "0091"},
      {"++12", "03911+F2"},  // only the first plus goes
      {"+27820001111", "0B917228001011F1"},
      {"+15555551234", "0B915155551532F4"},
      {"123456789012", "0C91214365870921"},
  };
  for (const auto& c : cases) EXPECT_EQ(encodeAddress(c.number), c.field) << c.number;
}

TEST(Encode7bit, PacksSeptetsLikeTheWorkedExamples) {
  EXPECT_EQ(encode7bit("abc"), "0361F118");
  EXPECT_EQ(encode7bit("hellohello"), "0AE8329BFD4697D9EC37");
  EXPECT_EQ(encode7bit(""), "00");
  EXPECT_EQ(encode7bit("a\r\nb"), encode7bit("ab"));
  EXPECT_EQ(encode7bit("a\rb"), "03" + packSeptets({0x61, 0x0D, 0x62}));
  EXPECT_EQ(encode7bit("a\nb"), "03" + packSeptets({0x61, 0x0A, 0x62}));
}

TEST(Encode7bit, GoesThroughTheGsmDefaultAndExtensionTables) {
  const struct {
    const char* text;
    std::vector<int> septets;
  } cases[] = {
      {"@", {0x00}},
      {"£", {0x01}},
      {"$", {0x02}},
      {"_", {0x11}},
      {"¡", {0x40}},
      {"§", {0x5F}},
      {"¿", {0x60}},
      {"à", {0x7F}},
      {"Δ", {0x10}},
      {"€", {0x1B, 0x65}},
      {"[", {0x1B, 0x3C}},
      {"\\", {0x1B, 0x2F}},
      {"\f", {0x1B, 0x0A}},
      {"{x}", {0x1B, 0x28, 0x78, 0x1B, 0x29}},
      {"ç", {0x3F}},         // no place in either table
      {"中", {0x3F}},
      {"\xF0\x9F\x98\x80", {0x3F}},  // one character above U+FFFF: one '?'
      {"a\xFF" "b", {0x61, 0x3F, 0x62}},  // invalid UTF-8
      {"\t", {0x3F}},
  };
  for (const auto& c : cases) {
    const std::string udl = lengthField(c.septets.size());
    EXPECT_EQ(encode7bit(c.text), udl + packSeptets(c.septets)) << c.text;
  }
}

TEST(Encode7bit, MatchesTheFullAlphabetVector) {
  // gnokii's 160-septet vector (E7). Its input has NBSP where gnokii puts the
  // lone escape cell; that character has no place in the tables here, so it
  // travels as '?' and every other septet must match.
  const std::string text =
      "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\u00A0ÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
      "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà"
      "\f^{}\\[~]|€......filler";
  const std::string vectorUd =
      "8080604028180E888462C168381E90886442A9582E988C66C3E9783EA09068442A994EA8946AC56AB95EB098"
      "6C46ABD96EB89C6EC7EBF97EC0A070482C1A8FC8A472C96C3A9FD0A8744AAD5AAFD8AC76CBED7ABFE0B0784C"
      "2E9BCFE8B47ACD6EBBDFF0B87C4EAFDBEFF8BC7ECFEFFBFF1BC586B2416D529BD786B7E96D7C1BE0A6EC72B9"
      "5C2E9739CD6697E5";
  std::vector<int> septets = unpackSeptets(vectorUd, 160);
  ASSERT_EQ(septets[27], 0x1B);
  septets[27] = 0x3F;
  EXPECT_EQ(encode7bit(text), "A0" + packSeptets(septets));
}

TEST(Encode7bit, MatchesPublicSubmitVectors) {
  // User-data fields of vectors E1-E4 (python-gsmmodem, ModemManager).
  EXPECT_EQ(encode7bit("Hello World!"), "0CC8329BFD065DDF72363904");
  EXPECT_EQ(encode7bit("Flash SMS"), "094676788E064D9B53");
  EXPECT_EQ(encode7bit("This is really cool ΔΔΔΔΔ"),
            "1954747A0E4ACF41F27298CDCE83C6EF371B0481402010");
  EXPECT_EQ(encode7bit("Hi there...Tue 17th Jan 2012 05:30.18 pm (GMT+1) ΔΔΔΔΔ"),
            "36C834888E2ECBCB2E978B5A2F8362373A1AA40CBB4132584C0682D57433982B8603C1DB20D4B14"
            "95DC552200804028100");
}

TEST(Encode7bit, HandlesOctetBoundariesAndEscapesAtTheEnd) {
  std::vector<int> seven = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37};
  EXPECT_EQ(encode7bit("1234567"), "07" + packSeptets(seven));
  EXPECT_EQ(encode7bit("12345678"), "08" + packSeptets({0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38}));
  EXPECT_EQ(encode7bit("12345678").size(), 2u + 14u);  // 8 septets fill 7 octets exactly
  EXPECT_EQ(encode7bit("123456789").size(), 2u + 16u);
  // Escape pair split over the 8th and 9th septet.
  std::vector<int> escaped = seven;
  escaped.insert(escaped.end(), {0x1B, 0x65});
  EXPECT_EQ(encode7bit("1234567€"), "09" + packSeptets(escaped));

  // 158 letters and an escape pair: exactly 160 septets, 140 octets.
  std::string text(158, 'a');
  std::vector<int> full(158, 0x61);
  text += "€";
  full.insert(full.end(), {0x1B, 0x65});
  const std::string field = encode7bit(text);
  EXPECT_EQ(field, "A0" + packSeptets(full));
  EXPECT_EQ(field.size(), 2u + 280u);
}

// Plain ASCII goes through both codecs eight characters at a time; every
// character that needs the slow path (escape pairs, CR and CR LF, '$', '@',
// '_', characters GSM lacks, GSM characters that ASCII lacks: septets 24,
// 40, 5B-60) is put at each place of such a run.
TEST(Encode7bit, TextsRoundTripWithEachCharacterOffThePlainPathAtEveryPlace) {
  const struct {
    const char* inserted;
    const char* readBack;
  } kOffPath[] = {{"{", "{"}, {"}", "}"},   {"[", "["},   {"]", "]"},   {"~", "~"},   {"\\", "\\"},
                  {"|", "|"}, {"^", "^"},   {"$", "$"},   {"@", "@"},   {"_", "_"},   {"\r", "\r"},
                  {"\r\n", ""}, {"`", "?"}, {"\x01", "?"}, {"\x7F", "?"}, {"\n", "\n"},
                  {"¤", "¤"}, {"¡", "¡"}, {"Ä", "Ä"}, {"ä", "ä"}, {"§", "§"}, {"¿", "¿"}, {"à", "à"}, {"€", "€"}};
  for (const auto& odd : kOffPath) {
    for (std::size_t place = 0; place <= 17; ++place) {
      std::string text(26, 'q');
      std::string expected = text;
      text.insert(place, odd.inserted);
      expected.insert(place, odd.readBack);
      EXPECT_EQ(decode7bit(encode7bit(text)), expected) << int(odd.inserted[0]) << " at " << place;
    }
  }
}

TEST(Encode7bit, LongTextsGetWideLengthFieldsUntilTheCountOverflows) {
  EXPECT_EQ(encode7bit(std::string(256, 'a')).substr(0, 3), "100");
  EXPECT_EQ(encode7bit(std::string(4681, 'a')).size(), 4u + 4096u * 2);
  EXPECT_THROW(encode7bit(std::string(4682, 'a')), std::overflow_error);
  EXPECT_THROW(encode7bit(std::string(2341, '[')), std::overflow_error);  // escapes count
}

TEST(EncodeUcs2, WritesEveryCodeUnitAsFourDigits) {
  const struct {
    const char* text;
    const char* field;
  } cases[] = {
      {"abc", "06006100620063"},
      {"中", "024E2D"},
      {"", "00"},
      {"a\tb", "06006100090062"},
      {"a\rb", "060061000D0062"},
      {"a\nb", "060061000A0062"},
      {"a\r\nb", "0400610062"},
      {"\u00FF", "0200FF"},
      {"\u0100", "020100"},
      {"\u0FFF", "020FFF"},
      {"\xF0\x9F\x98\x80", "04D83DDE00"},  // surrogate pair
      {"тест", "080442043504410442"},
  };
  for (const auto& c : cases) {
    std::string ins = c.text;
    EXPECT_EQ(ENCodeunicodestring(ins), c.field) << c.text;
    std::string name = c.text;
    EXPECT_EQ(encodeUcs2(name), std::string(c.field).substr(2)) << c.text;
  }
}

TEST(EncodeUcs2, RemovesCrLfPairsFromTheCallersText) {
  std::string ins = "a\r\nb\rc\n\r\n";
  ENCodeunicodestring(ins);
  EXPECT_EQ(ins, "ab\rc\n");
  std::string name = "x\r\ny";
  EXPECT_EQ(encodeUcs2(name), "00780079");
  EXPECT_EQ(name, "xy");
  // Pairs are removed in one pass: the CR LF that the removal joins stays.
  std::string nested = "A\r\r\n\nB";
  EXPECT_EQ(ENCodeunicodestring(nested), "080041000D000A0042");
  EXPECT_EQ(nested, "A\r\nB");
  std::string nestedName = "A\r\r\n\nB";
  EXPECT_EQ(encodeUcs2(nestedName), "0041000D000A0042");
  EXPECT_EQ(buildPduUcs2("1", "A\r\r\n\nB"), "0011000191F10008A9080041000D000A0042");
}

TEST(EncodeUcs2, MatchesPublicVectorsAndLongTexts) {
  std::string cyrillic = "Да здравствует король, детка!";
  EXPECT_EQ(ENCodeunicodestring(cyrillic),
            "3A041404300020043704340440043004320441044204320443043504420020043A043E0440043E043B0"
            "44C002C0020043404350442043A04300021");
  std::string polish = "Żółta żaba żarła żur";
  EXPECT_EQ(ENCodeunicodestring(polish),
            "28017B00F30142007400610020017C0061006200610020017C00610072014200610020017C00750072");
  std::string wide(128, 'a');
  EXPECT_EQ(ENCodeunicodestring(wide).substr(0, 3), "100");
  std::string tooLong(32767, 'a');
  EXPECT_THROW(ENCodeunicodestring(tooLong), std::overflow_error);
  std::string limit(32766, 'a');
  EXPECT_EQ(ENCodeunicodestring(limit).size(), 4u + 32766u * 4);
}

TEST(Builders, JoinHeaderAddressTailAndUserData) {
  EXPECT_EQ(buildPdu7bit("12345", "abc"), "00110005912143F50000A90361F118");
  EXPECT_EQ(buildFlashPdu7bit("12345", "abc"), "00110005912143F50010A90361F118");
  EXPECT_EQ(buildPduUcs2("12345", "abc"), "00110005912143F50008A906006100620063");
  EXPECT_EQ(buildFlashPduUcs2("12345", "abc"), "00110005912143F50018A906006100620063");
  EXPECT_EQ(buildPdu7bit("+12345", "abc"), buildPdu7bit("12345", "abc"));
  EXPECT_EQ(buildPdu7bit("1234", ""), "001100049121430000A900");
  EXPECT_EQ(buildPduUcs2("1234", ""), "001100049121430008A900");
  EXPECT_EQ(buildPduUcs2("1", "a\tb"), "0011000191F10008A906006100090062");
  EXPECT_EQ(buildPdu7bit("+27820001111", "Hello World!"),
            "001100" "0B917228001011F1" "0000A9" "0CC8329BFD065DDF72363904");
}

TEST(Builders, CommandLengthCountsOctetsAfterTheSmscOctet) {
  EXPECT_EQ(commandLength(buildPdu7bit("12345", "abc")), 14);
  EXPECT_EQ(commandLength(buildPduUcs2("12345", "abc")), 17);
  EXPECT_EQ(commandLength(""), -1);
  EXPECT_EQ(commandLength(std::string(31, '0')), 14);  // 14.5 rounds to even
  EXPECT_EQ(commandLength(std::string(33, '0')), 16);  // 15.5 rounds to even
  const std::string longPdu = buildPdu7bit("12345", std::string(300, 'a'));
  EXPECT_EQ(longPdu.size() % 2, 1u);  // three-digit TP-UDL
}

}  // namespace
}  // namespace reviri::sms
