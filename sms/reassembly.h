// sms/reassembly.h - joining the parts of concatenated messages.
//
// Parts are added as they are read, in any order. A part belongs to a message
// by sender, reference (8- or 16-bit) and part count; service centre and time
// stamp may differ between parts and are not compared. A message is handed
// over once, when its last part arrives; a message without a concatenation
// header is handed over at once. A part seen again (same message, same number,
// same content) is a duplicate: it is not added twice, but its storage index
// is reported with the message (or, once the message has been handed over,
// as a duplicate slot) so the caller can delete every slot. A part
// that arrives with the number of one already held but a different content
// belongs to a newer message that reuses the reference: the older one is
// handed over as incomplete and the newer one started. An incomplete message
// is handed over by expire() as incomplete, never dropped.
//
// The caller deletes the storage slots of a message only after it has handed
// the message on, so that a process that stops between parts loses nothing:
// the parts are read from storage and joined again at the next start.
//
// Not thread-safe: one Reassembler belongs to one thread. Time is passed in,
// so the joiner does no I/O and reads no clock.
#ifndef REVIRI_SMS_REASSEMBLY_H_
#define REVIRI_SMS_REASSEMBLY_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sms/gsm0340_tpdu.h"

namespace reviri::sms {

struct JoinedMessage {
  Deliver first;  // every field of the lowest-numbered part held
  // The texts of the parts held, in order (the octets of data parts).
  std::string text;
  std::vector<std::uint8_t> octets;
  int partCount = 1;
  std::vector<int> missingParts;  // 1-based numbers; empty when complete
  // Storage indexes of every part and every duplicate, in arrival order;
  // parts added without an index (-1) are left out.
  std::vector<int> storageIndexes;
  bool complete() const { return missingParts.empty(); }
};

class Reassembler {
 public:
  using Clock = std::chrono::steady_clock;

  struct Handover {
    // The whole message when this was its last missing part (or not a part
    // at all); an older incomplete message whose reference a new one reuses.
    std::vector<JoinedMessage> messages;
    // Slots holding a duplicate of a part of a message already handed over.
    std::vector<int> duplicateSlots;
  };

  // Adds one received message; `storageIndex` is -1 when it has no slot.
  Handover add(Deliver part, int storageIndex, Clock::time_point now);

  // Hands over as incomplete every message whose first part arrived more
  // than `maxAge` before `now`, oldest first. Also forgets messages handed
  // over more than `maxAge` ago, after which a late duplicate of one of
  // their parts counts as a new message.
  std::vector<JoinedMessage> expire(Clock::time_point now, Clock::duration maxAge);

  // Hands over every held message as incomplete (at shutdown) and forgets
  // the messages handed over before.
  std::vector<JoinedMessage> flush();

  std::size_t pendingMessages() const { return pending_.size(); }

 private:
  struct Key {
    std::string sender;
    std::uint16_t reference;
    bool reference16;
    std::uint8_t total;
    auto operator<=>(const Key&) const = default;
  };
  struct Pending {
    Clock::time_point firstArrival;
    std::uint64_t arrivalOrder;
    std::map<std::uint8_t, Deliver> parts;  // by sequence
    std::vector<int> storageIndexes;
  };
  struct Completed {
    Clock::time_point handedOver;
    std::map<std::uint8_t, std::string> contents;  // by sequence
  };
  static JoinedMessage join(Pending& pending, std::uint8_t total);
  // Hands over the held messages `due` picks, in arrival order.
  std::vector<JoinedMessage> handOverWhere(const std::function<bool(const Pending&)>& due);

  std::map<Key, Pending> pending_;
  std::map<Key, Completed> completed_;
  std::uint64_t arrivals_ = 0;
};

}  // namespace reviri::sms

#endif  // REVIRI_SMS_REASSEMBLY_H_
