// Part joiner: order, duplicates, keys, expiry, reused references; and the
// whole round trip planner -> PDU -> decoder -> joiner at part boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "sms/reassembly.h"
#include "sms/gsm0340_tpdu.h"
#include "sms/submit_plan.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri::sms {
namespace {

using namespace std::chrono_literals;
using Clock = Reassembler::Clock;

const Clock::time_point t0 = Clock::time_point{} + 1000h;

Deliver part(const std::string& sender, std::uint16_t ref, std::uint8_t total, std::uint8_t seq,
             const std::string& text, bool ref16 = false) {
  Deliver d;
  d.originator.number = sender;
  d.userData.concat = Concatenation{ref, ref16, total, seq};
  d.userData.text = text;
  return d;
}

std::string repeat(std::string_view unit, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += unit;
  return s;
}

TEST(Reassembler, PassesSingleMessagesStraightThrough) {
  Reassembler r;
  Deliver d;
  d.originator.number = "+4915112345678";
  d.userData.text = "hello";
  const auto out = r.add(d, 7, t0);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_TRUE(out.messages[0].complete());
  EXPECT_EQ(out.messages[0].text, "hello");
  EXPECT_EQ(out.messages[0].partCount, 1);
  EXPECT_EQ(out.messages[0].storageIndexes, std::vector<int>{7});
  // "Part 1 of 1" is a whole message too.
  EXPECT_EQ(r.add(part("+1", 5, 1, 1, "one"), -1, t0).messages.at(0).text, "one");
  EXPECT_EQ(r.pendingMessages(), 0u);
}

TEST(Reassembler, JoinsPublicPartsOutOfOrder) {
  // Two parts whose service centre and time stamp differ.
  const Deliver p1 = std::get<Deliver>(decodeTpdu(
      vectors::received("D8 part 1").pdu));
  const Deliver p2 = std::get<Deliver>(decodeTpdu(
      vectors::received("D8 part 2").pdu));
  Reassembler r;
  EXPECT_TRUE(r.add(p2, 5, t0).messages.empty());
  EXPECT_EQ(r.pendingMessages(), 1u);
  const auto out = r.add(p1, 4, t0 + 1s);
  ASSERT_EQ(out.messages.size(), 1u);
  const JoinedMessage& m = out.messages[0];
  EXPECT_TRUE(m.complete());
  EXPECT_EQ(m.partCount, 2);
  EXPECT_EQ(m.text,
            "This is a very long test designed to exercise multi part capability. It should show up as one "
            "message, not as two, as the underlying encoding represents that the parts are related to one "
            "another. ");
  EXPECT_EQ(m.storageIndexes, (std::vector<int>{5, 4}));
  EXPECT_EQ(m.first.serviceCentre.number, "+12063130025");  // fields of part 1
  EXPECT_EQ(m.first.originator.number, "+16175046925");
  EXPECT_EQ(r.pendingMessages(), 0u);
}

TEST(Reassembler, DuplicatesAreHeldOnceButTheirSlotsAreReported) {
  Reassembler r;
  EXPECT_TRUE(r.add(part("+1", 9, 2, 1, "Hel"), 1, t0).messages.empty());
  EXPECT_TRUE(r.add(part("+1", 9, 2, 1, "Hel"), 2, t0).messages.empty());
  const auto out = r.add(part("+1", 9, 2, 2, "lo"), 3, t0);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_EQ(out.messages[0].text, "Hello");
  EXPECT_EQ(out.messages[0].storageIndexes, (std::vector<int>{1, 2, 3}));
  // A late copy of a part of a message already handed over.
  const auto late = r.add(part("+1", 9, 2, 2, "lo"), 8, t0 + 1min);
  EXPECT_TRUE(late.messages.empty());
  EXPECT_EQ(late.duplicateSlots, std::vector<int>{8});
  EXPECT_EQ(r.pendingMessages(), 0u);
  // ...but a new message with the same reference and other text is new.
  EXPECT_TRUE(r.add(part("+1", 9, 2, 2, "XY"), 10, t0 + 2min).messages.empty());
  EXPECT_EQ(r.add(part("+1", 9, 2, 1, "AB"), 11, t0 + 2min).messages.at(0).text, "ABXY");
}

TEST(Reassembler, KeysOnSenderReferenceWidthAndCount) {
  Reassembler r;
  r.add(part("+1", 7, 2, 1, "a1 "), -1, t0);
  r.add(part("+2", 7, 2, 1, "b1 "), -1, t0);
  r.add(part("+1", 7, 2, 1, "c1 ", true), -1, t0);  // 16-bit reference 7
  r.add(part("+1", 7, 3, 1, "d1 "), -1, t0);
  EXPECT_EQ(r.pendingMessages(), 4u);
  EXPECT_EQ(r.add(part("+2", 7, 2, 2, "b2"), -1, t0).messages.at(0).text, "b1 b2");
  EXPECT_EQ(r.add(part("+1", 7, 2, 2, "c2", true), -1, t0).messages.at(0).text, "c1 c2");
  EXPECT_EQ(r.add(part("+1", 7, 2, 2, "a2"), -1, t0).messages.at(0).text, "a1 a2");
  EXPECT_EQ(r.pendingMessages(), 1u);
}

TEST(Reassembler, IncompleteMessagesAreHandedOverAfterTheirTimeNeverDropped) {
  Reassembler r;
  r.add(part("+1", 1, 3, 1, "first "), 11, t0);
  r.add(part("+1", 1, 3, 3, "third"), 13, t0 + 1min);
  r.add(part("+2", 2, 2, 2, "other"), 21, t0 + 2min);
  EXPECT_TRUE(r.expire(t0 + 10min, 10min).empty());  // exactly the age: not yet
  const auto due = r.expire(t0 + 11min, 10min);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_FALSE(due[0].complete());
  EXPECT_EQ(due[0].missingParts, std::vector<int>{2});
  EXPECT_EQ(due[0].text, "first third");
  EXPECT_EQ(due[0].storageIndexes, (std::vector<int>{11, 13}));
  EXPECT_EQ(r.pendingMessages(), 1u);

  // The missing part arrives late: it is held and handed over in its turn.
  r.add(part("+1", 1, 3, 2, "second "), 12, t0 + 12min);
  const auto rest = r.flush();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].text, "other");  // arrival order
  EXPECT_EQ(rest[0].missingParts, std::vector<int>{1});
  EXPECT_EQ(rest[1].text, "second ");
  EXPECT_EQ(rest[1].missingParts, (std::vector<int>{1, 3}));
  EXPECT_EQ(r.pendingMessages(), 0u);
}

TEST(Reassembler, ANewMessageReusingAReferenceReleasesTheOldOne) {
  Reassembler r;
  r.add(part("+1", 3, 2, 1, "old"), 1, t0);
  const auto out = r.add(part("+1", 3, 2, 1, "new"), 2, t0 + 1h);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_EQ(out.messages[0].text, "old");
  EXPECT_FALSE(out.messages[0].complete());
  EXPECT_EQ(r.add(part("+1", 3, 2, 2, "er"), 3, t0 + 1h).messages.at(0).text, "newer");
}

TEST(Reassembler, ForgetsHandedOverMessagesAfterMaxAge) {
  Reassembler r;
  r.add(part("+1", 4, 2, 1, "x"), 1, t0);
  r.add(part("+1", 4, 2, 2, "y"), 2, t0);
  EXPECT_EQ(r.add(part("+1", 4, 2, 1, "x"), 3, t0 + 1min).duplicateSlots, std::vector<int>{3});
  r.expire(t0 + 30min, 10min);
  // Now the same content counts as a new message again.
  const auto out = r.add(part("+1", 4, 2, 1, "x"), 4, t0 + 31min);
  EXPECT_TRUE(out.duplicateSlots.empty());
  EXPECT_EQ(r.pendingMessages(), 1u);
}

// ---- Round trips: planner -> PDUs -> decoder -> joiner ----------------------

Deliver asReceived(const Submit& s) {
  Deliver d;
  d.originator = s.recipient;
  d.coding = s.coding;
  d.userData = s.userData;
  return d;
}

// Plans `text`, decodes every part, feeds them in a shuffled order and
// returns the one message that comes out.
JoinedMessage roundTrip(const std::string& text, MessageCoding coding, std::mt19937& rng, int* parts = nullptr) {
  SubmitRequest request;
  request.to = "+4915112345678";
  request.text = text;
  request.coding = coding;
  request.concatReference = static_cast<std::uint8_t>(rng());
  std::vector<SubmitPart> planned = planSubmit(request);
  if (parts) *parts = static_cast<int>(planned.size());
  std::shuffle(planned.begin(), planned.end(), rng);
  Reassembler r;
  std::vector<JoinedMessage> out;
  for (const SubmitPart& p : planned) {
    const Submit s = std::get<Submit>(decodeTpdu(p.pduHex));
    EXPECT_EQ(s.recipient.number, "+4915112345678");
    for (JoinedMessage& m : r.add(asReceived(s), p.partNumber, t0).messages) out.push_back(std::move(m));
  }
  EXPECT_EQ(out.size(), 1u) << text;
  EXPECT_EQ(r.pendingMessages(), 0u);
  return out.empty() ? JoinedMessage{} : out[0];
}

TEST(RoundTrip, LimitsOfOnePart) {
  std::mt19937 rng(1);
  const struct {
    std::string text;
    int parts;
  } cases[] = {
      {repeat("a", 160), 1},       {repeat("a", 161), 2},         {repeat("ж", 70), 1},
      {repeat("ж", 71), 2},        {repeat("€", 80), 1},          {repeat("€", 81), 2},
      {repeat("😀", 35), 1},       {repeat("😀", 36), 2},         {"", 1},
      {"@ at the start, CR LF\r\nand a trailing space ", 1},
  };
  for (const auto& c : cases) {
    int parts = 0;
    const JoinedMessage m = roundTrip(c.text, MessageCoding::kAuto, rng, &parts);
    EXPECT_EQ(parts, c.parts) << c.text;
    EXPECT_EQ(m.text, c.text);
    EXPECT_TRUE(m.complete());
  }
}

TEST(RoundTrip, PairsAtEveryPartBoundary) {
  std::mt19937 rng(2);
  for (std::size_t lead = 148; lead <= 156; ++lead) {
    const std::string text = repeat("a", lead) + repeat("€[", 5) + repeat("b", 150) + "{}~";
    EXPECT_EQ(roundTrip(text, MessageCoding::kAuto, rng).text, text) << lead;
  }
  for (std::size_t lead = 62; lead <= 68; ++lead) {
    const std::string text = repeat("ж", lead) + repeat("😀", 4) + repeat("ы", 64) + "🎉";
    EXPECT_EQ(roundTrip(text, MessageCoding::kAuto, rng).text, text) << lead;
  }
}

TEST(RoundTrip, TwoHundredFiftyFivePartsInEitherCoding) {
  std::mt19937 rng(3);
  int parts = 0;
  const std::string gsm = repeat("0123456789 {€} ", 2100);  // 18 septets each
  EXPECT_EQ(roundTrip(gsm, MessageCoding::kGsm7, rng, &parts).text, gsm);
  EXPECT_GE(parts, 248);
  const std::string ucs2 = repeat("日本語のテキスト。", 67 * 255 / 9);
  EXPECT_EQ(roundTrip(ucs2, MessageCoding::kUcs2, rng, &parts).text, ucs2);
  EXPECT_EQ(parts, 255);
}

TEST(RoundTrip, RandomTextsInEveryCoding) {
  std::mt19937 rng(4);
  const char* pieces[] = {"a", "Z", " ", "€", "\\", "^", "é", "ß", "\r\n", "ж", "😀", "日"};
  for (int i = 0; i < 150; ++i) {
    std::string text;
    const std::size_t n = rng() % 700;
    const std::size_t alphabet = i % 3 == 0 ? 9 : 12;  // every third text fits 7-bit
    for (std::size_t k = 0; k < n; ++k) text += pieces[rng() % alphabet];
    const MessageCoding coding = i % 3 == 0 ? (i % 2 ? MessageCoding::kGsm7 : MessageCoding::kAuto) : (i % 2 ? MessageCoding::kUcs2 : MessageCoding::kAuto);
    EXPECT_EQ(roundTrip(text, coding, rng).text, text);
  }
}

}  // namespace
}  // namespace reviri::sms
