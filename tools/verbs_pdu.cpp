// tools/verbs_pdu.cpp - the pdu encode / decode verbs of the reviri tool:
// no modem needed. encode plans a message the way send does (coding chosen,
// long texts split) and prints every part's PDU; decode tells a received
// message, a stored outgoing one and a delivery report apart and shows their
// fields, the user-data header and the concatenation.
#include <CLI/CLI.hpp>
#include <random>

#include "sms/gsm0340_tpdu.h"
#include "sms/hex_octets.h"
#include "sms/submit_plan.h"
#include "tools/context.h"

namespace reviri::cli {
namespace {

using nlohmann::json;

int refuse(Context& ctx, const std::string& why) {
  Error e;
  e.kind = Error::Kind::kInvalidArgument;
  e.meaning = why;
  return failWith(ctx, kUsage, e);
}

// ---- encode ----

sms::SubmitRequest requestOf(const SubmitOptions& a) {
  sms::SubmitRequest r;
  r.to = a.to;
  r.text = a.text;
  r.coding = a.ucs2 ? MessageCoding::kUcs2 : a.gsm7 ? MessageCoding::kGsm7 : MessageCoding::kAuto;
  r.statusReport = a.report;
  r.flash = a.flash;
  if (a.validityMinutes > 0) r.validity = std::chrono::minutes(a.validityMinutes);
  r.smsc = a.smsc;
  r.allowSplit = !a.noSplit;
  // Two long messages encoded one after the other must not share a
  // reference, or a phone would join their parts.
  r.concatReference = static_cast<std::uint8_t>(std::random_device{}() & 0xFF);
  return r;
}

int pduEncode(Context& ctx, const SubmitOptions& a) {
  if (a.ucs2 && a.gsm7) return refuse(ctx, "--ucs2 and --7bit exclude each other");
  const sms::SubmitRequest request = requestOf(a);
  std::vector<sms::SubmitPart> parts;
  try {
    parts = sms::planSubmit(request);
  } catch (const std::invalid_argument& e) {
    return refuse(ctx, std::string("--") + e.what());
  }
  json pdus = json::array();
  std::string human;
  for (const sms::SubmitPart& p : parts) {
    pdus.push_back({{"part", p.partNumber}, {"pdu", p.pduHex}, {"length", p.tpduLength}});
    human += (human.empty() ? "" : "\n") + ("part " + std::to_string(p.partNumber) + "/" +
                                            std::to_string(p.partCount) + " length " +
                                            std::to_string(p.tpduLength) + " pdu " + p.pduHex);
  }
  const bool concatenated = parts.size() > 1;
  ctx.print(human, {{"ok", true},
                    {"to", a.to},
                    {"coding", codingName(sms::countParts(a.text, request.coding).coding)},
                    {"parts", parts.size()},
                    {"reference", concatenated ? json(request.concatReference) : json(nullptr)},
                    {"pdus", pdus}});
  return kSuccess;
}

// ---- decode ----

// The fields of a decoded PDU, in order, for both outputs.
class Fields {
 public:
  void add(const std::string& key, const json& value, const std::string& shown) {
    json_[key] = value;
    // Keys line up in a column; the last line gets no newline.
    if (!human_.empty()) human_ += "\n";
    constexpr std::size_t kColumn = 18;
    human_ += key + std::string(kColumn - std::min(kColumn - 1, key.size()), ' ') + shown;
  }
  void add(const std::string& key, const std::string& value) { add(key, value, value); }
  void add(const std::string& key, int value) { add(key, value, std::to_string(value)); }
  void addFlag(const std::string& key, bool value) { add(key, value, value ? "yes" : "no"); }
  void addNumber(const std::string& key, const sms::Address& a) {
    add(key, a.number.empty() ? json(nullptr) : json(a.number), a.number.empty() ? "(none)" : a.number);
  }
  void addTime(const std::string& key, const std::optional<sms::Timestamp>& t) {
    const std::string iso = t ? ZonedTime{t->utc, t->zoneMinutes}.iso8601() : "";
    add(key, t ? json(iso) : json(nullptr), t ? iso : "(not a valid date)");
  }
  const nlohmann::json& object() const { return json_; }
  const std::string& human() const { return human_; }

 private:
  nlohmann::json json_{{"ok", true}};
  std::string human_;
};

void addCoding(Fields& f, const sms::DataCoding& c) {
  const std::string name(reviri::codingName(c.alphabet));
  f.add("coding", name, name + (c.compressed ? " (compressed)" : "") + " (DCS " + sms::hex::hexOf({c.raw}) + ")");
  f.add("class", c.messageClass ? json(*c.messageClass) : json(nullptr),
        c.messageClass ? std::to_string(*c.messageClass) + (*c.messageClass == 0 ? " (flash)" : "") : "none");
}

void addUserData(Fields& f, const sms::UserData& u) {
  if (const auto& c = u.concat)
    f.add("concat",
          {{"reference", c->reference}, {"reference16", c->reference16}, {"total", c->total}, {"part", c->sequence}},
          "part " + std::to_string(c->sequence) + " of " + std::to_string(c->total) + ", reference " +
              std::to_string(c->reference) + (c->reference16 ? " (16-bit)" : " (8-bit)"));
  if (!u.otherElements.empty()) {
    json elements = json::array();
    std::string shown;
    for (const auto& ie : u.otherElements) {
      elements.push_back({{"id", ie.id}, {"data", sms::hex::hexOf(ie.data)}});
      shown += (shown.empty() ? "" : ", ") + ("element " + std::to_string(ie.id) + " " + sms::hex::hexOf(ie.data));
    }
    f.add("udh", elements, shown);
  }
  if (u.decoded)
    f.add("text", u.text);
  else
    f.add("data", sms::hex::hexOf(u.octets), sms::hex::hexOf(u.octets) + " (not text)");
}

void addDeliver(Fields& f, const sms::Deliver& d) {
  f.add("type", "deliver");
  f.addNumber("smsc", d.serviceCentre);
  f.addNumber("sender", d.originator);
  f.addTime("time", d.serviceCentreTime);
  addCoding(f, d.coding);
  f.add("pid", d.protocolId);
  f.addFlag("reportIndication", d.statusReportIndication);
  f.addFlag("replyPath", d.replyPath);
  addUserData(f, d.userData);
}

void addSubmit(Fields& f, const sms::Submit& s) {
  f.add("type", "submit");
  f.addNumber("smsc", s.serviceCentre);
  f.add("reference", s.messageReference);
  f.addNumber("recipient", s.recipient);
  addCoding(f, s.coding);
  f.add("pid", s.protocolId);
  f.add("validity", s.validityPeriod.empty() ? json(nullptr) : json(sms::hex::hexOf(s.validityPeriod)),
        s.validityPeriod.empty() ? "none" : sms::hex::hexOf(s.validityPeriod));
  f.addFlag("reportRequest", s.statusReportRequest);
  addUserData(f, s.userData);
}

std::string outcomeName(sms::DeliveryOutcome o) {
  switch (o) {
    case sms::DeliveryOutcome::kDelivered: return "delivered";
    case sms::DeliveryOutcome::kStillTrying: return "pending";
    case sms::DeliveryOutcome::kFailed:
    case sms::DeliveryOutcome::kGaveUp: return "failed";
  }
  return "?";
}

void addStatusReport(Fields& f, const sms::StatusReport& r) {
  f.add("type", "status-report");
  f.addNumber("smsc", r.serviceCentre);
  f.add("reference", r.messageReference);
  f.addNumber("recipient", r.recipient);
  f.addTime("time", r.serviceCentreTime);
  f.addTime("discharged", r.dischargeTime);
  f.add("status", r.status);
  f.add("meaning", sms::statusMeaning(r.status));
  f.add("outcome", outcomeName(r.outcome));
}

int pduDecode(Context& ctx, const std::string& hex, bool submitOnly) {
  sms::Tpdu tpdu;
  try {
    tpdu = sms::decodeTpdu(hex);
  } catch (const sms::PduError& e) {
    return refuse(ctx, std::string("not a PDU: ") + e.what());
  }
  if (submitOnly && !std::holds_alternative<sms::Submit>(tpdu))
    return refuse(ctx, "--submit: the PDU is not an SMS-SUBMIT");
  Fields f;
  std::visit([&f](const auto& t) {
    using T = std::decay_t<decltype(t)>;
    if constexpr (std::is_same_v<T, sms::Deliver>) addDeliver(f, t);
    else if constexpr (std::is_same_v<T, sms::Submit>) addSubmit(f, t);
    else addStatusReport(f, t);
  }, tpdu);
  f.add("ok", true, "true");
  ctx.print(f.human(), f.object());
  return kSuccess;
}

}  // namespace

void addPduVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  CLI::App* pdu = app.add_subcommand("pdu", "encode or decode a PDU (no modem needed)");
  pdu->require_subcommand(1);
  auto e = std::make_shared<SubmitOptions>();
  CLI::App* encode = pdu->add_subcommand("encode", "build the SMS-SUBMIT PDU of every part of a message");
  addSubmitOptions(*encode, *e);
  encode->add_flag("--report", e->report, "ask for a delivery report");
  verbs.push_back({encode, [e](Context& ctx) { return pduEncode(ctx, *e); }});
  auto hex = std::make_shared<std::string>();
  auto submit = std::make_shared<bool>(false);
  CLI::App* decode =
      pdu->add_subcommand("decode", "decode an SMS-DELIVER, SMS-SUBMIT or SMS-STATUS-REPORT PDU (SMSC field first)");
  decode->add_option("hex", *hex, "the PDU in hex")->required();
  decode->add_flag("--submit", *submit, "refuse a PDU that is not an SMS-SUBMIT");
  verbs.push_back({decode, [hex, submit](Context& ctx) { return pduDecode(ctx, *hex, *submit); }});
}

}  // namespace reviri::cli
