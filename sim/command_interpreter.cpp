// sim/command_interpreter.cpp - the command interpreter of the simulated GSM modem.
#include "sim/command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "base/text.h"

namespace reviri::sim {
namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
// A client that never ends its PDU must not make the buffer grow forever.
constexpr std::size_t kMaxPduDigits = 2 * 200;
// The date some modems append to +CMGL and +CMGR headers (the "blanks" quirk).
constexpr const char* kStamp = ", \"26/12/07,13:00:00+04\"";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

// Splits command arguments on commas outside double quotes.
std::vector<std::string> splitArgs(std::string_view args) {
  std::vector<std::string> out;
  if (trim(args).empty()) return out;
  std::string cur;
  bool quoted = false;
  for (char c : args) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      out.push_back(trim(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(trim(cur));
  return out;
}

std::string unquote(const std::string& s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// A bare decimal argument, or -1.
int number(const std::string& s) {
  if (s.empty() || s.size() > 6) return -1;
  for (char c : s)
    if (c < '0' || c > '9') return -1;
  return std::stoi(s);
}

// Argument `i` as a number: `absent` when it was not given, -1 when invalid.
int intArg(const std::vector<std::string>& a, std::size_t i, int absent) {
  return i < a.size() ? number(a[i]) : absent;
}

std::string digitsOnly(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

// True when two numbers name the same subscriber: equal digits, or a national
// form ("0151...") whose digits without the trunk zero end the other.
bool sameSubscriber(std::string_view a, std::string_view b) {
  std::string da = digitsOnly(a), db = digitsOnly(b);
  if (da.empty() || db.empty()) return false;
  if (da == db) return true;
  if (da.size() > db.size()) std::swap(da, db);
  while (!da.empty() && da.front() == '0') da.erase(0, 1);
  return da.size() >= 6 && db.size() >= da.size() && db.compare(db.size() - da.size(), da.size(), da) == 0;
}

bool dialable(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#' || (c == '+' && i == 0))) return false;
  }
  return true;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

const char* cmeText(int code) {
  switch (code) {
    case 3: return "operation not allowed";
    case 4: return "operation not supported";
    case 20: return "memory full";
    case 21: return "invalid index";
    case 22: return "not found";
    case 24: return "text string too long";
    case 25: return "invalid characters in text string";
    case 26: return "dial string too long";
    case 27: return "invalid characters in dial string";
    case 11: return "SIM PIN required";
    case 12: return "SIM PUK required";
    case 16: return "incorrect password";
    default: return "unknown";
  }
}

}  // namespace

int CommandInterpreter::Storage::used() const {
  return static_cast<int>(std::count_if(slots.begin(), slots.end(),
                                        [](const auto& s) { return s.has_value(); }));
}

CommandInterpreter::CommandInterpreter(ModemHost& host, ModemIdentity identity) : host_(host), identity_(std::move(identity)) {
  setPin(identity_.pin);
  storages_["SM"].slots.resize(kSimSlots);
  storages_["ME"].slots.resize(kMeSlots);
  phonebooks_["SM"].capacity = 250;
  phonebooks_["ME"].capacity = 100;
  phonebooks_["ON"].capacity = 4;
  phonebooks_["ON"].entries[1] = {identity_.ownNumber, identity_.ownNumber.starts_with('+') ? 145 : 129,
                                  "Own number"};
}

// ---- Input -------------------------------------------------------------------

void CommandInterpreter::feed(std::string_view bytes) {
  if (silent_) return;
  finishSplitIndication();
  for (char c : bytes) {
    if (entry_ != Entry::kNone)
      feedPduByte(c);
    else
      feedCommandByte(c);
  }
}

void CommandInterpreter::feedCommandByte(char c) {
  if (c == kEsc) {  // abandons a half-typed line
    line_.clear();
    return;
  }
  if (echo_ && c != kCtrlZ) host_.output(std::string(1, c), false);
  switch (c) {
    case '\r': {
      std::string line;
      line.swap(line_);
      runLine(line);
      break;
    }
    case '\n':
    case kCtrlZ:
      break;
    case '\b':
      if (!line_.empty()) line_.pop_back();
      break;
    default:
      if (line_.size() < 1024) line_ += c;
  }
}

void CommandInterpreter::feedPduByte(char c) {
  if (c == kCtrlZ || c == kEsc) {
    finishPdu(c == kEsc);
    return;
  }
  if (echo_) host_.output(std::string(1, c), false);
  if (c == '\r' || c == '\n' || c == ' ') return;
  if (pdu_.size() < kMaxPduDigits + 2) pdu_ += c;
}

void CommandInterpreter::runLine(const std::string& raw) {
  const std::string line = trim(raw);
  if (line.size() < 2 || upper(line.substr(0, 2)) != "AT") {
    flushIndications();
    return;  // a modem ignores what does not start with AT
  }
  const std::string body = line.substr(2);
  if (body.empty() && quirk("refuse-at")) {
    emitResult({Result::kError, 0, {}});
    return;
  }
  std::size_t p = 0;
  while (p < body.size()) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(body[p])));
    std::string cmd;
    if (c == ' ' || c == ';') {
      ++p;
      continue;
    }
    if (c == '+' || c == '^' || c == '$' || c == '%' || c == '*') {
      bool inQuotes = false;
      while (p < body.size() && (inQuotes || body[p] != ';')) {
        if (body[p] == '"') inQuotes = !inQuotes;
        cmd += body[p++];
      }
    } else {
      cmd += c;
      ++p;
      if (c == '&' && p < body.size()) cmd += static_cast<char>(std::toupper(static_cast<unsigned char>(body[p++])));
      if (c == 'S') {
        while (p < body.size() && std::isdigit(static_cast<unsigned char>(body[p]))) cmd += body[p++];
        if (p < body.size() && (body[p] == '=' || body[p] == '?')) cmd += body[p++];
      }
      while (p < body.size() && std::isdigit(static_cast<unsigned char>(body[p]))) cmd += body[p++];
    }
    Result r = runCommand(cmd);
    if (!r.lines.empty()) {
      std::string block;
      for (const auto& l : r.lines) block += (block.empty() ? "" : "\r\n") + l;
      emitAnswer(block);
    }
    if (r.kind == Result::kPrompt) {
      host_.output("\r\n> ", true);
      return;
    }
    if (r.kind != Result::kOk) {
      emitResult(r);
      return;
    }
  }
  emitResult(Result{});
}

CommandInterpreter::Result CommandInterpreter::runCommand(const std::string& cmd) {
  if (cmd.empty()) return {};
  if (cmd[0] != '+' && cmd[0] != '^' && cmd[0] != '$' && cmd[0] != '%' && cmd[0] != '*')
    return runBasic(cmd);
  std::size_t end = cmd.find_first_of("=?");
  const std::string name = upper(cmd.substr(0, end));
  char kind = 'E';
  std::string args;
  if (end != std::string::npos) {
    if (cmd.compare(end, 2, "=?") == 0) {
      kind = 'T';
    } else if (cmd[end] == '?') {
      kind = 'R';
    } else {
      kind = 'S';
      args = cmd.substr(end + 1);
    }
  }
  return runExtended(name, kind, args);
}

CommandInterpreter::Result CommandInterpreter::runBasic(const std::string& cmd) {
  Result ok;
  if (cmd == "E" || cmd == "E0") {
    echo_ = quirks_.stickyEcho;
    return ok;
  }
  if (cmd == "E1") {
    echo_ = true;
    return ok;
  }
  if (cmd == "Z" || cmd == "Z0" || cmd == "&F" || cmd == "&F0") {
    echo_ = true;
    cmee_ = 1;
    cnmi_ = {0, 0, 0, 0, 0};
    charset_ = "GSM";
    return ok;
  }
  if (cmd == "I" || (cmd.size() == 2 && cmd[0] == 'I')) {
    ok.lines = {identity_.manufacturer + " " + identity_.model, "Revision: " + identity_.revision};
    return ok;
  }
  if (cmd == "H" || cmd == "H0" || cmd == "A") return endCall(cmd == "A");
  // Settings a modem accepts whose defaults are already what a client wants.
  static const char* const kAccepted[] = {"V", "V1", "Q", "Q0", "X0", "X1", "X2", "X3", "X4",
                                          "&C", "&C0", "&C1", "&D", "&D0", "&D1", "&D2", "&W",
                                          "&W0", "H", "H0", "L", "M", "M0"};
  for (const char* a : kAccepted)
    if (cmd == a) return ok;
  if (cmd[0] == 'S' && cmd.size() > 1 && (cmd.back() == '?' || cmd.find('=') != std::string::npos)) {
    if (cmd.back() == '?') ok.lines = {"000"};
    return ok;
  }
  return {Result::kError, 0, {}};
}

CommandInterpreter::Result CommandInterpreter::runExtended(const std::string& name, char kind, const std::string& args) {
  const std::vector<std::string> a = splitArgs(args);
  Result r;
  auto line = [&r](std::string l) {
    r.lines.push_back(std::move(l));
    return r;
  };
  auto identityAnswer = [&](const std::string& value) {
    if (kind == 'T') return Result{};
    if (kind != 'E') return Result{Result::kError, 0, {}};
    if (quirk("identity-error") && name != "+CIMI") return cmeError(10);
    r.lines = identityLines(name, value);
    return r;
  };
  if (name == "+CGMI" || name == "+GMI") return identityAnswer(identity_.manufacturer);
  if (name == "+CGMM" || name == "+GMM") return identityAnswer(identity_.model);
  if (name == "+CGMR" || name == "+GMR") return identityAnswer(identity_.revision);
  if (name == "+CGSN" || name == "+GSN") return identityAnswer(identity_.imei);
  if (name == "+CIMI") return identityAnswer(identity_.imsi);
  if (name == "+CMEE") {
    if (kind == 'R') return line("+CMEE: " + std::to_string(cmee_));
    if (kind == 'T') return line("+CMEE: (0-2)");
    const int v = intArg(a, 0, 0);
    if (kind != 'S' || v < 0 || v > 2) return cmeError(4);
    cmee_ = v;
    return r;
  }
  if (name == "+CSQ") {
    if (kind == 'T') return line("+CSQ: (0-31,99),(0-7,99)");
    if (kind != 'E') return cmeError(4);
    return line("+CSQ: " + std::to_string(signal_) + (quirk("blanks") ? ", 99" : ",99"));
  }
  if (name == "+CAOC") {
    if (kind == 'T') return line("+CAOC: (0-2)");
    if (kind == 'R') return line("+CAOC: 0");
    const int mode = intArg(a, 0, 0);
    if (mode < 0 || mode > 2) return cmeError(4);
    if (mode == 0) return line("+CAOC: \"000000\"");
    return r;
  }
  if (name == "+CLIP" || name == "+CRC" || name == "+CHUP") return callCommand(name, kind, a);
  if (name == "+CPIN") return pinCommand(kind, a);
  if (name == "+CREG" || name == "+CGREG") {
    // Registered at home; the read answer repeats the mode set, and mode 2
    // adds the location (area code and cell id) as real modems do. The packet
    // domain counts as registered only while attached (AT+CGATT).
    int& mode = name == "+CREG" ? cregMode_ : cgregMode_;
    if (kind == 'T') return line(name + ": (0-2)");
    if (kind == 'R') {
      const int stat = name == "+CGREG" && !attached_ ? 0 : 1;
      return line(name + ": " + std::to_string(mode) + "," + std::to_string(stat) +
                  (mode == 2 && stat == 1 ? ",\"00C3\",\"1A2B\"" : ""));
    }
    const int v = intArg(a, 0, -1);
    if (kind != 'S' || v < 0 || v > 2) return cmeError(4);
    mode = v;
    return r;
  }
  if (name == "+CGATT") {
    if (kind == 'T') return line("+CGATT: (0,1)");
    if (kind == 'R') return line("+CGATT: " + std::to_string(attached_ ? 1 : 0));
    const int v = intArg(a, 0, -1);
    if (kind != 'S' || v < 0 || v > 1) return cmeError(4);
    attached_ = v == 1;
    return r;
  }
  if (name == "+CMMS") {
    // "More messages to send": a real modem keeps the radio link open
    // between sends; here it changes nothing but is answered like one.
    if (kind == 'T') return line("+CMMS: (0-2)");
    if (kind == 'R') return line("+CMMS: " + std::to_string(moreMessages_));
    const int v = intArg(a, 0, -1);
    if (kind != 'S' || v < 0 || v > 2) return cmsError(302);
    moreMessages_ = v;
    return r;
  }
  if (name == "+COPS") {
    // The names in the three formats of AT+COPS=3,N: long, short, numeric.
    const std::string names[] = {identity_.operatorName, "Reviri", "26201"};
    const std::string sep = quirk("blanks") ? ", " : ",";
    if (kind == 'R')
      return line("+COPS: 0" + sep + std::to_string(copsFormat_) + sep + quoted(names[copsFormat_]) + sep + "7");
    if (kind == 'T')
      return line("+COPS: (2," + quoted(names[0]) + "," + quoted(names[1]) + "," + quoted(names[2]) +
                  "),,(0-4),(0-2)");
    if (kind == 'S' && intArg(a, 0, 0) == 3) {
      const int format = intArg(a, 1, -1);
      if (format < 0 || format > 2) return cmeError(4);
      copsFormat_ = format;
    }
    return r;
  }
  if (name == "+CFUN") {
    if (kind == 'R') return line("+CFUN: 1");
    if (kind == 'T') return line("+CFUN: (0,1,4),(0,1)");
    return r;
  }
  if (name == "+CBC") {
    if (kind == 'T') return r;
    return line("+CBC: 0,100");
  }
  if ((name == "+CNUM" || name == "+CSCA") && simLocked())
    return cmeError(pinState_ == PinState::kPin ? 11 : 12);
  if (name == "+CNUM") {
    if (kind == 'T') return r;
    return line("+CNUM: ," + quoted(identity_.ownNumber) + "," +
                (identity_.ownNumber.starts_with('+') ? "145" : "129"));
  }
  if (name == "+CSCA") {
    if (kind == 'R')
      return line("+CSCA: " + quoted(identity_.serviceCentre) + "," +
                  (identity_.serviceCentre.starts_with('+') ? "145" : "129"));
    if (kind == 'T') return r;
    if (kind != 'S' || a.empty() || !dialable(unquote(a[0]))) return cmsError(304);
    identity_.serviceCentre = unquote(a[0]);
    return r;
  }
  if (name == "+CSCS") {
    if (kind == 'R') return line("+CSCS: " + quoted(charset_));
    if (kind == 'T') return line("+CSCS: (\"GSM\",\"IRA\",\"8859-1\",\"UCS2\")");
    if (kind != 'S' || a.size() != 1) return cmeError(4);
    const std::string cs = upper(unquote(a[0]));
    if (cs != "GSM" && cs != "IRA" && cs != "8859-1" && cs != "UCS2") return cmeError(4);
    charset_ = cs;
    return r;
  }
  const bool smsCommand = name == "+CMGF" || name == "+CSMS" || name == "+CPMS" || name == "+CNMI" ||
                          name == "+CMGS" || name == "+CMGW" || name == "+CMSS" || name == "+CMGR" ||
                          name == "+CMGL" || name == "+CMGD";
  const bool phonebookCommand = name == "+CPBS" || name == "+CPBR" || name == "+CPBW";
  // ---- USSD ----
  if (name == "+CUSD") return ussd(kind, a);
  // A modem with a USSD session open sends no message until it ends.
  if ((name == "+CMGS" || name == "+CMSS") && ussdBusy()) return cmsError(302);
  if ((smsCommand || phonebookCommand) && simLocked())
    return cmeError(pinState_ == PinState::kPin ? 11 : 12);  // SIM PIN / SIM PUK required
  if (smsCommand) return sms(name, kind, a);
  if (phonebookCommand) return phonebook(name, kind, a);
  return {Result::kError, 0, {}};
}

// ---- Messages ------------------------------------------------------------------

CommandInterpreter::Result CommandInterpreter::sms(const std::string& name, char kind, const std::vector<std::string>& a) {
  Result r;
  auto line = [&r](std::string l) { r.lines.push_back(std::move(l)); };
  if (name == "+CMGF") {
    if (kind == 'R') line("+CMGF: 0");
    if (kind == 'T') line("+CMGF: (0)");
    if (kind == 'S' && (a.size() != 1 || a[0] != "0")) return cmsError(303);  // PDU mode only
    if (kind == 'E') return cmsError(303);
    return r;
  }
  if (name == "+CSMS") {
    if (kind == 'R') line("+CSMS: 0,1,1,1");
    if (kind == 'T') line("+CSMS: (0,1)");
    if (kind == 'S') {
      if (a.size() != 1 || (a[0] != "0" && a[0] != "1")) return cmsError(303);
      line("+CSMS: 1,1,1");
    }
    return r;
  }
  if (name == "+CPMS") {
    if (kind == 'T') {
      line("+CPMS: (\"SM\",\"ME\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")");
      return r;
    }
    if (kind == 'R') {
      line("+CPMS: " + quoted(mem1_) + "," + storageUsage(mem1_) + "," + quoted(mem2_) + "," +
           storageUsage(mem2_) + "," + quoted(mem3_) + "," + storageUsage(mem3_));
      return r;
    }
    if (kind != 'S' || a.empty() || a.size() > 3) return cmsError(302);
    std::vector<std::string> mems;
    for (const auto& m : a) {
      const std::string mem = upper(unquote(m));
      if (!storages_.count(mem)) return cmsError(302);
      mems.push_back(mem);
    }
    mem1_ = mems[0];
    if (mems.size() > 1) mem2_ = mems[1];
    if (mems.size() > 2) mem3_ = mems[2];
    line("+CPMS: " + storageUsage(mem1_) + "," + storageUsage(mem2_) + "," + storageUsage(mem3_));
    return r;
  }
  if (name == "+CNMI") {
    if (kind == 'R') {
      std::string v;
      for (int x : cnmi_) v += (v.empty() ? "" : ",") + std::to_string(x);
      line("+CNMI: " + v);
      return r;
    }
    if (kind == 'T') {
      line("+CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)");
      return r;
    }
    static constexpr int kMax[5] = {3, 3, 3, 2, 1};
    if (kind != 'S' || a.empty() || a.size() > 5) return cmsError(303);
    std::array<int, 5> next{0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].empty()) continue;
      const int v = number(a[i]);
      if (v < 0 || v > kMax[i]) return cmsError(303);
      next[i] = v;
    }
    cnmi_ = next;
    if (cnmi_[0] > 0) {
      // Indications buffered while the link was reserved (mode 0) are flushed
      // (bfr 0) or cleared (bfr 1) once the mode allows them again.
      if (cnmi_[4] == 0)
        for (auto& ind : bufferedIndications_) heldIndications_.push_back("\r\n" + ind + "\r\n");
      bufferedIndications_.clear();
    }
    return r;
  }
  if (name == "+CMGS" || name == "+CMGW") {
    if (kind == 'T') return r;
    const int len = intArg(a, 0, -1);
    if (kind != 'S' || len < 1 || len > 176) return cmsError(304);
    if (name == "+CMGW" && quirk("store-full-at-command") && storages_[mem2_].used() == static_cast<int>(storages_[mem2_].slots.size()))
      return cmsError(322);
    int status = 2;
    if (name == "+CMGW" && a.size() > 1) {
      status = number(a[1]);
      if (status < 0 || status > 3) return cmsError(304);
    }
    entry_ = name == "+CMGS" ? Entry::kSend : Entry::kWrite;
    entryLength_ = len;
    entryStatus_ = status;
    pdu_.clear();
    return {Result::kPrompt, 0, {}};
  }
  const int slotsOf1 = static_cast<int>(storages_[mem1_].slots.size());
  if (name == "+CMGD") {
    if (kind == 'T') {
      line("+CMGD: (1-" + std::to_string(slotsOf1) + "),(0-4)");
      return r;
    }
    const int index = intArg(a, 0, -1);
    const int flag = intArg(a, 1, 0);
    if (kind != 'S' || index < 0 || flag < 0 || flag > 4) return cmsError(304);
    if (quirk("refuse-delete")) return cmsError(500);
    auto& slots = storages_[mem1_].slots;
    if (flag == 0) {
      if (index < 1 || index > slotsOf1) return cmsError(321);
      slots[static_cast<std::size_t>(index - 1)].reset();
      return r;
    }
    // Flags 1-4 delete by status: read; read and sent; read, sent and
    // unsent; everything.
    for (auto& s : slots) {
      if (!s) continue;
      const int st = s->status;
      if ((st == 1) || (flag >= 2 && st == 3) || (flag >= 3 && st == 2) || flag == 4) s.reset();
    }
    return r;
  }
  if (name == "+CMGR") {
    if (kind == 'T') return r;
    const int index = intArg(a, 0, -1);
    if (kind != 'S' || index < 0) return cmsError(304);
    auto& slots = storages_[mem1_].slots;
    if (index < 1 || index > slotsOf1 || !slots[static_cast<std::size_t>(index - 1)]) return cmsError(321);
    Stored& m = *slots[static_cast<std::size_t>(index - 1)];
    line(quirk("blanks") ? "+CMGR: " + std::to_string(m.status) + ", \"\", " + std::to_string(m.tpduLength) + kStamp
                         : "+CMGR: " + std::to_string(m.status) + ",," + std::to_string(m.tpduLength));
    line(m.pdu);
    if (m.status == 0) m.status = 1;
    return r;
  }
  if (name == "+CMGL") {
    if (kind == 'T') {
      line("+CMGL: (0-4)");
      return r;
    }
    const int stat = intArg(a, 0, 0);
    if (stat < 0 || stat > 4) return cmsError(304);
    auto& slots = storages_[mem1_].slots;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (!slots[i] || (stat != 4 && slots[i]->status != stat)) continue;
      const std::string index = std::to_string(i + 1), status = std::to_string(slots[i]->status);
      const std::string length = std::to_string(slots[i]->tpduLength);
      line(quirk("blanks") ? "+CMGL: " + index + ", " + status + ", \"\", " + length + kStamp
                           : "+CMGL: " + index + "," + status + ",," + length);
      line(slots[i]->pdu);
      if (slots[i]->status == 0) slots[i]->status = 1;
    }
    return r;
  }
  if (name == "+CMSS") {
    if (kind == 'T') return r;
    const int index = intArg(a, 0, -1);
    if (kind != 'S' || index < 0) return cmsError(304);
    auto& slots = storages_[mem2_].slots;
    if (index < 1 || index > static_cast<int>(slots.size()) || !slots[static_cast<std::size_t>(index - 1)])
      return cmsError(321);
    Stored& m = *slots[static_cast<std::size_t>(index - 1)];
    std::string pdu = m.pdu;
    if (a.size() > 1 && !unquote(a[1]).empty()) {
      if (!dialable(unquote(a[1]))) return cmsError(304);
      pdu = withDestination(pdu, unquote(a[1]));
    }
    const auto parsed = parsePdu(pdu, -1, nullptr);
    if (!parsed || parsed->deliver) return cmsError(302);  // only outgoing messages go out
    const int mr = sendToNetwork(pdu, *parsed);
    m.status = 3;
    line("+CMSS: " + std::to_string(mr));
    return r;
  }
  return {Result::kError, 0, {}};
}

void CommandInterpreter::finishPdu(bool cancelled) {
  const Entry entry = entry_;
  entry_ = Entry::kNone;
  std::string hex;
  hex.swap(pdu_);
  if (cancelled) {
    emitResult(Result{});
    return;
  }
  std::string why;
  const auto parsed = parsePdu(hex, entryLength_, &why);
  if (!parsed || (entry == Entry::kSend && parsed->deliver)) {
    emitResult(cmsError(304));
    return;
  }
  if (entry == Entry::kSend) {
    if (refuses(*parsed)) {
      emitResult(cmsError(refuseCode_));
      return;
    }
    const int mr = sendToNetwork(hex, *parsed);
    if (quirk("silent-after-send")) {
      silent_ = true;  // the message went out, but nobody hears of it
      return;
    }
    if (quirk("swallow-pdu")) return;  // sent, never confirmed; the next command is answered
    emitAnswer("+CMGS: " + (quirk("huge-numbers") ? std::string("12345678901234567890") : std::to_string(mr)));
    emitResult(Result{});
    return;
  }
  auto& slots = storages_[mem2_].slots;
  const auto free = std::find_if(slots.begin(), slots.end(), [](const auto& s) { return !s; });
  if (free == slots.end()) {
    emitResult(cmsError(322));
    return;
  }
  *free = Stored{entryStatus_, withServiceCentre(upper(hex), identity_.serviceCentre), parsed->tpduLength};
  emitAnswer("+CMGW: " + std::to_string(free - slots.begin() + 1 + (quirk("huge-numbers") ? 123455 : 0)));
  emitResult(Result{});
}

void CommandInterpreter::setRefusal(int code, int count, bool laterPartsOnly) {
  refuseCode_ = code;
  refuseCount_ = count;
  refuseLaterPartsOnly_ = laterPartsOnly;
}

bool CommandInterpreter::refuses(const ParsedPdu& parsed) {
  if (refuseCount_ == 0) return false;
  if (refuseLaterPartsOnly_ && concatenatedPartNumber(parsed.udhHex) < 2) return false;
  if (refuseCount_ > 0) --refuseCount_;
  return true;
}

int CommandInterpreter::sendToNetwork(const std::string& pdu, const ParsedPdu& parsed) {
  reference_ = reference_ % 255 + 1;
  sent_.push_back({reference_, parsed.number, parsed.text, parsed.coding == MessageCoding::kUcs2, parsed.flash,
                   parsed.reportRequested, parsed.udhHex, upper(pdu)});
  host_.sentToNetwork(sent_.back());
  if (parsed.coding != MessageCoding::k8bit && sameSubscriber(parsed.number, identity_.ownNumber)) {
    // The network hands a message to its own sender back a moment later,
    // with its user-data header, so the parts of a long one can be joined.
    host_.after(kLoopbackDelay, [this, text = parsed.text, ucs2 = parsed.coding == MessageCoding::kUcs2,
                                 flash = parsed.flash, udh = parsed.udhHex] {
      receive(identity_.ownNumber, text, ucs2, flash, udh);
    });
  }
  if (parsed.reportRequested && reportStatus_ >= 0)
    host_.after(kReportDelay, [this, message = sent_.back()] { reportDelivery(message); });
  return reference_;
}

void CommandInterpreter::reportDelivery(const SentMessage& message) {
  const std::time_t now = std::time(nullptr);
  const std::string pdu =
      buildStatusReport(identity_.serviceCentre, message.reference, message.number, now, now, reportStatus_);
  const int tpduLength = static_cast<int>(pdu.size() / 2) - 1 - std::stoi(pdu.substr(0, 2), nullptr, 16);
  // AT+CNMI's <ds>: 1 routes the report to the client, 2 stores it and
  // announces where; 0 keeps it from the client altogether.
  if (cnmi_[3] == 1) {
    emitIndication("+CDS: " + std::to_string(tpduLength) + "\r\n" + pdu);
  } else if (cnmi_[3] == 2) {
    auto& slots = storages_[mem3_].slots;
    const auto free = std::find_if(slots.begin(), slots.end(), [](const auto& s) { return !s; });
    if (free == slots.end()) return;
    *free = Stored{0, pdu, tpduLength};
    emitIndication("+CDSI: " + quoted(mem3_) + "," + std::to_string(free - slots.begin() + 1));
  }
}

void CommandInterpreter::setPin(const std::string& pin) {
  identity_.pin = pin;
  pinState_ = pin.empty() ? PinState::kReady : PinState::kPin;
  pinAttemptsLeft_ = kPinAttempts;
}

CommandInterpreter::Result CommandInterpreter::pinCommand(char kind, const std::vector<std::string>& a) {
  Result r;
  if (kind == 'T') return r;
  if (kind == 'R') {
    r.lines.push_back(pinState_ == PinState::kReady ? "+CPIN: READY"
                      : pinState_ == PinState::kPin ? "+CPIN: SIM PIN"
                                                    : "+CPIN: SIM PUK");
    return r;
  }
  if (kind != 'S' || a.empty()) return cmeError(3);
  if (pinState_ == PinState::kReady) return cmeError(3);  // nothing asked for
  if (pinState_ == PinState::kPuk) return cmeError(16);   // unblocking is not simulated
  if (unquote(a[0]) == identity_.pin) {
    pinState_ = PinState::kReady;
    pinAttemptsLeft_ = kPinAttempts;
    return r;
  }
  if (--pinAttemptsLeft_ == 0) pinState_ = PinState::kPuk;
  return cmeError(16);  // incorrect password
}

std::string CommandInterpreter::receive(const std::string& sender, const std::string& text, bool ucs2, bool flash,
                           const std::string& udhHex) {
  std::string why;
  const auto pdu =
      buildDeliver(identity_.serviceCentre, sender, text, ucs2, flash, std::time(nullptr), &why, udhHex);
  if (!pdu) return why;
  const int tpduLength = static_cast<int>(pdu->size() / 2) - 1 - std::stoi(pdu->substr(0, 2), nullptr, 16);
  if (cnmi_[1] == 2) {  // routed straight to the client, not stored
    emitIndication("+CMT: ," + std::to_string(tpduLength) + "\r\n" + *pdu);
    return {};
  }
  auto& slots = storages_[mem3_].slots;
  const auto free = std::find_if(slots.begin(), slots.end(), [](const auto& s) { return !s; });
  if (free == slots.end()) return "receive storage " + mem3_ + " is full";
  *free = Stored{0, *pdu, tpduLength};
  if ((cnmi_[1] == 1 || cnmi_[1] == 3) && !quirk("lost-indication"))
    emitIndication("+CMTI: " + quoted(mem3_) + "," + std::to_string(free - slots.begin() + 1));
  return {};
}

std::string CommandInterpreter::setSimSlots(int slots) {
  if (slots < 1 || slots > 255) return "the SIM holds 1 to 255 messages, not " + std::to_string(slots);
  auto& sim = storages_["SM"].slots;
  const bool holdsBeyond = std::any_of(sim.begin() + std::min<std::ptrdiff_t>(slots, std::ssize(sim)), sim.end(),
                                       [](const auto& s) { return s.has_value(); });
  if (holdsBeyond) return "a message is stored beyond slot " + std::to_string(slots);
  sim.resize(static_cast<std::size_t>(slots));
  return {};
}

std::string CommandInterpreter::storageUsage(const std::string& name) const {
  const Storage& s = storages_.at(name);
  return std::to_string(s.used()) + "," + std::to_string(s.slots.size());
}

// ---- Phonebook ---------------------------------------------------------------------

std::string CommandInterpreter::encodeName(const std::string& utf8) const {
  if (charset_ != "UCS2") return text::utf8ToLatin1(utf8);
  return ucs2Hex(utf8);
}

std::optional<std::string> CommandInterpreter::decodeName(const std::string& raw) const {
  if (charset_ != "UCS2") return text::latin1ToUtf8(raw);
  if (raw.size() % 4 != 0) return std::nullopt;
  std::u16string units;
  for (std::size_t i = 0; i < raw.size(); i += 4) {
    int v = 0;
    for (std::size_t k = i; k < i + 4; ++k) {
      const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(raw[k])));
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      v = v * 16 + (c <= '9' ? c - '0' : c - 'A' + 10);
    }
    units += static_cast<char16_t>(v);
  }
  return text::utf16ToUtf8(units);
}

CommandInterpreter::Result CommandInterpreter::phonebook(const std::string& name, char kind, const std::vector<std::string>& a) {
  Result r;
  auto line = [&r](std::string l) { r.lines.push_back(std::move(l)); };
  Phonebook& book = phonebooks_[phonebook_];
  const std::string cap = std::to_string(book.capacity);
  if (name == "+CPBS") {
    if (kind == 'R') line("+CPBS: " + quoted(phonebook_) + "," + std::to_string(book.entries.size()) + "," + cap);
    if (kind == 'T') line("+CPBS: (\"SM\",\"ME\",\"ON\")");
    if (kind == 'E') return cmeError(4);
    if (kind == 'S') {
      const std::string store = a.empty() ? "" : upper(unquote(a[0]));
      if (!phonebooks_.count(store)) return cmeError(4);
      phonebook_ = store;
    }
    return r;
  }
  if (name == "+CPBR") {
    if (kind == 'T') {
      line("+CPBR: (1-" + cap + "),20,18");
      return r;
    }
    const int first = intArg(a, 0, -1);
    const int last = intArg(a, 1, first);
    if (kind != 'S' || first < 0 || last < 0 || a.size() > 2) return cmeError(4);
    if (first < 1 || last < first || last > book.capacity) return cmeError(21);
    for (auto it = book.entries.lower_bound(first); it != book.entries.end() && it->first <= last; ++it)
      line(phonebookLine(it->first, it->second));
    if (r.lines.empty() && first == last) return cmeError(22);
    return r;
  }
  if (name == "+CPBW") {
    if (kind == 'T') {
      line("+CPBW: (1-" + cap + "),20,(129,145,161),18");
      return r;
    }
    if (kind != 'S' || a.empty() || a.size() > 4) return cmeError(4);
    int index = 0;
    if (a[0].empty()) {
      for (index = 1; index <= book.capacity && book.entries.count(index); ++index) {
      }
      if (index > book.capacity) return cmeError(20);
    } else {
      index = number(a[0]);
      if (index < 1 || index > book.capacity) return cmeError(21);
    }
    if (a.size() == 1) {
      book.entries.erase(index);
      return r;
    }
    Contact c;
    c.number = unquote(a[1]);
    if (c.number.size() > 20) return cmeError(26);
    if (!dialable(c.number)) return cmeError(27);
    c.type = c.number.starts_with('+') ? 145 : 129;
    if (a.size() > 2 && !a[2].empty()) {
      c.type = number(a[2]);
      if (c.type < 0 || c.type > 255) return cmeError(4);
    }
    if (a.size() > 3) {
      const auto decoded = decodeName(unquote(a[3]));
      if (!decoded) return cmeError(25);
      if (text::utf16Length(*decoded) > 18) return cmeError(24);
      c.name = *decoded;
    }
    book.entries[index] = std::move(c);
    return r;
  }
  return {Result::kError, 0, {}};
}

// ---- Quirks of real devices ---------------------------------------------------------------

const std::vector<std::string>& CommandInterpreter::quirkNames() {
  static const std::vector<std::string> kNames{"echo", "noise", "glue", "blanks", "hex-names", "identity-error", "identity-lines",
                                               "stale-prompt", "refuse-at", "store-full-at-command",
                                               "huge-numbers", "silent-after-send", "swallow-pdu",
                                               "lost-indication", "ussd-before-ok", "ussd-packed",
                                               "ussd-ucs2", "ussd-text-only", "refuse-chup", "refuse-delete"};
  return kNames;
}

bool CommandInterpreter::setQuirk(std::string_view name, bool on) {
  const auto& names = quirkNames();
  if (std::find(names.begin(), names.end(), name) == names.end()) return false;
  if (bool* flag = name == "echo" ? &quirks_.stickyEcho : name == "noise" ? &quirks_.noise
                   : name == "glue" ? &quirks_.glue : nullptr) {
    *flag = on;
    return true;
  }
  if (on)
    namedQuirks_.insert(std::string(name));
  else
    namedQuirks_.erase(std::string(name));
  if (on && name == "stale-prompt") {
    // What an earlier client left behind: AT+CMGS answered with the prompt.
    line_.clear();
    entry_ = Entry::kSend;
    entryLength_ = 20;
    pdu_.clear();
  }
  return true;
}

std::vector<std::string> CommandInterpreter::identityLines(const std::string& name, const std::string& value) const {
  if (!quirk("identity-lines")) return {value};
  if (name == "+CGMR" || name == "+GMR") return {"+CGMR: " + value, "Build 2026-12-07"};
  return {(name.starts_with("+C") ? name : "+C" + name.substr(1)) + ": " + value};
}

std::string CommandInterpreter::phonebookLine(int index, const Contact& c) const {
  const std::string head = "+CPBR: " + std::to_string(index);
  if (quirk("hex-names")) return head + "," + quoted(c.number) + "," + std::to_string(c.type) + "," + ucs2Hex(c.name);
  if (quirk("blanks")) {
    // An entry without a number comes with an empty type; every entry with
    // an extra field after the name.
    const std::string type = c.number.empty() ? "" : std::to_string(c.type);
    return head + ", " + quoted(c.number) + ", " + type + ", " + quoted(encodeName(c.name)) + ", 0";
  }
  return head + "," + quoted(c.number) + "," + std::to_string(c.type) + "," + quoted(encodeName(c.name));
}

// ---- Output ----------------------------------------------------------------------------

CommandInterpreter::Result CommandInterpreter::cmsError(int code) const { return {Result::kCms, code, {}}; }
CommandInterpreter::Result CommandInterpreter::cmeError(int code) const { return {Result::kCme, code, {}}; }

void CommandInterpreter::emitAnswer(const std::string& text) { host_.output("\r\n" + text + "\r\n", true); }

void CommandInterpreter::emitResult(const Result& r) {
  std::string text;
  switch (r.kind) {
    case Result::kOk: text = "OK"; break;
    case Result::kError: text = "ERROR"; break;
    case Result::kCms: text = "+CMS ERROR: " + std::to_string(r.code); break;
    case Result::kCme:
      if (cmee_ == 0)
        text = "ERROR";
      else if (cmee_ == 1)
        text = "+CME ERROR: " + std::to_string(r.code);
      else
        text = std::string("+CME ERROR: ") + cmeText(r.code);
      break;
    case Result::kPrompt: break;
  }
  if (!text.empty()) {
    std::string out = "\r\n" + text + "\r\n";
    if (quirks_.noise) out = "\r\n^RSSI: 17\r\n" + out + "\r\n^BOOT: 20431218,0,0,4,0\r\n";
    if (quirks_.glue) {
      for (auto& ind : heldIndications_) out += ind;
      heldIndications_.clear();
    }
    host_.output(std::move(out), true);
  }
  flushIndications();
}

void CommandInterpreter::emitIndication(const std::string& text) {
  if (cnmi_[0] == 0) {
    bufferedIndications_.push_back(text);
    return;
  }
  heldIndications_.push_back("\r\n" + text + "\r\n");
  flushIndications();
}

void CommandInterpreter::unsolicited(const std::string& bytes) {
  heldIndications_.push_back(bytes);
  flushIndications();
}

void CommandInterpreter::flushIndications() {
  // A modem keeps indications back while the client is typing a command or
  // a PDU, so that they never land inside an answer.
  if (busy() || quirks_.glue) return;
  for (auto& ind : heldIndications_) outputIndication(std::move(ind));
  heldIndications_.clear();
}

void CommandInterpreter::outputIndication(std::string bytes) {
  if (quirks_.split <= 0 || !splitRest_.empty() ||
      bytes.size() <= static_cast<std::size_t>(quirks_.split)) {
    host_.output(std::move(bytes), true);
    return;
  }
  splitRest_ = bytes.substr(static_cast<std::size_t>(quirks_.split));
  bytes.resize(static_cast<std::size_t>(quirks_.split));
  host_.output(std::move(bytes), true);
  const int split = ++splitCount_;
  host_.after(std::chrono::seconds(1), [this, split] {
    if (split == splitCount_) finishSplitIndication();
  });
}

void CommandInterpreter::finishSplitIndication() {
  if (splitRest_.empty()) return;
  host_.output(std::move(splitRest_), true);
  splitRest_.clear();
}

std::vector<std::string> CommandInterpreter::dump() const {
  std::vector<std::string> out;
  out.push_back("echo " + std::string(echo_ ? "on" : "off") + ", cmee " + std::to_string(cmee_) +
                ", charset " + charset_ + ", signal " + std::to_string(signal_) +
                (silent_ ? ", silent" : "") + (entry_ != Entry::kNone ? ", at the message prompt" : ""));
  if (refuseCount_ != 0)
    out.push_back("refusing with +CMS ERROR: " + std::to_string(refuseCode_) +
                  (refuseLaterPartsOnly_ ? " later parts, " : ", ") +
                  (refuseCount_ < 0 ? std::string("until off") : std::to_string(refuseCount_) + " left"));
  std::string cnmi;
  for (int x : cnmi_) cnmi += (cnmi.empty() ? "" : ",") + std::to_string(x);
  out.push_back("cnmi " + cnmi + ", storages " + mem1_ + "," + mem2_ + "," + mem3_ +
                ", next reference " + std::to_string(reference_ % 255 + 1));
  for (const auto& [storeName, store] : storages_) {
    for (std::size_t i = 0; i < store.slots.size(); ++i) {
      if (!store.slots[i]) continue;
      const auto parsed = parsePdu(store.slots[i]->pdu, -1, nullptr);
      out.push_back("message " + storeName + " " + std::to_string(i + 1) + " status " +
                    std::to_string(store.slots[i]->status) + " " +
                    (parsed ? parsed->number + " " + parsed->text : "undecodable") + " pdu " +
                    store.slots[i]->pdu);
    }
  }
  for (const auto& [bookName, book] : phonebooks_)
    for (const auto& [index, c] : book.entries)
      out.push_back("phonebook " + bookName + " " + std::to_string(index) + " " + c.number + " " +
                    std::to_string(c.type) + " " + c.name);
  for (const auto& s : sent_)
    out.push_back("sent " + std::to_string(s.reference) + " " + s.number + (s.ucs2 ? " ucs2" : " 7bit") +
                  (s.flash ? " flash " : " ") + s.text);
  return out;
}

}  // namespace reviri::sim
