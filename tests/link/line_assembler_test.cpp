// The line assembler and the classification of modem lines.
#include "link/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/unsolicited.h"

namespace reviri::link {
namespace {

std::vector<AssembledLine> drain(LineAssembler& a) {
  std::vector<AssembledLine> lines;
  while (a.hasLine()) lines.push_back(a.take());
  return lines;
}

std::vector<std::string> texts(const std::vector<AssembledLine>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(l.text + (l.second.empty() ? "" : "|" + l.second));
  return out;
}

// Feeds `stream` split at `cut` and checks no line is handed out before its
// end has arrived, and that the lines are the same as fed whole.
void expectSameAtEverySplit(const std::string& stream, const std::vector<std::string>& expected) {
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    LineAssembler a;
    a.feed(stream.substr(0, cut));
    const auto early = drain(a);
    a.feed(stream.substr(cut));
    auto all = early;
    for (auto& l : drain(a)) all.push_back(std::move(l));
    EXPECT_EQ(texts(all), expected) << "split at " << cut;
    std::string raw;
    for (const auto& l : all) raw += l.raw + l.secondRaw;
    EXPECT_EQ(raw + a.unfinished(), stream) << "bytes lost at split " << cut;
  }
}

TEST(LineAssembler, HandsOutOnlyCompleteLinesAtEverySplit) {
  expectSameAtEverySplit("\r\n+CMTI: \"SM\",12\r\n", {"", "+CMTI: \"SM\",12"});
  expectSameAtEverySplit("\r\n+CSQ: 20,99\r\n\r\nOK\r\n+CMTI: \"SM\",3\r\n",
                         {"", "+CSQ: 20,99", "", "OK", "+CMTI: \"SM\",3"});
  expectSameAtEverySplit("AT+CMGR=13\r\r\n+CMGR: 0,,23\r\n0791\r\n\r\nOK\r\n",
                         {"AT+CMGR=13", "+CMGR: 0,,23", "0791", "", "OK"});
}

TEST(LineAssembler, PartialIndicationIsNeverHandedOut) {
  LineAssembler a;
  a.feed("\r\n+CMTI: \"SM\",1");
  EXPECT_EQ(texts(drain(a)), std::vector<std::string>{""});
  EXPECT_EQ(a.unfinished(), "+CMTI: \"SM\",1");
  a.feed("7\r\n");
  EXPECT_EQ(texts(drain(a)), std::vector<std::string>{"+CMTI: \"SM\",17"});
}

TEST(LineAssembler, PromptWithoutLineEnd) {
  for (const std::string stream : {"\r\n> ", "\r\n>", "AT+CMGS=23\r> "}) {
    LineAssembler a;
    a.feed(stream);
    const auto lines = drain(a);
    ASSERT_FALSE(lines.empty()) << stream;
    EXPECT_TRUE(lines.back().prompt) << stream;
    EXPECT_EQ(a.unfinished(), "") << stream;
  }
  // The echo before a prompt on the same line is a line of its own.
  LineAssembler echoed;
  echoed.feed("AT+CMGS=23\r> ");
  EXPECT_EQ(texts(drain(echoed)), (std::vector<std::string>{"AT+CMGS=23", ">"}));
  // ">" then its space in the next read: the space does not start a line.
  LineAssembler split;
  split.feed("\r\n>");
  drain(split);
  split.feed(" ");
  EXPECT_EQ(split.unfinished(), "");
  // A ">" inside a line is no prompt.
  LineAssembler inside;
  inside.feed("+CMGL: 1,\"a>b\"");
  EXPECT_FALSE(inside.hasLine());
}

TEST(LineAssembler, TwoLineIndicationsTravelWithTheirSecondLine) {
  expectSameAtEverySplit("\r\n+CMT: ,24\r\n07911326\r\n+CMTI: \"SM\",2\r\n",
                         {"", "+CMT: ,24|07911326", "+CMTI: \"SM\",2"});
  expectSameAtEverySplit("+CDS: 25\r\n\r\n0006\r\n", {"+CDS: 25|0006"});
  // Only the header arrived: nothing is handed out yet.
  LineAssembler a;
  a.feed("+CMT: ,24\r\n0791");
  EXPECT_FALSE(a.hasLine());
  EXPECT_EQ(a.unfinished(), "+CMT: ,24\r\n0791");
}

TEST(LineAssembler, OverlongUnfinishedLineKeepsOnlyItsEnd) {
  LineAssembler a;
  const std::string noise(3 * LineAssembler::kMaxPartialLine, 'x');
  for (std::size_t i = 0; i < noise.size(); i += 1000) a.feed(noise.substr(i, 1000));
  EXPECT_EQ(a.unfinished().size(), LineAssembler::kMaxPartialLine);
  a.feed("END\r\n+CMTI: \"SM\",4\r\n");
  const auto lines = drain(a);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].text.ends_with("xEND"));
  EXPECT_EQ(lines[1].text, "+CMTI: \"SM\",4");
}

TEST(Unsolicited, CommandNames) {
  EXPECT_EQ(commandName("AT+CREG?"), "+CREG");
  EXPECT_EQ(commandName("at+cmgr=5"), "+CMGR");
  EXPECT_EQ(commandName("AT^SYSINFO"), "^SYSINFO");
  EXPECT_EQ(commandName("ATE0"), "");
  EXPECT_EQ(commandName("0011000B91"), "");
}

TEST(Unsolicited, ClassifiesByWholeName) {
  for (const char* line : {"+CMTI: \"SM\",3", "+CMT: ,23", "+CDSI: \"SM\",1", "+CDS: 25", "RING",
                           "^RSSI: 17", "^BOOT: 1,0,0,4,0", "+CREG: 1", "+cmti: \"ME\",1", "NO CARRIER"})
    EXPECT_TRUE(isUnsolicitedLine(line, "")) << line;
  for (const char* line : {"+CMGS: 5", "+CSQ: 20,99", "OK", "0791", "+CMTIX: 1", "+CM: 1", ""})
    EXPECT_FALSE(isUnsolicitedLine(line, "")) << line;
  // The answer to a query repeats the command's name.
  EXPECT_FALSE(isUnsolicitedLine("+CREG: 0,1", "+CREG"));
  EXPECT_TRUE(isUnsolicitedLine("+CMTI: \"SM\",1", "+CMT"));
  EXPECT_TRUE(isUnsolicitedLine("+CREG: 1", "+CGREG"));
}

TEST(Unsolicited, FinalResults) {
  int code = 0;
  EXPECT_EQ(finalKindOf("OK", &code), FinalKind::kOk);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(finalKindOf("ERROR"), FinalKind::kError);
  EXPECT_EQ(finalKindOf(">"), FinalKind::kPrompt);
  EXPECT_EQ(finalKindOf("+CMS ERROR: 321", &code), FinalKind::kCmsError);
  EXPECT_EQ(code, 321);
  EXPECT_EQ(finalKindOf("+CME ERROR: SIM busy", &code), FinalKind::kCmeError);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(finalKindOf("+CME ERROR: 10", &code), FinalKind::kCmeError);
  EXPECT_EQ(code, 10);
  for (const char* line : {"ok", "OKAY", "+CMGS: 1", "NO ERROR", ""})
    EXPECT_EQ(finalKindOf(line), FinalKind::kNone) << line;
}

}  // namespace
}  // namespace reviri::link
