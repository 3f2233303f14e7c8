// tests/com/member_table.cpp - parsers for the IDL and the public header, and
// the comparison of the members they declare.
#include "com/member_table.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace reviri::membertable {
namespace {

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Collapses runs of white space to one space and drops spaces around
// punctuation that never needs them, so types compare as written.
std::string normalizeType(const std::string& s) {
  std::string out;
  for (char c : trim(s)) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    if ((c == '*' || c == '&' || c == '<' || c == '>' || c == '(' || c == ')') && !out.empty() &&
        out.back() == ' ')
      out.pop_back();
    out += c;
  }
  return out;
}

bool isIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string stripComments(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {  // copy string literals whole
      const std::size_t end = text.find('"', i + 1);
      out += text.substr(i, end - i + 1);
      i = end;
    } else if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
      out += '\n';
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i) + 1;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Splits at `sep` outside brackets and string literals.
std::vector<std::string> splitTopLevel(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string current;
  int depth = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (!quoted) {
      if (c == '(' || c == '[' || c == '{' || c == '<') ++depth;
      if (c == ')' || c == ']' || c == '}' || c == '>') --depth;
      if (c == sep && depth == 0) {
        parts.push_back(current);
        current.clear();
        continue;
      }
    }
    current += c;
  }
  parts.push_back(current);
  return parts;
}

// The text between the braces that follow `opener`.
std::string blockAfter(const std::string& text, const std::string& opener) {
  const std::size_t at = text.find(opener);
  if (at == std::string::npos) throw std::runtime_error("not found: " + opener);
  const std::size_t open = text.find('{', at);
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = open; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (quoted) continue;
    if (text[i] == '{') ++depth;
    if (text[i] == '}' && --depth == 0) return text.substr(open + 1, i - open - 1);
  }
  throw std::runtime_error("unbalanced braces after " + opener);
}

// Replaces inline function bodies (braces outside parentheses) by ';'.
std::string dropBodies(const std::string& text) {
  std::string out;
  int parens = 0, braces = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (!quoted) {
      if (c == '(') ++parens;
      if (c == ')') --parens;
      if (parens == 0 && c == '{') {
        if (braces++ == 0) out += ';';
        continue;
      }
      if (parens == 0 && c == '}') {
        --braces;
        continue;
      }
    }
    if (braces == 0) out += c;
  }
  return out;
}

std::string unquote(const std::string& s) {
  const std::string t = trim(s);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
  return t;
}

// "[attrs] rest": returns the attributes and leaves `rest`.
std::vector<std::string> takeAttributes(std::string& decl) {
  decl = trim(decl);
  if (decl.empty() || decl.front() != '[') return {};
  int depth = 0;
  std::size_t end = 0;
  for (std::size_t i = 0; i < decl.size(); ++i) {
    if (decl[i] == '[') ++depth;
    if (decl[i] == ']' && --depth == 0) {
      end = i;
      break;
    }
  }
  std::vector<std::string> attrs;
  for (const std::string& a : splitTopLevel(decl.substr(1, end - 1), ',')) attrs.push_back(trim(a));
  decl = trim(decl.substr(end + 1));
  return attrs;
}

// Splits "type name" at the last identifier.
std::pair<std::string, std::string> typeAndName(const std::string& text) {
  const std::string t = trim(text);
  std::size_t b = t.size();
  while (b > 0 && isIdentChar(t[b - 1])) --b;
  return {normalizeType(t.substr(0, b)), t.substr(b)};
}

struct Signature {
  std::string result;
  std::string name;
  std::string params;
  std::string trailer;
};

Signature splitSignature(const std::string& decl) {
  const std::size_t open = decl.find('(');
  if (open == std::string::npos) throw std::runtime_error("not a function: " + decl);
  int depth = 0;
  std::size_t close = open;
  for (std::size_t i = open; i < decl.size(); ++i) {
    if (decl[i] == '(') ++depth;
    if (decl[i] == ')' && --depth == 0) {
      close = i;
      break;
    }
  }
  auto [result, name] = typeAndName(decl.substr(0, open));
  return {result, name, decl.substr(open + 1, close - open - 1), trim(decl.substr(close + 1))};
}

Member parseIdlDecl(std::string decl, bool event) {
  Member m;
  for (const std::string& a : takeAttributes(decl)) {
    if (a.rfind("id(", 0) == 0) m.dispid = std::strtol(a.c_str() + 3, nullptr, 0);
    if (a == "propget") m.kind = Kind::kPropGet;
    if (a == "propput") m.kind = Kind::kPropPut;
  }
  if (event) m.kind = Kind::kEvent;
  const Signature sig = splitSignature(decl);
  m.name = sig.name;
  if (trim(sig.params).empty()) return m;
  for (std::string p : splitTopLevel(sig.params, ',')) {
    const std::vector<std::string> attrs = takeAttributes(p);
    auto has = [&](const char* a) { return std::find(attrs.begin(), attrs.end(), a) != attrs.end(); };
    auto [type, name] = typeAndName(p);
    if (has("retval")) {
      m.result = type.substr(0, type.size() - 1);  // the pointer's target
      continue;
    }
    Param param{name, type, has("out"), std::nullopt};
    for (const std::string& a : attrs)
      if (a.rfind("defaultvalue(", 0) == 0)
        param.defaultValue = unquote(a.substr(13, a.size() - 14));
    if (param.defaultValue && !has("optional"))
      throw std::runtime_error(m.name + ": a default without [optional]");
    m.params.push_back(param);
  }
  return m;
}

std::vector<Member> parseIdlBlock(const std::string& block, bool event) {
  std::vector<Member> members;
  for (std::string decl : splitTopLevel(block, ';')) {
    for (const char* label : {"properties:", "methods:"}) {
      const std::size_t at = decl.find(label);
      if (at != std::string::npos) decl.erase(at, std::string(label).size());
    }
    if (trim(decl).empty()) continue;
    members.push_back(parseIdlDecl(decl, event));
  }
  return members;
}

std::vector<Member> parseCppDecls(const std::string& block, bool events) {
  std::vector<Member> members;
  for (std::string decl : splitTopLevel(dropBodies(block), ';')) {
    for (const char* label : {"public:", "protected:"}) {
      const std::size_t at = decl.find(label);
      if (at != std::string::npos) decl.erase(at, std::string(label).size());
    }
    decl = trim(decl);
    if (decl.rfind("virtual ", 0) == 0) decl = decl.substr(8);
    if (decl.empty() || decl.find('(') == std::string::npos) continue;
    if (decl.rfind("static ", 0) == 0 || decl.rfind("explicit ", 0) == 0 || decl[0] == '~' ||
        decl.rfind("Reviri", 0) == 0 || decl.find("operator") != std::string::npos)
      continue;
    const Signature sig = splitSignature(decl);
    Member m;
    m.kind = events ? Kind::kEvent : Kind::kMethod;
    m.name = sig.name;
    m.result = sig.result;
    if (sig.trailer.rfind("const", 0) == 0) m.kind = Kind::kPropGet;  // a const getter
    if (!trim(sig.params).empty()) {
      for (const std::string& p : splitTopLevel(sig.params, ',')) {
        const std::vector<std::string> parts = splitTopLevel(p, '=');
        auto [type, name] = typeAndName(parts[0]);
        Param param{name, type, type.back() == '&' && type.rfind("const ", 0) != 0, std::nullopt};
        if (parts.size() > 1) param.defaultValue = unquote(parts[1]);
        m.params.push_back(param);
      }
    }
    members.push_back(m);
  }
  return members;
}

// The Automation type of a C++ parameter type.
std::string automationType(const std::string& cpp) {
  static const std::map<std::string, std::string> kTypes = {
      {"const std::string&", "BSTR"},
      {"std::string&", "BSTR*"},
      {"std::int16_t", "short"},
      {"double", "double"},
      {"bool", "VARIANT_BOOL"},
      {"std::vector<phonebookentry>&", "SAFEARRAY(phonebookentry)*"},
  };
  const auto it = kTypes.find(cpp);
  return it == kTypes.end() ? "?" + cpp : it->second;
}

// Whether an IDL result fits a C++ result: strings come back as BSTR or
// Variant, members without a C++ result as an empty Variant or nothing.
bool resultFits(const std::string& idl, const std::string& cpp) {
  if (cpp == "std::string") return idl == "BSTR" || idl == "VARIANT";
  if (cpp == "bool") return idl == "VARIANT_BOOL";
  if (cpp == "double") return idl == "double";
  if (cpp == "void") return idl.empty() || idl == "VARIANT";
  return false;
}

std::string describe(const Param& p) {
  return p.type + " " + p.name + (p.byRef ? " (by reference)" : "") +
         (p.defaultValue ? " = \"" + *p.defaultValue + "\"" : "");
}

// `checkNames` is off for property puts, whose value parameter is named
// differently on the two sides.
void compareParams(const std::string& name, const std::vector<Param>& idl,
                   const std::vector<Param>& cpp, std::vector<std::string>& diffs,
                   bool checkNames = true) {
  if (idl.size() != cpp.size()) {
    diffs.push_back(name + ": " + std::to_string(idl.size()) + " parameters in the IDL, " +
                    std::to_string(cpp.size()) + " in C++");
    return;
  }
  // COM passes these by reference, but the methods never change them, so
  // C++ takes them by const reference.
  static const std::vector<std::string> kUnchangedByRef = {"at(ins)", "at2(ins)"};
  for (std::size_t i = 0; i < idl.size(); ++i) {
    const Param& a = idl[i];
    Param b = cpp[i];
    const std::string key = name + "(" + b.name + ")";
    if (a.byRef && b.type == "const std::string&" &&
        std::find(kUnchangedByRef.begin(), kUnchangedByRef.end(), key) != kUnchangedByRef.end())
      b.type = "std::string&", b.byRef = true;
    const std::string type = automationType(b.type);
    if ((checkNames && a.name != b.name) || a.type != type || a.byRef != b.byRef || a.defaultValue != b.defaultValue)
      diffs.push_back(name + ": parameter " + std::to_string(i + 1) + " is " + describe(a) +
                      " in the IDL but " + describe(b) + " (" + type + ") in C++");
  }
}

}  // namespace

std::vector<Member> parseIdlInterface(const std::string& idl) {
  return parseIdlBlock(blockAfter(stripComments(idl), "interface _Reviri"), false);
}

std::vector<Member> parseIdlEvents(const std::string& idl) {
  return parseIdlBlock(blockAfter(stripComments(idl), "dispinterface __Reviri"), true);
}

// The header without its export marks: "class REVIRI_API Reviri" reads as
// "class Reviri".
std::string withoutExportMarks(std::string text) {
  const std::string mark = "REVIRI_API ";
  for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.erase(at, mark.size());
  return text;
}

std::vector<Member> parseHeaderClass(const std::string& header) {
  std::string body = blockAfter(withoutExportMarks(stripComments(header)), "class Reviri {");
  const std::size_t priv = body.find("private:");
  if (priv != std::string::npos) body.resize(priv);
  std::vector<Member> decls = parseCppDecls(body, false);
  // A const getter Name() with a setter setName(v) is a property.
  std::vector<Member> members;
  for (const Member& m : decls) {
    if (m.kind == Kind::kPropGet) {
      const std::string setter = "set" + m.name;
      const bool hasSetter = std::any_of(decls.begin(), decls.end(),
                                         [&](const Member& s) { return s.name == setter; });
      if (!hasSetter) {
        Member method = m;
        method.kind = Kind::kMethod;
        members.push_back(method);
        continue;
      }
      members.push_back(m);
      Member put{Kind::kPropPut, m.name, 0, {}, "void"};
      const auto s = std::find_if(decls.begin(), decls.end(),
                                  [&](const Member& d) { return d.name == setter; });
      put.params = s->params;
      members.push_back(put);
      continue;
    }
    if (m.name.rfind("set", 0) == 0 &&
        std::any_of(decls.begin(), decls.end(), [&](const Member& g) {
          return g.kind == Kind::kPropGet && "set" + g.name == m.name;
        }))
      continue;  // the setter of a property, listed with its getter
    members.push_back(m);
  }
  return members;
}

std::vector<Member> parseHeaderEvents(const std::string& header) {
  return parseCppDecls(blockAfter(withoutExportMarks(stripComments(header)), "class ReviriEvents {"), true);
}

const std::vector<std::string>& cppOnlyMembers() {
  // The host-side hooks of the C++ class: COM hosts get the same through the
  // connection point (advise), the message pump and the server itself.
  static const std::vector<std::string> kOnly = {
      "advise",      "unadvise",       "setEventPump", "serialDescriptor", "MSComm1_OnComm",
      "waitForData", "resize",         "width",        "height",
      "inimodem(device)",
  };
  return kOnly;
}

std::vector<std::string> compareInterface(const std::vector<Member>& idl,
                                          const std::vector<Member>& cpp) {
  std::vector<std::string> diffs;
  auto isOnly = [](const Member& m) {
    const auto& only = cppOnlyMembers();
    const std::string overload = m.name + "(" + (m.params.empty() ? "" : m.params[0].name) + ")";
    return std::find(only.begin(), only.end(), m.name) != only.end() ||
           std::find(only.begin(), only.end(), overload) != only.end();
  };

  // Properties: same names in the same order, each a get and a put.
  std::vector<std::string> idlProps, cppProps;
  for (const Member& m : idl)
    if (m.kind == Kind::kPropGet) idlProps.push_back(m.name);
  for (const Member& m : cpp)
    if (m.kind == Kind::kPropGet) cppProps.push_back(m.name);
  if (idlProps != cppProps) {
    std::string a, b;
    for (auto& n : idlProps) a += " " + n;
    for (auto& n : cppProps) b += " " + n;
    diffs.push_back("properties differ: IDL" + a + "; C++" + b);
  }

  for (const Member& m : idl) {
    std::vector<const Member*> matches;
    for (const Member& c : cpp)
      if (c.name == m.name && c.kind == m.kind && !isOnly(c)) matches.push_back(&c);
    if (matches.size() != 1) {
      diffs.push_back(m.name + ": " + std::to_string(matches.size()) +
                      " matching C++ members for the IDL's one");
      continue;
    }
    const Member& c = *matches.front();
    compareParams(m.name, m.params, c.params, diffs, m.kind != Kind::kPropPut);
    if (m.kind != Kind::kPropPut && !resultFits(m.result, c.result))
      diffs.push_back(m.name + ": result " + (m.result.empty() ? "none" : m.result) +
                      " in the IDL, " + c.result + " in C++");
  }
  for (const Member& c : cpp) {
    if (isOnly(c)) continue;
    const bool inIdl = std::any_of(idl.begin(), idl.end(), [&](const Member& m) {
      return m.name == c.name && m.kind == c.kind;
    });
    if (!inIdl) diffs.push_back(c.name + ": in C++ but not in the IDL");
  }
  return diffs;
}

std::vector<std::string> compareEvents(const std::vector<Member>& idl,
                                       const std::vector<Member>& cpp) {
  std::vector<std::string> diffs;
  if (idl.size() != cpp.size())
    diffs.push_back(std::to_string(idl.size()) + " events in the IDL, " +
                    std::to_string(cpp.size()) + " in C++");
  for (std::size_t i = 0; i < std::min(idl.size(), cpp.size()); ++i) {
    if (idl[i].name != cpp[i].name) {
      diffs.push_back("event " + std::to_string(i + 1) + " is " + idl[i].name + " in the IDL, " +
                      cpp[i].name + " in C++");
      continue;
    }
    compareParams(idl[i].name, idl[i].params, cpp[i].params, diffs);
  }
  return diffs;
}

std::vector<std::string> checkIdlOrder(const std::vector<Member>& idl) {
  std::vector<std::string> diffs;
  std::map<long, std::string> owner;
  long previous = -1;
  bool sawEncode = false;
  for (std::size_t i = 0; i < idl.size(); ++i) {
    const Member& m = idl[i];
    if (sawEncode) diffs.push_back(m.name + " follows ENCodeunicodestring, which must be last");
    if (m.name == "ENCodeunicodestring") sawEncode = true;
    const auto [it, fresh] = owner.emplace(m.dispid, m.name);
    if (!fresh && it->second != m.name)
      diffs.push_back(m.name + " shares DISPID " + std::to_string(m.dispid) + " with " + it->second);
    if (m.kind == Kind::kPropPut && (i == 0 || idl[i - 1].kind != Kind::kPropGet ||
                                     idl[i - 1].name != m.name))
      diffs.push_back(m.name + ": its put does not follow its get");
    if (!sawEncode && m.kind != Kind::kPropPut) {
      if (m.dispid <= previous)
        diffs.push_back(m.name + " is out of DISPID order");
      previous = m.dispid;
    }
  }
  return diffs;
}

}  // namespace reviri::membertable
