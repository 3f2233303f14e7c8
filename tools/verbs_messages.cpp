// tools/verbs_messages.cpp - the message verbs of the reviri tool: send,
// store, list, read, delete, send-stored, listen and demo.
#include <CLI/CLI.hpp>
#include <sstream>

#include <cmath>

#include "base/at_errors.h"
#include "base/command_args.h"
#include "base/text.h"
#include "control/state/control_core.h"
#include "sim/sim_pdu.h"
#include "sms/gsm0340_tpdu.h"
#include "tools/context.h"
#include "tools/message_checks.h"

namespace reviri::cli {
namespace {

// The PDU of a +CMGR answer: the line after the +CMGR: header, or "".
std::string readPdu(const std::string& answer) {
  std::istringstream lines(tidy(answer));
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("+CMGR:")) return std::getline(lines, line) ? line : std::string();
  return {};
}

// The control gives numbers without their "+"; the number as the PDU of
// `answer` (a +CMGR answer) holds it, with "+" when its type of number is
// international. `number` itself when the answer is of another message.
std::string withPlus(const std::string& number, const std::string& answer) {
  if (number.empty() || number.starts_with('+')) return number;
  try {
    const sms::Tpdu tpdu = sms::decodeTpdu(readPdu(answer));
    const sms::Address* address = nullptr;
    if (const auto* deliver = std::get_if<sms::Deliver>(&tpdu)) address = &deliver->originator;
    if (const auto* submit = std::get_if<sms::Submit>(&tpdu)) address = &submit->recipient;
    if (address && address->number == "+" + number) return address->number;
  } catch (const std::exception&) {
    // Not a PDU of a message: the number stays as the control gave it.
  }
  return number;
}


// Collects the control's events; prints them as they come when `live`.
struct EventLog : ReviriEvents {
  EventLog(Context& ctx, bool live) : ctx(ctx), live(live) {}

  void SMSReceived(const std::string& index, const std::string& cell, const std::string& msg) override {
    const std::string sender = withPlus(cell, ctx.lastAnswer());
    received.push_back({index, sender, msg});
    ++count;
    if (live)
      ctx.print("received " + index + " from " + sender + ": " + msg,
                {{"ok", true}, {"event", "SMSReceived"}, {"index", integerJson(index)}, {"sender", sender}, {"text", msg}});
  }
  void SMSERR(const std::string& code) override {
    errors.push_back(code);
    ++count;
    if (live) ctx.print("modem error " + code, {{"ok", true}, {"event", "SMSERR"}, {"error", integerJson(code)}});
  }
  void SMSSendOk(const std::string& code) override {
    references.push_back(code);
    ++count;
    if (live) ctx.print("send confirmed, reference " + code, {{"ok", true}, {"event", "SMSSendOk"}, {"reference", integerJson(code)}});
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

std::string indexProblem(const std::string& index) { return args::checkIndex("INDEX", index); }

struct MessageArgs {
  std::string to, text;
  bool ucs2 = false;
};

int checkMessageArgs(Context& ctx, const MessageArgs& a) {
  if (const std::string why = messageProblem(a.to, a.text, a.ucs2); !why.empty()) return ctx.fail(kUsage, why);
  return kSuccess;
}

// A message reference (TP-MR) is one octet.
constexpr long kLargestReference = 255;

// Said when a send's confirmation did not come: the modem has the message
// and may still send it, so "not sent" would invite sending it twice.
std::string unconfirmed(const Context& ctx) {
  return "no confirmation from the modem within " + seconds(ctx.options.timeoutSeconds) +
         " s; the modem may still send the message, so check before sending it again";
}

// Why a send that waited for its confirmation did not bring a reference.
std::string sendFailure(const Context& ctx, const std::string& answer) {
  if (answer == "-1" || answer == "-1-1") return "the message was not sent: the port is closed";
  if (answer.find('>') == std::string::npos)
    return "the message was not sent: " + refusal(ctx, answer);
  const std::string final = finalResult(answer);
  if (final.empty() || final == ">") return unconfirmed(ctx);
  if (final == "OK") return "the modem accepted the message without a reference; it has probably been sent";
  return "the modem refused the message: " + at_errors::describeResult(final);
}

// Why a store gave no index: the modem's error, an index no storage has,
// or no answer.
std::string storeFailure(const Context& ctx) {
  const std::string& answer = ctx.lastAnswer();
  static const RE2 kIndex("\\+CMGW: *(\\d+)");
  if (const std::string index = capture(answer, kIndex); !index.empty())
    return "it answered with the impossible index " + index;
  const std::string final = finalResult(answer);
  if (final.empty() || final == ">" || final == "OK") return "no +CMGW index in its answer (" + refusal(ctx, answer) + ")";
  return at_errors::describeResult(final);
}

int store(Context& ctx, const MessageArgs& a) {
  if (const int rc = checkMessageArgs(ctx, a)) return rc;
  if (const int rc = ctx.open()) return rc;
  const std::string index = a.ucs2 ? ctx.modem().UNIsmswrite(a.to, a.text) : ctx.modem().gsm7smswrite(a.to, a.text);
  if (index == "-1") return ctx.fail(kRefused, "the modem did not store the message: " + storeFailure(ctx));
  ctx.print("stored at index " + index, {{"ok", true}, {"index", std::stoi(index)}, {"to", a.to}});
  return kSuccess;
}

int read(Context& ctx, const std::string& index, bool outgoing) {
  if (const std::string why = indexProblem(index); !why.empty()) return ctx.fail(kUsage, why);
  if (const int rc = ctx.open()) return rc;
  Reviri& m = ctx.modem();
  if (!(outgoing ? m.read_outsms(index) : m.read_insms(index)))
    return ctx.fail(kRefused, "message " + index + " could not be read (empty index, modem error or undecodable)");
  const std::string number = withPlus(outgoing ? m.LastSendSms_sender() : m.LastReadSms_sender(), ctx.lastAnswer());
  const std::string text = outgoing ? m.LastSendSms_text() : m.LastReadSms_text();
  ctx.print((outgoing ? "to " : "from ") + number + ": " + text,
            {{"ok", true}, {"index", std::stoi(index)}, {"direction", outgoing ? "outgoing" : "received"},
             {"number", number}, {"text", text}});
  return kSuccess;
}

int remove(Context& ctx, const std::string& index) {
  if (const std::string why = indexProblem(index); !why.empty()) return ctx.fail(kUsage, why);
  if (const int rc = ctx.open()) return rc;
  const std::string answer = ctx.modem().delSIM(index);
  if (finalResult(answer) != "OK") return ctx.fail(kRefused, "message " + index + " was not deleted: " + refusal(ctx, answer));
  ctx.print("deleted message " + index, {{"ok", true}, {"index", std::stoi(index)}});
  return kSuccess;
}

int sendStored(Context& ctx, const std::string& index) {
  if (const std::string why = indexProblem(index); !why.empty()) return ctx.fail(kUsage, why);
  if (const int rc = ctx.open()) return rc;
  const std::string answer = ctx.modem().sendSIMother(index);
  static const RE2 kReference("\\+CMSS: *(\\d+)");
  const std::string reference = capture(answer, kReference);
  if (reference.empty() || finalResult(answer) != "OK")
    return ctx.fail(kRefused, "stored message " + index + " was not sent: " + refusal(ctx, answer));
  const auto number = answerNumber(reference, kLargestReference);
  if (!number)
    return ctx.fail(kRefused, "the modem confirmed stored message " + index + " with an impossible reference \"" +
                                  reference + "\"; it has probably been sent");
  ctx.print("sent stored message " + index + ", reference " + std::to_string(*number),
            {{"ok", true}, {"index", std::stoi(index)}, {"reference", *number}});
  return kSuccess;
}

int demo(Context& ctx, const std::string& to) {
  if (const int rc = ctx.open()) return rc;
  std::string number = to;
  if (number.empty()) {
    if (!ctx.simulator()) return ctx.fail(kUsage, "--to is needed on a real modem (give its own number)");
    number = ctx.simulator()->identity().ownNumber;
  }
  if (const std::string why = numberProblem("--to", number); !why.empty()) return ctx.fail(kUsage, why);
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
    static const RE2 kReference("\\+CMGS: *(\\d+)");
    const std::string reference = capture(answer, kReference);
    const auto referenceNumber = answerNumber(reference, kLargestReference);
    if (!referenceNumber) return ctx.fail(kRefused, sendFailure(ctx, answer));
    ctx.print("sent to " + number + " (" + (round.ucs2 ? "UCS2" : "7-bit") + "), reference " + reference + ": " +
                  round.text,
              {{"ok", true}, {"event", "sent"}, {"to", number}, {"reference", *referenceNumber},
               {"coding", round.ucs2 ? "ucs2" : "7bit"}, {"text", round.text}});
    const std::size_t before = log.received.size();
    runUntil(m, [&] { return log.received.size() > before || Context::interrupted(); }, ctx.timeout());
    if (log.received.size() == before)
      return ctx.fail(kRefused, "the message did not come back within " +
                                    std::to_string(static_cast<int>(ctx.options.timeoutSeconds)) + " s");
    const auto& r = log.received.back();
    ctx.print("received back at index " + r.index + " from " + r.sender + ": " + r.text,
              {{"ok", true}, {"event", "SMSReceived"}, {"index", integerJson(r.index)}, {"sender", r.sender}, {"text", r.text}});
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
