// tools/verbs_device.cpp - the modem information, phonebook and character
// set verbs of the reviri tool.
#include <CLI/CLI.hpp>

#include "base/at_errors.h"
#include "base/command_args.h"
#include "tools/context.h"
#include "tools/message_checks.h"
#include "tools/query_answer.h"

namespace reviri::cli {
namespace {

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \"");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \"");
  return s.substr(first, last - first + 1);
}

std::string quotedArg(const std::string& s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s;
  return "\"" + s + "\"";
}

// One line of the info verb: what the modem answered, or why it did not.
struct InfoField {
  const char* label;
  const char* key;
  const char* command;
};

constexpr InfoField kInfoFields[] = {
    {"charge", "charge", "AT+CAOC"},          {"revision", "revision", "AT+CGMR"},
    {"IMEI", "imei", "AT+CGSN"},              {"model", "model", "AT+CGMM"},
    {"manufacturer", "manufacturer", "AT+CGMI"},
};

// "label:" padded to the value column; further lines of a value line up.
std::string infoLine(const std::string& label, const QueryAnswer& answer) {
  constexpr std::size_t kColumn = 14;
  const std::string head = label + ":" + std::string(kColumn - std::min(kColumn - 1, label.size() + 1), ' ');
  if (!answer.available()) return head + "unavailable (" + answer.error + ")";
  std::string out = head;
  for (std::size_t i = 0; i < answer.lines.size(); ++i)
    out += (i == 0 ? "" : "\n" + std::string(kColumn, ' ')) + answer.lines[i];
  return out;
}

// The signal quality of a +CSQ answer: rssi 0-31 or 99 (unknown).
QueryAnswer signalOf(QueryAnswer answer, std::optional<long>& rssi) {
  if (!answer.available()) return answer;
  static const RE2 kCsq("(\\d+) *, *\\d+");
  std::string digits;
  const std::string value = answer.value().value_or("");
  if (RE2::FullMatch(value, kCsq, &digits)) rssi = answerNumber(digits, 99);
  if (!rssi || (*rssi > 31 && *rssi != 99)) {
    rssi.reset();
    answer.error = "the modem reported \"" + value + "\", not a signal quality";
    answer.lines.clear();
    return answer;
  }
  answer.lines = {std::to_string(*rssi) +
                  (*rssi == 99 ? " (unknown)" : " (" + std::to_string(-113 + 2 * *rssi) + " dBm)")};
  return answer;
}

// Each field from its own raw query, so that a modem's error shows as the
// error of that field (null in JSON, the reason under "errors") and never as
// its value.
int info(Context& ctx) {
  if (const int rc = ctx.open()) return rc;
  Reviri& m = ctx.modem();
  nlohmann::json json{{"ok", true}};
  nlohmann::json errors = nlohmann::json::object();
  std::optional<long> rssi;
  const QueryAnswer signal = signalOf(readQueryAnswer("AT+CSQ", m.at("AT+CSQ\r")), rssi);
  json["signal"] = rssi ? nlohmann::json(*rssi) : nlohmann::json(nullptr);
  if (!signal.available()) errors["signal"] = signal.error;
  std::string human = infoLine("signal", signal);
  int available = signal.available() ? 1 : 0;
  for (const InfoField& field : kInfoFields) {
    const QueryAnswer answer = readQueryAnswer(field.command, m.at(std::string(field.command) + "\r"));
    const auto value = answer.value();
    json[field.key] = value ? nlohmann::json(*value) : nlohmann::json(nullptr);
    if (!value) errors[field.key] = answer.error;
    available += value ? 1 : 0;
    human += "\n" + infoLine(field.label, answer);
  }
  if (!errors.empty()) json["errors"] = errors;
  ctx.print(human, json);
  return available > 0 ? kSuccess : kRefused;
}

struct PhonebookErrors : ReviriEvents {
  void SMSERR(const std::string& code) override { codes.push_back(code); }
  std::vector<std::string> codes;
};

int phonebookSelect(Context& ctx, const std::string& storage) {
  if (const std::string why = args::checkStorageNames("phonebook select: STORAGE", storage, 1); !why.empty())
    return ctx.fail(kUsage, why);
  if (const int rc = ctx.open()) return rc;
  const std::string answer = ctx.modem().selectphonebook(quotedArg(storage));
  if (finalResult(answer) != "OK") return ctx.fail(kRefused, "phonebook " + storage + " not selected: " + refusal(ctx, answer));
  ctx.print("phonebook " + trimmed(storage) + " selected", {{"ok", true}, {"storage", trimmed(storage)}});
  return kSuccess;
}

int phonebookCurrent(Context& ctx) {
  if (const int rc = ctx.open()) return rc;
  const std::string answer = ctx.modem().currentphonebook();
  static const RE2 kCpbs("\\+CPBS: *\"?(\\w+)\"?(?:,(\\d+),(\\d+))?");
  std::string storage, used, total;
  if (finalResult(answer) != "OK" || !RE2::PartialMatch(answer, kCpbs, &storage, &used, &total))
    return ctx.fail(kRefused, "phonebook query failed: " + refusal(ctx, answer));
  nlohmann::json json{{"ok", true}, {"storage", storage}};
  std::string human = storage;
  if (!used.empty()) {
    constexpr long kLargestBook = 1000000;
    const auto usedCount = answerNumber(used, kLargestBook), totalCount = answerNumber(total, kLargestBook);
    if (!usedCount || !totalCount)
      return ctx.fail(kRefused, "the modem reported an impossible phonebook size: " + used + " of " + total);
    json["used"] = *usedCount;
    json["total"] = *totalCount;
    human += " (" + used + " of " + total + " used)";
  }
  ctx.print(human, json);
  return kSuccess;
}

int phonebookRead(Context& ctx, const std::string& range) {
  if (const std::string why = args::checkIndexRange("phonebook read: RANGE", range); !why.empty())
    return ctx.fail(kUsage, why);
  if (const int rc = ctx.open()) return rc;
  PhonebookErrors errors;
  const int cookie = ctx.modem().advise(errors);
  std::vector<phonebookentry> entries;
  ctx.modem().readphonebook(range, entries);
  ctx.modem().unadvise(cookie);
  if (!errors.codes.empty())
    return ctx.fail(kRefused, "phonebook read failed: " + at_errors::describeResult("+CME ERROR: " + errors.codes.front()));
  if (!entries.empty()) entries.pop_back();  // the array's closing empty element
  nlohmann::json list = nlohmann::json::array();
  std::string human;
  for (const auto& e : entries) {
    const std::string number = numberOfType(e.cell, e.type);
    list.push_back({{"number", number}, {"type", integerJson(e.type)}, {"name", e.name}});
    human += (human.empty() ? "" : "\n") + number + "\t" + e.type + "\t" + e.name;
  }
  ctx.print(human.empty() ? "no entries" : human, {{"ok", true}, {"entries", list}});
  return kSuccess;
}

struct WriteArgs {
  std::string index, number, type, name;
};

std::string writeArgsProblem(const WriteArgs& a) {
  for (std::string why : {args::checkIndex("phonebook write: INDEX", a.index),
                          args::checkDialString("phonebook write: NUMBER", a.number),
                          args::checkNumberType("phonebook write: TYPE", a.type),
                          args::checkTextForQuotes("phonebook write: NAME", a.name)})
    if (!why.empty()) return why;
  return {};
}

int phonebookWrite(Context& ctx, const WriteArgs& a) {
  if (const std::string why = writeArgsProblem(a); !why.empty()) return ctx.fail(kUsage, why);
  if (const int rc = ctx.open()) return rc;
  Reviri& m = ctx.modem();
  // The control writes names as UCS2 hex digits whatever the modem's
  // character set, so the modem is told to read them as UCS2.
  const std::string charset = m.phoneucs2charset();
  if (finalResult(charset) != "OK")
    ctx.err << "reviri: warning: the modem did not switch to UCS2 (" << refusal(ctx, charset)
            << "); the name may be stored as hex digits\n";
  const std::string answer = m.phonebookwrite(a.index, quotedArg(a.number), a.type, a.name);
  if (finalResult(answer) != "OK")
    return ctx.fail(kRefused, "phonebook entry " + a.index + " not written: " + refusal(ctx, answer));
  ctx.print("phonebook entry " + a.index + " written", {{"ok", true}, {"index", std::stoi(a.index)}});
  return kSuccess;
}

int charset(Context& ctx, const std::string& which) {
  if (!which.empty() && which != "ucs2" && which != "UCS2") return ctx.fail(kUsage, "charset: the only choice is ucs2");
  if (const int rc = ctx.open()) return rc;
  if (which.empty()) {
    const std::string current = trimmed(ctx.modem().phonecharset());
    if (current.empty() || current == "-1" || current.find("ERROR") != std::string::npos)
      return ctx.fail(kRefused, "character set query failed: " + (current.empty() ? "no answer" : current));
    ctx.print(current, {{"ok", true}, {"charset", current}});
    return kSuccess;
  }
  const std::string answer = ctx.modem().phoneucs2charset();
  if (finalResult(answer) != "OK") return ctx.fail(kRefused, "character set not switched: " + refusal(ctx, answer));
  ctx.print("character set UCS2", {{"ok", true}, {"charset", "UCS2"}});
  return kSuccess;
}

}  // namespace

void addDeviceVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  CLI::App* infoApp = app.add_subcommand("info", "signal, charge, revision, IMEI, model, manufacturer");
  verbs.push_back({infoApp, [](Context& ctx) { return info(ctx); }});

  CLI::App* book = app.add_subcommand("phonebook", "select, query, read and write the phonebook");
  book->require_subcommand(1);
  auto storage = std::make_shared<std::string>();
  CLI::App* select = book->add_subcommand("select", "select the phonebook storage (SM, ME, ON, ...)");
  select->add_option("storage", *storage, "storage name")->required();
  verbs.push_back({select, [storage](Context& ctx) { return phonebookSelect(ctx, *storage); }});
  CLI::App* current = book->add_subcommand("current", "show the selected phonebook storage");
  verbs.push_back({current, [](Context& ctx) { return phonebookCurrent(ctx); }});
  auto range = std::make_shared<std::string>();
  CLI::App* readBook = book->add_subcommand("read", "read entries, e.g. 1 or 1,10");
  readBook->add_option("range", *range, "index or first,last")->required();
  verbs.push_back({readBook, [range](Context& ctx) { return phonebookRead(ctx, *range); }});
  auto w = std::make_shared<WriteArgs>();
  CLI::App* writeBook = book->add_subcommand("write", "write one entry");
  writeBook->add_option("index", w->index, "entry index")->required();
  writeBook->add_option("number", w->number, "phone number")->required();
  writeBook->add_option("type", w->type, "type of number: 129 national, 145 international")->required();
  writeBook->add_option("name", w->name, "name")->required();
  verbs.push_back({writeBook, [w](Context& ctx) { return phonebookWrite(ctx, *w); }});

  auto which = std::make_shared<std::string>();
  CLI::App* charsetApp = app.add_subcommand("charset", "show the character set, or switch it to UCS2");
  charsetApp->add_option("set", *which, "ucs2 to switch");
  verbs.push_back({charsetApp, [which](Context& ctx) { return charset(ctx, *which); }});
}

}  // namespace reviri::cli
