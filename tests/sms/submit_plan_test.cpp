// Message planner: public SMS-SUBMIT vectors, coding choice, part sizes at
// their limits, pairs that must not be split, options and refused requests.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sms/submit_plan.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri::sms {
namespace {

using std::chrono::minutes;

SubmitRequest request(std::string to, std::string text) {
  SubmitRequest r;
  r.to = std::move(to);
  r.text = std::move(text);
  return r;
}

std::string repeat(std::string_view unit, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += unit;
  return s;
}

int octetAt(const std::string& hex, std::size_t k) { return std::stoi(hex.substr(2 * k, 2), nullptr, 16); }

// Offsets into a PDU without service centre and with a 12-digit recipient:
// SC(1) FO(1) MR(1) DA(1+1+6) PID(1) DCS(1), then VP (when present), UDL.
constexpr std::size_t kFo = 1, kDcs = 12, kAfterDcs = 13;
// The same with the one-digit recipient "+1", without validity period.
constexpr std::size_t kShortDcs = 7, kShortUdl = 8;

// Expects `call` to throw std::invalid_argument whose message starts with `field`.
template <typename F>
void expectRefused(F call, const std::string& field, const std::string& mentions = "") {
  try {
    call();
    ADD_FAILURE() << "no error for field " << field;
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(field + ":", 0), 0u) << what;
    EXPECT_NE(what.find(mentions), std::string::npos) << what;
  }
}

TEST(PlanSubmit, MatchesEveryPublicVector) {
  for (const auto& v : vectors::kSubmitted) {
    SubmitRequest r = request(v.to, v.text);
    if (v.validityMinutes > 0) r.validity = minutes(v.validityMinutes);
    r.flash = v.flash;
    r.statusReport = v.statusReport;
    r.smsc = v.smsc;
    const auto parts = planSubmit(r);
    ASSERT_EQ(parts.size(), 1u) << v.name;
    EXPECT_EQ(parts[0].pduHex, v.pdu) << v.name;
    // The AT+CMGS length counts the octets after the service-centre field.
    const std::size_t smscOctets = 1 + std::stoul(std::string(v.pdu, 2), nullptr, 16);
    EXPECT_EQ(parts[0].tpduLength, static_cast<int>(std::string_view(v.pdu).size() / 2 - smscOctets)) << v.name;
  }
  EXPECT_EQ(planSubmit(request("+27820001111", "Hello World!"))[0].tpduLength, 24);
}

TEST(PlanSubmit, SecondPartOfAPublicTwoPartVector) {
  // The peer's second part carries ".fillerr" under reference CE, national
  // recipient, the longest validity; the first part's text is ours.
  SubmitRequest r = request("123456789", repeat("x", 153) + ".fillerr");
  r.validity = minutes(635040);
  r.concatReference = 0xCE;
  const auto parts = planSubmit(r);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[1].pduHex, "005100098121436587F90000FF0F050003CE02025CE6349B5D96CB01");
  EXPECT_EQ(parts[1].tpduLength, 27);
  EXPECT_EQ(parts[0].pduHex.substr(0, 42), "005100098121436587F90000FFA0050003CE0201F0");
  EXPECT_EQ(parts[0].tpduLength, 153);
  EXPECT_EQ(parts[0].partNumber, 1);
  EXPECT_EQ(parts[1].partNumber, 2);
  EXPECT_EQ(parts[1].partCount, 2);
}

TEST(PlanSubmit, ChoosesTheCodingByTheCharacters) {
  const struct {
    const char* text;
    MessageCoding coding;
  } cases[] = {
      {"Hello", MessageCoding::kGsm7},          {"", MessageCoding::kGsm7},
      {"€ [x] {y} ~|^\\", MessageCoding::kGsm7}, {"ÄÖÜäöüß ΔΦΓΛΩΠΨΣΘΞ £¥§¿¡", MessageCoding::kGsm7},
      {"line\r\nline\n", MessageCoding::kGsm7},  {"日本語", MessageCoding::kUcs2},
      {"a`b", MessageCoding::kUcs2},            {"ça", MessageCoding::kUcs2},  // only Ç is in the alphabet
      {"smile 😀", MessageCoding::kUcs2},        {"Ёж", MessageCoding::kUcs2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(codingFor(c.text), c.coding) << c.text;
    const auto parts = planSubmit(request("+1", c.text));
    EXPECT_EQ(octetAt(parts[0].pduHex, kShortDcs), c.coding == MessageCoding::kUcs2 ? 0x08 : 0x00) << c.text;
  }
}

TEST(PlanSubmit, ForcedCodings) {
  SubmitRequest r = request("+1", "abc");
  r.coding = MessageCoding::kUcs2;
  EXPECT_EQ(planSubmit(r)[0].pduHex.substr(2 * kShortUdl), "06006100620063");
  r.coding = MessageCoding::kGsm7;
  r.text = "Grüße aus 日本";
  expectRefused([&] { planSubmit(r); }, "text", "character 11 (U+65E5)");
  expectRefused([&] { countParts(r.text, MessageCoding::kGsm7); }, "text", "U+65E5");
  r.text = "ok\xC3";  // truncated UTF-8 is refused in any coding
  r.coding = MessageCoding::kAuto;
  expectRefused([&] { planSubmit(r); }, "text", "UTF-8");
}

TEST(PlanSubmit, OnePartAtTheLimitsAndNoHeader) {
  const struct {
    std::string text;
    std::size_t parts;
    int firstUdl;
  } cases[] = {
      {repeat("a", 160), 1, 160},
      {repeat("a", 161), 2, 160},
      {repeat("a", 158) + "€", 1, 160},  // the escape pair fills the last two septets
      {repeat("a", 159) + "€", 2, 160},
      {repeat("a", 152) + "€" + repeat("a", 10), 2, 159},  // never split: the pair moves on
      {repeat("ж", 70), 1, 140},
      {repeat("ж", 71), 2, 140},
      {repeat("😀", 35), 1, 140},  // 70 code units
      {repeat("ж", 66) + "😀" + repeat("ж", 10), 2, 138},  // the pair would straddle unit 67
      {repeat("a", 153 * 2), 2, 160},
      {repeat("a", 153 * 2 + 1), 3, 160},
      {repeat("ж", 67 * 3), 3, 140},
  };
  for (const auto& c : cases) {
    const auto parts = planSubmit(request("+1", c.text));
    ASSERT_EQ(parts.size(), c.parts) << c.text;
    EXPECT_EQ(countParts(c.text).parts, static_cast<int>(c.parts)) << c.text;
    const std::string& first = parts[0].pduHex;
    const bool header = c.parts > 1;
    EXPECT_EQ((octetAt(first, 1) & 0x40) != 0, header) << c.text;
    EXPECT_EQ(octetAt(first, kShortUdl), c.firstUdl) << c.text;
    if (header) {
      EXPECT_EQ(first.substr(2 * kShortUdl + 2, 8), "05000300") << c.text;
    }
  }
}

TEST(PlanSubmit, EscapeAndSurrogatePairsStayTogetherAtEveryPartBoundary) {
  // Shift the pairs across the boundary one unit at a time.
  for (std::size_t lead = 145; lead <= 154; ++lead) {
    const std::string text = repeat("a", lead) + repeat("€", 6) + repeat("b", 10);
    for (const auto& part : planSubmit(request("+1", text))) {
      const std::string& pdu = part.pduHex;
      const int udl = octetAt(pdu, kShortUdl);
      // The last septet of a part: read it straight from the packed bits.
      const std::size_t bit = static_cast<std::size_t>(udl - 1) * 7;
      const std::size_t ud = kShortUdl + 1;
      const int low = octetAt(pdu, ud + bit / 8);
      const int high = bit / 8 + 1 < pdu.size() / 2 - ud ? octetAt(pdu, ud + bit / 8 + 1) : 0;
      const int last = ((low | high << 8) >> (bit % 8)) & 0x7F;
      EXPECT_NE(last, 0x1B) << "part " << part.partNumber << " ends in an escape, lead " << lead;
    }
  }
  for (std::size_t lead = 60; lead <= 68; ++lead) {
    const std::string text = repeat("ж", lead) + repeat("😀", 4);
    for (const auto& part : planSubmit(request("+1", text))) {
      const std::string& pdu = part.pduHex;
      const int unit = std::stoi(pdu.substr(pdu.size() - 4), nullptr, 16);
      EXPECT_FALSE(unit >= 0xD800 && unit <= 0xDBFF) << "part " << part.partNumber << ", lead " << lead;
    }
  }
}

TEST(PlanSubmit, AtMost255Parts) {
  EXPECT_EQ(planSubmit(request("+1", repeat("a", 153 * 255))).size(), 255u);
  expectRefused([] { planSubmit(request("+1", repeat("a", 153 * 255 + 1))); }, "text", "256");
  EXPECT_EQ(countParts(repeat("a", 153 * 255 + 1)).parts, 256);
  EXPECT_EQ(planSubmit(request("+1", repeat("ж", 67 * 255))).size(), 255u);
  expectRefused([] { planSubmit(request("+1", repeat("ж", 67 * 255 + 1))); }, "text", "at most 255");
}

TEST(PlanSubmit, SplittingCanBeRefused) {
  SubmitRequest r = request("+1", repeat("a", 160));
  r.allowSplit = false;
  EXPECT_EQ(planSubmit(r).size(), 1u);
  r.text += "a";
  expectRefused([&] { planSubmit(r); }, "text", "2 messages");
}

TEST(PlanSubmit, StatusReportFlashAndReference) {
  SubmitRequest r = request("+491511234567", repeat("z", 200));
  r.statusReport = true;
  r.flash = true;
  r.concatReference = 0x7A;
  for (const auto& part : planSubmit(r)) {
    EXPECT_EQ(octetAt(part.pduHex, kFo), 0x61);  // SUBMIT, TP-SRR, TP-UDHI, no validity
    EXPECT_EQ(octetAt(part.pduHex, kDcs), 0x10);
    EXPECT_EQ(part.pduHex.substr(2 * (kAfterDcs + 1), 10), "0500037A02");
  }
  r.text = "Ω";
  r.coding = MessageCoding::kUcs2;
  r.statusReport = false;
  const auto one = planSubmit(r);
  EXPECT_EQ(octetAt(one[0].pduHex, kFo), 0x01);
  EXPECT_EQ(octetAt(one[0].pduHex, kDcs), 0x18);
}

TEST(PlanSubmit, ValidityRoundsUpToTheRelativeFormat) {
  const struct {
    long minutes;
    int octet;
  } cases[] = {
      {1, 0x00},      {5, 0x00},      {6, 0x01},      {720, 143},    {721, 144},
      {750, 144},     {1440, 167},    {1441, 168},    {2880, 168},   {2881, 169},
      {30 * 1440, 196}, {30 * 1440 + 1, 197}, {35 * 1440, 197}, {63 * 7 * 1440, 255},
  };
  for (const auto& c : cases) {
    SubmitRequest r = request("+491511234567", "v");
    r.validity = minutes(c.minutes);
    const std::string pdu = planSubmit(r)[0].pduHex;
    EXPECT_EQ(octetAt(pdu, kFo), 0x11) << c.minutes;
    EXPECT_EQ(octetAt(pdu, kAfterDcs), c.octet) << c.minutes;
  }
  SubmitRequest r = request("+1", "v");
  r.validity = minutes(0);
  expectRefused([&] { planSubmit(r); }, "validity");
  r.validity = minutes(63 * 7 * 1440 + 1);
  expectRefused([&] { planSubmit(r); }, "validity");
}

TEST(PlanSubmit, NumbersAreDialStrings) {
  EXPECT_EQ(planSubmit(request("+49 (151) 123-45.67", "x"))[0].pduHex.substr(6, 16), "0C91945111325476");
  EXPECT_EQ(planSubmit(request("12345", "x"))[0].pduHex.substr(6, 10), "05812143F5");
  for (const char* bad : {"", "+", "12a4", "++49", "4+9", "1;+CMGD=1,4", "123456789012345678901"})
    expectRefused([&] { planSubmit(request(bad, "x")); }, "to");
  SubmitRequest r = request("+1", "x");
  r.smsc = "\"+1\"";
  expectRefused([&] { planSubmit(r); }, "smsc");
  r.smsc = "0123";
  EXPECT_EQ(planSubmit(r)[0].pduHex.substr(0, 8), "03811032");
}

TEST(CountParts, AgreesWithThePlanForRandomTexts) {
  const char* pieces[] = {"a", " ", "€", "{", "ж", "😀", "é", "Ω", "\n", "日"};
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    std::string text;
    const std::size_t n = rng() % 400;
    const bool gsmOnly = i % 2 == 0;
    for (std::size_t k = 0; k < n; ++k) text += pieces[rng() % (gsmOnly ? 4 : 10)];
    const PartCount count = countParts(text);
    const auto parts = planSubmit(request("+1", text));
    EXPECT_EQ(count.parts, static_cast<int>(parts.size())) << text;
    EXPECT_EQ(count.coding, codingFor(text));
    for (const auto& p : parts) {
      EXPECT_EQ(p.partCount, count.parts);
      EXPECT_EQ(static_cast<std::size_t>(p.tpduLength) * 2 + 2, p.pduHex.size());
      EXPECT_EQ(p.pduHex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace reviri::sms
