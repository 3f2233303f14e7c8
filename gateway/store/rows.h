// gateway/store/rows.h - reading the store's rows into records (the SQL
// store's results). A Row has integer(i), optionalInteger(i) and text(i).
//
// Threading: pure functions.
#ifndef REVIRI_GATEWAY_STORE_ROWS_H_
#define REVIRI_GATEWAY_STORE_ROWS_H_

#include "gateway/store/store.h"

namespace reviri::gateway::rows {

// The columns every outbox read selects, in the order readMessage expects.
inline constexpr const char* kOutboxColumns =
    "id, recipient, body, coding, flash, report, validity_minutes, part_count, status, attempts, modem, "
    "created_ms, updated_ms, due_ms, sent_ms, last_error, last_error_code, client_reference, maybe_sent";
constexpr int countColumns(const char* list) {
  int n = 1;
  for (; *list; ++list) n += *list == ',' ? 1 : 0;
  return n;
}
// Where a statement's own columns start after kOutboxColumns.
inline constexpr int kOutboxColumnCount = countColumns(kOutboxColumns);

template <typename Row>
MessageRecord readMessage(const Row& row) {
  MessageRecord r;
  r.id = row.integer(0);
  r.message.to = row.text(1);
  r.message.text = row.text(2);
  r.message.coding = row.text(3);
  r.message.flash = row.integer(4) != 0;
  r.message.report = row.integer(5) != 0;
  if (auto v = row.optionalInteger(6)) r.message.validityMinutes = static_cast<int>(*v);
  r.message.parts = static_cast<int>(row.integer(7));
  r.status = statusFromName(row.text(8));
  r.attempts = static_cast<int>(row.integer(9));
  r.modem = row.text(10);
  r.createdMs = row.integer(11);
  r.updatedMs = row.integer(12);
  r.dueMs = row.integer(13);
  r.sentMs = row.optionalInteger(14);
  r.lastError = row.text(15);
  if (auto v = row.optionalInteger(16)) r.lastErrorCode = static_cast<int>(*v);
  r.message.reference = row.text(17);
  r.maybeSent = static_cast<int>(row.integer(18));
  return r;
}

// part_index, reference, report_code
template <typename Row>
PartRecord readPart(const Row& row) {
  PartRecord part;
  part.index = static_cast<int>(row.integer(0));
  if (auto v = row.optionalInteger(1)) part.reference = static_cast<int>(*v);
  if (auto v = row.optionalInteger(2)) part.reportCode = static_cast<int>(*v);
  return part;
}

// id, modem, sender, body, sent_at, stored_ms, seq
template <typename Row>
InboxMessage readInbox(const Row& row) {
  return {row.integer(0), row.text(1), row.text(2), row.text(3), row.text(4), row.integer(5), row.integer(6), {}};
}

// Adds one "status, count" row to the counts.
inline void addStatusCount(StoreCounts& counts, const std::string& status, std::int64_t n) {
  switch (statusFromName(status)) {
    case Status::kQueued: counts.queued = n; break;
    case Status::kSending: counts.sending = n; break;
    case Status::kSent: counts.sent = n; break;
    case Status::kDelivered: counts.delivered = n; break;
    case Status::kFailed: counts.failed = n; break;
    case Status::kExpired: counts.expired = n; break;
    case Status::kCanceled: counts.canceled = n; break;
  }
}

// The history line of a delivery report and whether it completes, fails or
// leaves the part pending: below 0x20 delivered, 0x20-0x3F still trying,
// 0x40 and above failed for good.
inline bool reportFailed(int statusCode) { return statusCode >= 0x40; }
inline std::string reportFailure(int statusCode) {
  return "the network could not deliver it (status " + std::to_string(statusCode) + ")";
}

}  // namespace reviri::gateway::rows

#endif  // REVIRI_GATEWAY_STORE_ROWS_H_
