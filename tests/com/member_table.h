// tests/com/member_table.h - the control's members as the type library's IDL
// and as the C++ class declare them, and a comparison of the two.
//
// The IDL (com/Raruru_VU.idl) holds the COM side: DISPIDs, Automation types,
// by-reference parameters and optional defaults. The public header
// (include/reviri/reviri.h) holds the C++ side. Both are parsed here, with
// small parsers that know just the shapes these two files use, so that
// neither list is written out by hand a second time.
//
// Threading: plain functions.
#ifndef REVIRI_TESTS_COM_MEMBER_TABLE_H_
#define REVIRI_TESTS_COM_MEMBER_TABLE_H_

#include <optional>
#include <string>
#include <vector>

namespace reviri::membertable {

struct Param {
  std::string name;
  std::string type;   // IDL: "BSTR", "BSTR*", "short", ...; C++: as written
  bool byRef = false; // IDL [in, out]; C++ non-const reference
  std::optional<std::string> defaultValue;
};

enum class Kind { kPropGet, kPropPut, kMethod, kEvent };

struct Member {
  Kind kind = Kind::kMethod;
  std::string name;
  long dispid = 0;           // IDL only
  std::vector<Param> params; // without the [out, retval] one
  std::string result;        // IDL: the retval type ("" for none); C++: return type
};

// Members of interface _Reviri (vtable order) and of dispinterface __Reviri.
// Throws std::runtime_error when the text does not have the expected shape.
std::vector<Member> parseIdlInterface(const std::string& idl);
std::vector<Member> parseIdlEvents(const std::string& idl);

// Public members of class Reviri (properties as a getter and a setter) and
// the virtual handlers of class ReviriEvents, in declaration order.
std::vector<Member> parseHeaderClass(const std::string& header);
std::vector<Member> parseHeaderEvents(const std::string& header);

// Members of Reviri that are C++ only (no COM counterpart), by name, and the
// C++ overloads that COM does not offer, by "name(first parameter)".
const std::vector<std::string>& cppOnlyMembers();

// Every difference between the two sides, one line each; empty when they
// offer the same members (names, parameter names in order, parameter counts,
// types, by-reference parameters and defaults; properties in the same order).
std::vector<std::string> compareInterface(const std::vector<Member>& idl,
                                          const std::vector<Member>& cpp);
std::vector<std::string> compareEvents(const std::vector<Member>& idl,
                                       const std::vector<Member>& cpp);

// Checks the IDL's own rules: get before put for each property, one DISPID per
// member, and the vtable in ascending DISPID order with ENCodeunicodestring last.
std::vector<std::string> checkIdlOrder(const std::vector<Member>& idl);

}  // namespace reviri::membertable

#endif  // REVIRI_TESTS_COM_MEMBER_TABLE_H_
