// tests/com/member_table_test.cpp - the type library's IDL and the C++ class
// reviri::Reviri offer the same members, so the COM server cannot drift from
// the library. Also checks that the comparison notices each kind of drift.
#include "com/member_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace reviri::membertable {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string& idlText() {
  static const std::string text = readFile(REVIRI_SOURCE_DIR "/com/Raruru_VU.idl");
  return text;
}
const std::string& headerText() {
  static const std::string text = readFile(REVIRI_SOURCE_DIR "/include/reviri/reviri.h");
  return text;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

const Member* find(const std::vector<Member>& members, const std::string& name, Kind kind) {
  for (const Member& m : members)
    if (m.name == name && m.kind == kind) return &m;
  return nullptr;
}

TEST(MemberTable, IdlAndClassOfferTheSameMembers) {
  const auto idl = parseIdlInterface(idlText());
  const auto cpp = parseHeaderClass(headerText());
  EXPECT_EQ(joined(compareInterface(idl, cpp)), "");
  EXPECT_EQ(joined(compareEvents(parseIdlEvents(idlText()), parseHeaderEvents(headerText()))), "");
}

TEST(MemberTable, IdlKeepsTheVtableInDispidOrder) {
  EXPECT_EQ(joined(checkIdlOrder(parseIdlInterface(idlText()))), "");
}

// The parsers see what the files say, not just something consistent.
TEST(MemberTable, ParsersReadTypesDefaultsAndReferences) {
  const auto idl = parseIdlInterface(idlText());
  int props = 0, methods = 0;
  for (const Member& m : idl) {
    if (m.kind == Kind::kPropGet) ++props;
    if (m.kind == Kind::kMethod) ++methods;
  }
  EXPECT_EQ(props, 9);
  EXPECT_EQ(methods, 36);

  const Member* startlisten = find(idl, "startlisten", Kind::kMethod);
  ASSERT_NE(startlisten, nullptr);
  EXPECT_EQ(startlisten->dispid, 0x6003000d);
  ASSERT_EQ(startlisten->params.size(), 1u);
  EXPECT_EQ(startlisten->params[0].defaultValue, "1,1,0,0");
  EXPECT_EQ(startlisten->result, "BSTR");

  const Member* book = find(idl, "readphonebook", Kind::kMethod);
  ASSERT_NE(book, nullptr);
  ASSERT_EQ(book->params.size(), 2u);
  EXPECT_EQ(book->params[1].type, "SAFEARRAY(phonebookentry)*");
  EXPECT_TRUE(book->params[1].byRef);
  EXPECT_EQ(book->result, "VARIANT");

  const Member* timeRe = find(idl, "TimeRe", Kind::kPropGet);
  ASSERT_NE(timeRe, nullptr);
  EXPECT_EQ(timeRe->dispid, 0x40030000);
  EXPECT_EQ(timeRe->result, "double");
  EXPECT_EQ(idl.back().name, "ENCodeunicodestring");

  const auto cpp = parseHeaderClass(headerText());
  const Member* selSim = find(cpp, "selSIM", Kind::kMethod);
  ASSERT_NE(selSim, nullptr);
  EXPECT_EQ(selSim->params.at(0).defaultValue, "SM,SM,SM");
  const Member* encode = find(cpp, "ENCodeunicodestring", Kind::kMethod);
  ASSERT_NE(encode, nullptr);
  EXPECT_TRUE(encode->params.at(0).byRef);
  EXPECT_NE(find(cpp, "Checkautodel", Kind::kPropPut), nullptr);

  const auto events = parseIdlEvents(idlText());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].name, "SMSReceived");
  EXPECT_EQ(events[0].dispid, 1);
  EXPECT_EQ(events[0].params.size(), 3u);
}

// Each kind of drift between the two files is reported.
TEST(MemberTable, EveryKindOfDriftIsReported) {
  struct Case {
    const char* what;
    const char* file;  // "idl" or "h"
    const char* from;
    const char* to;
    const char* mentioned;
  };
  const Case cases[] = {
      {"renamed method", "idl", "HRESULT getsq(", "HRESULT getsq2(", "getsq"},
      {"changed default", "idl", "defaultvalue(\"SM,SM,SM\")", "defaultvalue(\"SM,ME,SM\")", "selSIM"},
      {"default only in C++", "h", "const std::string& insmi = \"1,1,0,0\"",
       "const std::string& insmi = \"1,1,0,1\"", "startlisten"},
      {"lost by-reference", "idl", "HRESULT ENCodeunicodestring([in, out] BSTR* ins",
       "HRESULT ENCodeunicodestring([in] BSTR ins", "ENCodeunicodestring"},
      {"extra parameter", "idl", "HRESULT delSIM([in] BSTR ins,", "HRESULT delSIM([in] BSTR ins, [in] BSTR more,",
       "delSIM"},
      {"renamed parameter", "idl", "HRESULT sendSIMother([in] BSTR ins", "HRESULT sendSIMother([in] BSTR index",
       "sendSIMother"},
      {"wrong parameter type", "idl", "HRESULT inimodem([in] short comport", "HRESULT inimodem([in] long comport",
       "inimodem"},
      {"renamed property", "h", "std::string SMS_Read_String() const", "std::string SMS_Read_Strings() const",
       "SMS_Read_String"},
      {"method only in C++", "h", "std::string getsq();", "std::string getsq();\n  std::string getsq3();",
       "getsq3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool inIdl = std::string(c.file) == "idl";
    const std::string idl = inIdl ? replaced(idlText(), c.from, c.to) : idlText();
    const std::string header = inIdl ? headerText() : replaced(headerText(), c.from, c.to);
    const std::string diffs = joined(compareInterface(parseIdlInterface(idl), parseHeaderClass(header)));
    EXPECT_NE(diffs.find(c.mentioned), std::string::npos) << diffs;
  }
}

TEST(MemberTable, EventAndOrderDriftIsReported) {
  const std::string swapped =
      replaced(idlText(), "BSTR INDEX1, [in] BSTR cell, [in] BSTR msg", "BSTR INDEX1, [in] BSTR msg, [in] BSTR cell");
  EXPECT_NE(joined(compareEvents(parseIdlEvents(swapped), parseHeaderEvents(headerText()))).find("SMSReceived"),
            std::string::npos);

  const std::string outOfOrder =
      replaced(idlText(), "[id(0x60030021)] HRESULT getsq", "[id(0x60030030)] HRESULT getsq");
  EXPECT_NE(joined(checkIdlOrder(parseIdlInterface(outOfOrder))).find("out of DISPID order"), std::string::npos);

  const std::string encodeNotLast = replaced(idlText(), "[id(0x60030068)] HRESULT ENCodeunicodestring([in, out] BSTR* ins, [out, retval] BSTR* result);", "");
  const std::string moved = replaced(encodeNotLast, "    [id(0x6003004b)]",
                                     "    [id(0x60030068)] HRESULT ENCodeunicodestring([in, out] BSTR* ins, [out, retval] BSTR* result);\n    [id(0x6003004b)]");
  EXPECT_NE(joined(checkIdlOrder(parseIdlInterface(moved))).find("ENCodeunicodestring"), std::string::npos);
}

}  // namespace
}  // namespace reviri::membertable
