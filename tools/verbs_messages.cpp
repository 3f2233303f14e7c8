// tools/verbs_messages.cpp - the message verbs of the reviri tool: send,
// store, list, read, delete, send-stored, listen and demo.
#include <CLI/CLI.hpp>
#include <sstream>

#include "base/text.h"
#include "control/control_core.h"
#include "sim/sim_pdu.h"
#include "tools/context.h"

namespace reviri::cli {
namespace {

// Collects the control's events; prints them as they come when `live`.
struct EventLog : ReviriEvents {
  EventLog(Context& ctx, bool live) : ctx(ctx), live(live) {}

  void SMSReceived(const std::string& index, const std::string& cell, const std::string& msg) override {
    received.push_back({index, cell, msg});
    ++count;
    if (live)
      ctx.print("received " + index + " from " + cell + ": " + msg,
                {{"event", "SMSReceived"}, {"index", index}, {"sender", cell}, {"text", msg}});
  }
  void SMSERR(const std::string& code) override {
    errors.push_back(code);
    ++count;
    if (live) ctx.print("modem error " + code, {{"event", "SMSERR"}, {"error", code}});
  }
  void SMSSendOk(const std::string& code) override {
    references.push_back(code);
    ++count;
    if (live) ctx.print("send confirmed, reference " + code, {{"event", "SMSSendOk"}, {"reference", code}});
  }

  struct Received {
    std::string index, sender, text;
  };
  Context& ctx;
  bool live;
  int count = 0;
  std::vector<Received> received;
  std::vector<std::string> errors, references;
};

// Connects a sink for the life of a scope.
class Advised {
 public:
  Advised(Reviri& modem, ReviriEvents& sink) : modem_(modem), cookie_(modem.advise(sink)) {}
  ~Advised() { modem_.unadvise(cookie_); }
  Advised(const Advised&) = delete;
  Advised& operator=(const Advised&) = delete;

 private:
  Reviri& modem_;
  int cookie_;
};

bool dialable(const std::string& number) {
  if (number.empty() || number == "+") return false;
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (!((c >= '0' && c <= '9') || (c == '+' && i == 0))) return false;
  }
  return number.size() <= 21;
}

bool validIndex(const std::string& index) {
  return !index.empty() && index.size() <= 5 && index.find_first_not_of("0123456789") == std::string::npos;
}

// One message holds 160 septets (7-bit) or 70 UTF-16 units (UCS2). The
// control sends no longer texts whole (the UCS2 sends keep only the last 70
// characters), so the tool refuses them instead of losing their start.
std::string tooLong(const std::string& text, bool ucs2) {
  if (ucs2) {
    const std::size_t units = text::utf16Length(text);
    if (units > 70)
      return "--text has " + std::to_string(units) + " characters; one UCS2 message holds 70";
  } else {
    const std::size_t septets = sim::gsm7Septets(text::removeCrLf(text)).size();
    if (septets > 160)
      return "--text needs " + std::to_string(septets) + " septets; one 7-bit message holds 160";
  }
  return {};
}

struct MessageArgs {
  std::string to, text;
  bool ucs2 = false;
};

int checkMessageArgs(Context& ctx, const MessageArgs& a) {
  if (!dialable(a.to)) return ctx.fail(kUsage, "--to: give a phone number such as +4915112345678");
  if (const std::string why = tooLong(a.text, a.ucs2); !why.empty()) return ctx.fail(kUsage, why);
  return kSuccess;
}

int store(Context& ctx, const MessageArgs& a) {
  if (const int rc = checkMessageArgs(ctx, a)) return rc;
  if (const int rc = ctx.open()) return rc;
  const std::string index = a.ucs2 ? ctx.modem().UNIsmswrite(a.to, a.text) : ctx.modem().gsm7smswrite(a.to, a.text);
  if (index == "-1") return ctx.fail(kRefused, "the modem did not store the message (no +CMGW index in its answer)");
  ctx.print("stored at index " + index, {{"ok", true}, {"index", std::stoi(index)}, {"to", a.to}});
  return kSuccess;
}

int read(Context& ctx, const std::string& index, bool outgoing) {
  if (!validIndex(index)) return ctx.fail(kUsage, "INDEX: give a storage index such as 3");
  if (const int rc = ctx.open()) return rc;
  Reviri& m = ctx.modem();
  if (!(outgoing ? m.read_outsms(index) : m.read_insms(index)))
    return ctx.fail(kRefused, "message " + index + " could not be read (empty index, modem error or undecodable)");
  const std::string number = outgoing ? m.LastSendSms_sender() : m.LastReadSms_sender();
  const std::string text = outgoing ? m.LastSendSms_text() : m.LastReadSms_text();
  ctx.print((outgoing ? "to " : "from ") + number + ": " + text,
            {{"ok", true}, {"index", std::stoi(index)}, {"direction", outgoing ? "outgoing" : "received"},
             {"number", number}, {"text", text}});
  return kSuccess;
}

int remove(Context& ctx, const std::string& index) {
  if (!validIndex(index)) return ctx.fail(kUsage, "INDEX: give a storage index such as 3");
  if (const int rc = ctx.open()) return rc;
  const std::string answer = ctx.modem().delSIM(index);
  if (finalResult(answer) != "OK") return ctx.fail(kRefused, "message " + index + " was not deleted: " + refusal(ctx, answer));
  ctx.print("deleted message " + index, {{"ok", true}, {"index", std::stoi(index)}});
  return kSuccess;
}

int sendStored(Context& ctx, const std::string& index) {
  if (!validIndex(index)) return ctx.fail(kUsage, "INDEX: give a storage index such as 3");
  if (const int rc = ctx.open()) return rc;
  const std::string answer = ctx.modem().sendSIMother(index);
  static const RE2 kReference("\\+CMSS: (\\d+)");
  const std::string reference = capture(answer, kReference);
  if (reference.empty() || finalResult(answer) != "OK")
    return ctx.fail(kRefused, "stored message " + index + " was not sent: " + refusal(ctx, answer));
  ctx.print("sent stored message " + index + ", reference " + reference,
            {{"ok", true}, {"index", std::stoi(index)}, {"reference", std::stoi(reference)}});
  return kSuccess;
}

int demo(Context& ctx, const std::string& to) {
  if (const int rc = ctx.open()) return rc;
  std::string number = to;
  if (number.empty()) {
    if (!ctx.simulator()) return ctx.fail(kUsage, "--to is needed on a real modem (give its own number)");
    number = ctx.simulator()->identity().ownNumber;
  }
  if (!dialable(number)) return ctx.fail(kUsage, "--to: give a phone number such as +4915112345678");
  Reviri& m = ctx.modem();
  const std::string listen = m.startlisten();
  if (finalResult(listen) != "OK")
    return ctx.fail(kRefused, "the modem did not accept new-message indications: " + refusal(ctx, listen));
  EventLog log(ctx, false);
  Advised advised(m, log);
  const struct {
    bool ucs2;
    const char* text;
  } rounds[] = {{false, "Hello from Reviri"}, {true, "Grüße aus Reviri ✓"}};
  for (const auto& round : rounds) {
    const std::string answer = round.ucs2 ? m.UNIsmssubmit(number, round.text) : m.gsm7smssubmit(number, round.text);
    static const RE2 kReference("\\+CMGS: (\\d+)");
    const std::string reference = capture(answer, kReference);
    if (reference.empty()) return ctx.fail(kRefused, "the message was not sent: " + refusal(ctx, answer));
    ctx.print("sent to " + number + " (" + (round.ucs2 ? "UCS2" : "7-bit") + "), reference " + reference + ": " +
                  round.text,
              {{"event", "sent"}, {"to", number}, {"reference", std::stoi(reference)},
               {"coding", round.ucs2 ? "ucs2" : "7bit"}, {"text", round.text}});
    const std::size_t before = log.received.size();
    runUntil(m, [&] { return log.received.size() > before || Context::interrupted(); }, ctx.timeout());
    if (log.received.size() == before)
      return ctx.fail(kRefused, "the message did not come back within " +
                                    std::to_string(static_cast<int>(ctx.options.timeoutSeconds)) + " s");
    const auto& r = log.received.back();
    ctx.print("received back at index " + r.index + " from " + r.sender + ": " + r.text,
              {{"event", "SMSReceived"}, {"index", r.index}, {"sender", r.sender}, {"text", r.text}});
  }
  return kSuccess;
}

}  // namespace

void addMessageVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  auto addMessageOptions = [](CLI::App* sub, MessageArgs& a) {
    sub->add_option("--to", a.to, "destination number, e.g. +4915112345678")->required();
    sub->add_option("--text", a.text, "message text (UTF-8)")->required();
    sub->add_flag("--ucs2", a.ucs2, "UCS2 coding: any Unicode text, at most 70 characters");
  };
  auto storeArgs = std::make_shared<MessageArgs>();
  CLI::App* storeApp = app.add_subcommand("store", "store one message in the modem's memory");
  addMessageOptions(storeApp, *storeArgs);
  verbs.push_back({storeApp, [storeArgs](Context& ctx) { return store(ctx, *storeArgs); }});

  auto readIndex = std::make_shared<std::string>();
  auto outgoing = std::make_shared<bool>(false);
  CLI::App* readApp = app.add_subcommand("read", "read one stored message");
  readApp->add_option("index", *readIndex, "storage index")->required();
  readApp->add_flag("--outgoing", *outgoing, "the message is an outgoing one (SMS-SUBMIT)");
  verbs.push_back({readApp, [readIndex, outgoing](Context& ctx) { return read(ctx, *readIndex, *outgoing); }});

  auto deleteIndex = std::make_shared<std::string>();
  CLI::App* deleteApp = app.add_subcommand("delete", "delete one stored message");
  deleteApp->add_option("index", *deleteIndex, "storage index")->required();
  verbs.push_back({deleteApp, [deleteIndex](Context& ctx) { return remove(ctx, *deleteIndex); }});

  auto storedIndex = std::make_shared<std::string>();
  CLI::App* sendStoredApp = app.add_subcommand("send-stored", "send a stored message");
  sendStoredApp->add_option("index", *storedIndex, "storage index")->required();
  verbs.push_back({sendStoredApp, [storedIndex](Context& ctx) { return sendStored(ctx, *storedIndex); }});

  auto demoTo = std::make_shared<std::string>();
  CLI::App* demoApp = app.add_subcommand("demo", "send to the modem's own number and show the messages coming back");
  demoApp->add_option("--to", *demoTo, "own number of a real modem (default: the simulated modem's)");
  verbs.push_back({demoApp, [demoTo](Context& ctx) { return demo(ctx, *demoTo); }});
}

}  // namespace reviri::cli
