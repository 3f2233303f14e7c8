// tools/verbs_modem.cpp - the verbs of the reviri tool that work on the typed
// messaging API (reviri::Modem): send, listen, list and ussd. Messages are whole
// (long texts split and joined), numbers carry "+" when international, and
// delivery reports are events of their own.
#include <CLI/CLI.hpp>
#include <charconv>
#include <map>
#include <thread>

#include "reviri/modem.h"
#include "tools/context.h"
#include "tools/message_checks.h"

namespace reviri::cli {

using nlohmann::json;

// The least time a sent message's confirmation is awaited by default.
constexpr std::chrono::milliseconds kLeastSendWait{30000};

json errorJson(const Error& e) {
  json j{{"kind", errorKindName(e.kind)}, {"meaning", e.meaning}};
  j["code"] = e.code >= 0 ? json(e.code) : json(nullptr);
  if (!e.command.empty()) j["command"] = e.command;
  return j;
}

int failWith(Context& ctx, int exitCode, const Error& e) {
  ctx.endProgress();
  ctx.err << "reviri: " << e.describe() << "\n";
  if (ctx.options.json) ctx.out << json{{"ok", false}, {"error", errorJson(e)}}.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  ctx.out.flush();
  return exitCode;
}

namespace {

int exitFor(const Error& e) {
  switch (e.kind) {
    case Error::Kind::kPortInUse:
    case Error::Kind::kIo: return kNoPort;
    case Error::Kind::kInvalidArgument: return kUsage;
    default: return kRefused;
  }
}

// Opens the typed Modem on --port (or the built-in simulated modem) with the
// global options; the same port rules and exit statuses as the other verbs.
class Session {
 public:
  explicit Session(Context& ctx) : ctx_(ctx) {}
  ~Session() { modem_.reset(); }

  // `beforeOpen` sets callbacks; `keep` leaves handed-over messages stored.
  int open(std::function<void(Modem&)> beforeOpen = {}, bool keep = false,
           UssdRequestCoding ussdCoding = UssdRequestCoding::kAuto) {
    if (const int rc = ctx_.prepare()) return rc;
    ModemOptions o;
    o.settings = ctx_.options.settings;
    o.pin = ctx_.options.pin;
    if (!ctx_.options.storage.empty()) {
      const auto storage = parseStorage(ctx_.options.storage);
      if (!storage) return ctx_.fail(kUsage, "--storage: give SM (SIM), ME (phone) or MT (both)");
      o.storage = *storage;
    }
    o.commandTimeout = ctx_.timeout();
    // A network may take a while to confirm a message; the default wait
    // gives it that time, a wait the user chose is kept.
    o.sendTimeout = ctx_.options.timeoutGiven ? ctx_.timeout() : std::max(ctx_.timeout(), kLeastSendWait);
    o.sleep = ctx_.sleeper();
    o.deleteAfterHandOver = !keep;
    o.ussdCoding = ussdCoding;
    modem_ = std::make_unique<Modem>(std::move(o));
    if (ctx_.options.verbose)
      modem_->onTrace = [this](TraceDirection d, std::string_view line) {
        ctx_.endProgress();
        ctx_.err << "reviri: " << (d == TraceDirection::kWritten ? "> " : "< ") << line << "\n";
      };
    if (beforeOpen) beforeOpen(*modem_);
    try {
      modem_->open(ctx_.device());
    } catch (const ModemError& e) {
      return failWith(ctx_, exitFor(e.error()), e.error());
    }
    return kSuccess;
  }
  Modem& modem() { return *modem_; }

 private:
  Context& ctx_;
  std::unique_ptr<Modem> modem_;
};

std::string joinInts(const std::vector<int>& v) {
  std::string out;
  for (int x : v) out += (out.empty() ? "" : ",") + std::to_string(x);
  return out;
}

json messageJson(const IncomingMessage& m) {
  json j{{"ok", true},
         {"event", "message"},
         {"sender", m.sender},
         {"text", m.text},
         {"time", m.serviceCentreTime.iso8601()},
         {"coding", codingName(m.coding)},
         {"parts", m.concat ? m.concat->total : 1},
         {"partsReceived", m.partsReceived},
         {"complete", m.complete},
         {"storage", storageName(m.storage)},
         {"indexes", m.indexes}};
  j["class"] = m.messageClass >= 0 ? json(m.messageClass) : json(nullptr);
  return j;
}

std::string messageLine(const IncomingMessage& m) {
  std::string head = "message from " + m.sender + " at " + m.serviceCentreTime.iso8601();
  if (m.concat) head += " (" + std::to_string(m.partsReceived) + " of " + std::to_string(m.concat->total) + " parts)";
  if (!m.complete) head += " INCOMPLETE";
  return head + ": " + m.text;
}

json reportJson(const StatusReport& r) {
  json j{{"ok", r.outcome != StatusReport::Outcome::kFailed},
         {"event", "status-report"},
         {"reference", r.reference},
         {"recipient", r.recipient},
         {"status", r.status},
         {"meaning", r.meaning},
         {"outcome", reportOutcomeName(r.outcome)},
         {"time", r.serviceCentreTime.iso8601()},
         {"discharged", r.dischargeTime.iso8601()},
         {"matched", r.matched}};
  if (r.matched) {
    j["messageId"] = r.messageId;
    j["part"] = r.partNumber;
    j["parts"] = r.partCount;
  }
  if (r.index >= 0) j["index"] = r.index;
  return j;
}

std::string reportLine(const StatusReport& r) {
  std::string line = std::string(reportOutcomeName(r.outcome)) + ": reference " + std::to_string(r.reference) +
                     " to " + r.recipient;
  if (r.matched && r.partCount > 1)
    line += " (part " + std::to_string(r.partNumber) + " of " + std::to_string(r.partCount) + ")";
  return line + " - " + r.meaning + " (status " + std::to_string(r.status) + ")";
}

// One line per call, however often it rang.
json callJson(const IncomingCall& c) {
  return {{"ok", true}, {"event", "call"}, {"number", c.number}, {"time", ZonedTime{c.time, 0}.iso8601()}};
}

std::string callLine(const IncomingCall& c) {
  return "call from " + (c.number.empty() ? std::string("withheld") : c.number) + " at " +
         ZonedTime{c.time, 0}.iso8601();
}

// ---- send ----

struct SendArgs : SubmitOptions {
  double reportSeconds = 120;
};

int send(Context& ctx, const SendArgs& a) {
  if (a.ucs2 && a.gsm7) return ctx.fail(kUsage, "--ucs2 and --7bit exclude each other");
  if (const std::string why = secondsProblem("--report-wait", a.reportSeconds); !why.empty())
    return ctx.fail(kUsage, why);
  if (const std::string why = a.gsm7 ? alphabetProblem(a.text) : std::string(); !why.empty())
    return ctx.fail(kUsage, why + "; leave out --7bit for automatic coding, or give --ucs2");
  OutgoingMessage m;
  m.to = a.to;
  m.text = a.text;
  m.coding = a.ucs2 ? MessageCoding::kUcs2 : a.gsm7 ? MessageCoding::kGsm7 : MessageCoding::kAuto;
  m.flash = a.flash;
  m.allowSplit = !a.noSplit;
  m.statusReport = a.report;
  m.smsc = a.smsc;
  if (a.validityMinutes > 0) m.validity = std::chrono::minutes(a.validityMinutes);
  try {
    Modem::check(m);  // refused before the modem is touched
  } catch (const std::invalid_argument& e) {
    Error refused;
    refused.kind = Error::Kind::kInvalidArgument;
    refused.meaning = std::string("--") + e.what();
    return failWith(ctx, kUsage, refused);
  }
  Session session(ctx);
  std::vector<StatusReport> reports;
  std::uint64_t messageId = 0;
  int delivered = 0, failed = 0;
  const int rc = session.open([&](Modem& modem) {
    modem.onStatusReport = [&](const StatusReport& r) {
      if (!r.matched || r.messageId != messageId) return;
      reports.push_back(r);
      if (r.outcome == StatusReport::Outcome::kDelivered) ++delivered;
      if (r.outcome == StatusReport::Outcome::kFailed) ++failed;
      ctx.print(reportLine(r), reportJson(r));
    };
  });
  if (rc) return rc;
  const SendResult result = session.modem().send(m);
  messageId = result.messageId;
  if (!result.ok()) {
    Error e = result.error;
    if (result.outcome == SendResult::Outcome::kMaybeSent)
      e.meaning += " (no second try: it could deliver the message twice)";
    if (!result.references.empty())
      e.meaning += "; parts 1-" + std::to_string(result.references.size()) + " of " + std::to_string(result.parts) +
                   " went out";
    return failWith(ctx, kRefused, e);
  }
  ctx.print("sent to " + a.to + " in " + std::to_string(result.parts) + (result.parts == 1 ? " part" : " parts") +
                " (" + std::string(codingName(result.coding)) + "), reference" +
                (result.parts == 1 ? " " : "s ") + joinInts(result.references),
            {{"ok", true},
             {"event", "sent"},
             {"to", a.to},
             {"coding", codingName(result.coding)},
             {"parts", result.parts},
             {"references", result.references},
             {"reference", result.references.empty() ? json(nullptr) : json(result.references.front())},
             {"attempts", result.attempts},
             {"messageId", result.messageId},
             {"flash", a.flash}});
  if (!a.report) return kSuccess;
  // Each part gets its own report; the message is delivered when all are.
  Context::watchInterrupts();
  const auto deadline = deadlineAfterSeconds(a.reportSeconds);
  while (delivered + failed < result.parts && !Context::interrupted() && std::chrono::steady_clock::now() < deadline)
    session.modem().poll(std::chrono::milliseconds(100));
  if (failed > 0) {
    const auto bad = std::find_if(reports.begin(), reports.end(),
                                  [](const StatusReport& r) { return r.outcome == StatusReport::Outcome::kFailed; });
    Error e;
    e.kind = Error::Kind::kModem;
    e.code = bad->status;
    e.meaning = "not delivered: " + bad->meaning;
    return failWith(ctx, kRefused, e);
  }
  if (delivered < result.parts) {
    Error e;
    e.kind = Error::Kind::kTimeout;
    e.meaning = std::to_string(delivered) + " of " + std::to_string(result.parts) +
                " delivery reports came within the time given";
    return failWith(ctx, kRefused, e);
  }
  return kSuccess;
}

// ---- listen ----

struct ListenArgs {
  bool keep = false, autodel = false;
  double seconds = 0;
  int count = 0;
};

int listen(Context& ctx, const ListenArgs& a) {
  if (const std::string why = secondsProblem("--seconds", a.seconds); !why.empty())
    return ctx.fail(kUsage, why + " (0: until Ctrl-C)");
  if (a.keep && a.autodel) return ctx.fail(kUsage, "--keep and --autodel exclude each other");
  Session session(ctx);
  int events = 0;
  const int rc = session.open([&](Modem& modem) {
    modem.onMessage = [&](const IncomingMessage& m) {
      ++events;
      ctx.print(messageLine(m), messageJson(m));
    };
    modem.onStatusReport = [&](const StatusReport& r) {
      ++events;
      ctx.print(reportLine(r), reportJson(r));
    };
    modem.onCall = [&](const IncomingCall& c) {
      ++events;
      ctx.print(callLine(c), callJson(c));
    };
    modem.onError = [&](const Error& e) {
      ctx.endProgress();
      ctx.err << "reviri: " << e.describe() << "\n";
      if (ctx.options.json) ctx.print("", {{"ok", false}, {"event", "error"}, {"error", errorJson(e)}});
    };
  }, a.keep);
  if (rc) return rc;
  Context::watchInterrupts();
  if (!ctx.options.json) {
    ctx.err << "reviri: listening";
    if (a.seconds > 0) ctx.err << " for " << a.seconds << " s";
    ctx.err << "; Ctrl-C stops\n";
  }
  Modem& modem = session.modem();
  // The backlog first: messages stored before listening began.
  modem.processBacklog();
  const auto deadline =
      a.seconds > 0 ? deadlineAfterSeconds(a.seconds) : std::chrono::steady_clock::time_point::max();
  while (!Context::interrupted() && (a.count == 0 || events < a.count) && std::chrono::steady_clock::now() < deadline)
    modem.poll(std::chrono::milliseconds(100));
  if (a.count > 0 && events < a.count && !Context::interrupted())
    return ctx.fail(kRefused, std::to_string(events) + " of " + std::to_string(a.count) +
                                  " events arrived in the time given");
  return kSuccess;
}

// ---- list ----

const char* statusName(StoredMessage::Status s) {
  switch (s) {
    case StoredMessage::Status::kUnread: return "unread";
    case StoredMessage::Status::kRead: return "read";
    case StoredMessage::Status::kUnsent: return "unsent";
    case StoredMessage::Status::kSent: return "sent";
  }
  return "?";
}

int list(Context& ctx) {
  Session session(ctx);
  if (const int rc = session.open()) return rc;
  std::vector<StoredMessage> stored;
  try {
    stored = session.modem().list();
  } catch (const ModemError& e) {
    return failWith(ctx, kRefused, e.error());
  }
  json messages = json::array();
  std::string human;
  for (const auto& s : stored) {
    json j{{"index", s.index}, {"status", statusName(s.status)}, {"ok", s.kind != StoredMessage::Kind::kUndecodable}};
    std::string line = std::to_string(s.index) + "\t";
    switch (s.kind) {
      case StoredMessage::Kind::kIncoming:
        j.update({{"direction", "received"}, {"number", s.incoming.sender}, {"text", s.incoming.text},
                  {"time", s.incoming.serviceCentreTime.iso8601()}, {"coding", codingName(s.incoming.coding)}});
        if (s.incoming.concat)
          j["concat"] = {{"reference", s.incoming.concat->reference}, {"total", s.incoming.concat->total}};
        line += "received\t" + s.incoming.sender + "\t" + s.incoming.text;
        break;
      case StoredMessage::Kind::kOutgoing:
        j.update({{"direction", "outgoing"}, {"number", s.recipient}, {"text", s.text}});
        line += "outgoing\t" + s.recipient + "\t" + s.text;
        break;
      case StoredMessage::Kind::kStatusReport:
        j.update({{"direction", "status-report"}, {"number", s.report->recipient}, {"report", reportJson(*s.report)}});
        line += "report\t" + s.report->recipient + "\t" + reportLine(*s.report);
        break;
      case StoredMessage::Kind::kUndecodable:
        j.update({{"direction", "unknown"}, {"pdu", s.pdu}});
        line += "unknown\t(could not be decoded)\t" + s.pdu;
        break;
    }
    messages.push_back(j);
    human += (human.empty() ? "" : "\n") + line;
  }
  ctx.print(human.empty() ? "no stored messages" : human, {{"ok", true}, {"messages", messages}});
  return kSuccess;
}

// ---- ussd ----

struct UssdArgs {
  std::string code;
  std::vector<std::string> replies;
  double seconds = 30;
  std::string coding = "auto";
};

int ussd(Context& ctx, const UssdArgs& a) {
  if (const std::string why = secondsProblem("--timeout", a.seconds); !why.empty()) return ctx.fail(kUsage, why);
  const std::map<std::string, UssdRequestCoding> codings{
      {"auto", UssdRequestCoding::kAuto}, {"text", UssdRequestCoding::kText}, {"packed", UssdRequestCoding::kPacked7}};
  if (codings.count(a.coding) == 0) return ctx.fail(kUsage, "--coding: give auto, text or packed, not \"" + a.coding + "\"");
  Session session(ctx);
  if (const int rc = session.open([&](Modem&) {}, true, codings.at(a.coding))) return rc;
  Modem& modem = session.modem();
  UssdOptions options;
  options.timeout = std::chrono::milliseconds(static_cast<long long>(a.seconds * 1000));
  const auto show = [&ctx](const UssdAnswer& answer) {
    const std::string status(ussdStatusName(answer.status));
    ctx.print(status + (answer.text.empty() ? "" : ": " + answer.text),
              {{"ok", true}, {"status", status}, {"text", answer.text}, {"dcs", answer.dcs >= 0 ? json(answer.dcs) : json(nullptr)}});
  };
  try {
    UssdAnswer answer = modem.ussd(a.code, options);
    show(answer);
    for (std::size_t i = 0; i < a.replies.size(); ++i) {
      if (!answer.open()) {
        Error ended;
        ended.kind = Error::Kind::kProtocol;
        ended.meaning = "the session ended before reply " + std::to_string(i + 1) + " (\"" + a.replies[i] + "\")";
        return failWith(ctx, kRefused, ended);
      }
      answer = modem.ussdReply(a.replies[i], options);
      show(answer);
    }
    // Left open, the session would hold the modem until the network gives up.
    modem.ussdCancel();
  } catch (const std::invalid_argument& e) {
    return ctx.fail(kUsage, e.what());
  } catch (const ModemError& e) {
    return failWith(ctx, kRefused, e.error());
  }
  return kSuccess;
}

}  // namespace

void addModemVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  auto u = std::make_shared<UssdArgs>();
  CLI::App* ussdApp = app.add_subcommand("ussd", "send a USSD code (*100#) and print each answer of the network");
  ussdApp->add_option("code", u->code, "the USSD code, e.g. *100#")->required();
  ussdApp->add_option("--reply", u->replies, "answer a menu with this (repeat for each level, in order)");
  ussdApp->add_option("--timeout", u->seconds, "seconds to wait for each answer of the network (default 30)");
  ussdApp->add_option("--coding", u->coding, "how the request is written first: auto, text or packed (7-bit hex); "
                                              "the other form follows a refusal");
  verbs.push_back({ussdApp, [u](Context& ctx) { return ussd(ctx, *u); }});

  auto s = std::make_shared<SendArgs>();
  CLI::App* sendApp = app.add_subcommand("send", "send a message; long texts go out in parts");
  addSubmitOptions(*sendApp, *s);
  sendApp->add_flag("--report", s->report, "ask for delivery reports and wait for them (exit 0 only when delivered)");
  sendApp->add_option("--report-wait", s->reportSeconds, "seconds to wait for delivery reports (default 120)")
      ->check(CLI::PositiveNumber);
  verbs.push_back({sendApp, [s](Context& ctx) { return send(ctx, *s); }});

  auto l = std::make_shared<ListenArgs>();
  CLI::App* listenApp = app.add_subcommand(
      "listen", "print stored messages first, then new ones, each whole message once, delivery reports and calls");
  listenApp->add_flag("--keep", l->keep, "leave messages in the modem after printing them");
  listenApp->add_flag("--autodel", l->autodel, "delete messages after printing them (the default)");
  listenApp->add_option("--seconds", l->seconds, "stop after this many seconds")->check(CLI::NonNegativeNumber);
  listenApp->add_option("--count", l->count, "stop after this many events (exit 1 if fewer came)")
      ->check(CLI::NonNegativeNumber);
  verbs.push_back({listenApp, [l](Context& ctx) { return listen(ctx, *l); }});

  CLI::App* listApp = app.add_subcommand("list", "list and decode every stored message in one listing");
  verbs.push_back({listApp, [](Context& ctx) { return list(ctx); }});
}

}  // namespace reviri::cli
