// modem/convert.cpp - codec records to typed API values; enumeration names.
#include "modem/convert.h"

#include <cstdio>

#include "base/answer_fields.h"
#include "base/text.h"
#include "sms/hex_octets.h"

namespace reviri {

std::string_view codingName(MessageCoding coding) {
  switch (coding) {
    case MessageCoding::kAuto: return "auto";
    case MessageCoding::kGsm7: return "7bit";
    case MessageCoding::kUcs2: return "ucs2";
    case MessageCoding::k8bit: return "8bit";
  }
  return "?";
}

std::string_view errorKindName(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::kNone: return "none";
    case Error::Kind::kModem: return "modem";
    case Error::Kind::kTimeout: return "timeout";
    case Error::Kind::kPin: return "pin";
    case Error::Kind::kWrongPin: return "wrong-pin";
    case Error::Kind::kPortInUse: return "port-in-use";
    case Error::Kind::kIo: return "io";
    case Error::Kind::kProtocol: return "protocol";
    case Error::Kind::kInvalidArgument: return "invalid-argument";
    case Error::Kind::kCancelled: return "cancelled";
  }
  return "?";
}

std::string Error::describe() const {
  std::string out;
  if (code >= 0) {
    out = meaning.empty() ? "error " + std::to_string(code) : meaning + " (error " + std::to_string(code) + ")";
  } else {
    out = meaning.empty() ? std::string(errorKindName(kind)) : meaning;
  }
  if (!command.empty()) out += " after " + command;
  return out;
}

std::string_view storageName(Storage storage) {
  switch (storage) {
    case Storage::kSim: return "SM";
    case Storage::kPhone: return "ME";
    case Storage::kBoth: return "MT";
  }
  return "SM";
}

std::optional<Storage> parseStorage(std::string_view name) {
  for (const Storage storage : {Storage::kSim, Storage::kPhone, Storage::kBoth})
    if (text::asciiUpper(name) == storageName(storage)) return storage;
  return std::nullopt;
}

std::string ZonedTime::iso8601() const {
  using namespace std::chrono;
  const auto local = floor<seconds>(when) + minutes(zoneMinutes);
  const auto day = floor<days>(local);
  const year_month_day ymd{day};
  const hh_mm_ss hms{local - day};
  const int zone = zoneMinutes < 0 ? -zoneMinutes : zoneMinutes;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d%c%02d:%02d", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()), zoneMinutes < 0 ? '-' : '+', zone / 60, zone % 60);
  return buf;
}

std::string_view outcomeName(SendResult::Outcome outcome) {
  switch (outcome) {
    case SendResult::Outcome::kSent: return "sent";
    case SendResult::Outcome::kFailed: return "failed";
    case SendResult::Outcome::kMaybeSent: return "maybe-sent";
  }
  return "?";
}

std::string_view reportOutcomeName(StatusReport::Outcome outcome) {
  switch (outcome) {
    case StatusReport::Outcome::kDelivered: return "delivered";
    case StatusReport::Outcome::kPending: return "pending";
    case StatusReport::Outcome::kFailed: return "failed";
  }
  return "?";
}

namespace modem {
namespace {

ZonedTime toZonedTime(const std::optional<sms::Timestamp>& stamp) {
  return stamp ? ZonedTime{stamp->utc, stamp->zoneMinutes} : ZonedTime{};
}

}  // namespace

sms::SubmitRequest toSubmitRequest(const OutgoingMessage& message, std::uint8_t concatReference) {
  if (message.coding == MessageCoding::k8bit) throw std::invalid_argument("coding: 8-bit data cannot be sent as text");
  return {.to = message.to, .text = message.text, .coding = message.coding, .statusReport = message.statusReport,
          .flash = message.flash, .validity = message.validity, .smsc = message.smsc,
          .concatReference = concatReference, .allowSplit = message.allowSplit};
}

IncomingMessage toIncoming(const sms::JoinedMessage& joined, Storage storage) {
  IncomingMessage m;
  const sms::Deliver& first = joined.first;
  m.sender = first.originator.number;
  m.coding = first.coding.alphabet;
  m.text = first.userData.decoded ? joined.text : sms::hex::hexOf(joined.octets);
  m.messageClass = first.coding.messageClass.value_or(-1);
  m.serviceCentreTime = toZonedTime(first.serviceCentreTime);
  if (const auto& c = first.userData.concat) m.concat = ConcatInfo{c->reference, c->total, c->reference16};
  m.partsReceived = joined.partCount - static_cast<int>(joined.missingParts.size());
  m.complete = joined.complete();
  m.storage = storage;
  m.indexes = joined.storageIndexes;
  m.serviceCentre = first.serviceCentre.number;
  return m;
}

StatusReport toStatusReport(const sms::StatusReport& report, int index) {
  StatusReport r;
  r.reference = report.messageReference;
  r.recipient = report.recipient.number;
  r.serviceCentreTime = toZonedTime(report.serviceCentreTime);
  r.dischargeTime = toZonedTime(report.dischargeTime);
  r.status = report.status;
  r.meaning = sms::statusMeaning(report.status);
  switch (report.outcome) {
    case sms::DeliveryOutcome::kDelivered: r.outcome = StatusReport::Outcome::kDelivered; break;
    case sms::DeliveryOutcome::kStillTrying: r.outcome = StatusReport::Outcome::kPending; break;
    case sms::DeliveryOutcome::kFailed:
    case sms::DeliveryOutcome::kGaveUp: r.outcome = StatusReport::Outcome::kFailed; break;
  }
  r.index = index;
  return r;
}

StoredMessage toStoredMessage(const ListingHeader& header, const std::string& pdu, Storage storage) {
  StoredMessage s;
  s.index = header.index;
  s.pdu = pdu;
  if (header.status >= 0 && header.status <= 3) s.status = static_cast<StoredMessage::Status>(header.status);
  try {
    const sms::Tpdu tpdu = sms::decodeTpdu(pdu);
    if (const auto* d = std::get_if<sms::Deliver>(&tpdu)) {
      sms::JoinedMessage one;
      one.first = *d;
      one.text = d->userData.text;
      one.octets = d->userData.octets;
      if (header.index >= 0) one.storageIndexes = {header.index};
      s.kind = StoredMessage::Kind::kIncoming;
      s.incoming = toIncoming(one, storage);
      s.text = s.incoming.text;
    } else if (const auto* sub = std::get_if<sms::Submit>(&tpdu)) {
      s.kind = StoredMessage::Kind::kOutgoing;
      s.recipient = sub->recipient.number;
      s.text = sub->userData.decoded ? sub->userData.text : sms::hex::hexOf(sub->userData.octets);
    } else {
      s.kind = StoredMessage::Kind::kStatusReport;
      s.report = toStatusReport(std::get<sms::StatusReport>(tpdu), header.index);
    }
  } catch (const sms::PduError&) {
    s.kind = StoredMessage::Kind::kUndecodable;
  }
  return s;
}

bool sameNumber(std::string_view a, std::string_view b) {
  std::string da(a), db(b);
  std::erase_if(da, [](char c) { return !at::isDigit(c); });
  std::erase_if(db, [](char c) { return !at::isDigit(c); });
  if (da.empty() || db.empty()) return a == b;
  if (da == db) return true;
  if (da.size() > db.size()) std::swap(da, db);
  while (!da.empty() && da.front() == '0') da.erase(0, 1);
  return da.size() >= 6 && db.ends_with(da);
}

}  // namespace modem
}  // namespace reviri
