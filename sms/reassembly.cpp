// sms/reassembly.cpp - the part joiner.
//
// Held messages live in a map by key; each keeps its parts by number, so
// order of arrival does not matter and a part number is held once. Messages
// already handed over are remembered by the content of their parts until
// expire() forgets them, to tell a late duplicate from a new message that
// reuses the reference.
#include "sms/reassembly.h"

#include <algorithm>

namespace reviri::sms {
namespace {

// What makes two copies of a part the same part.
std::string contentOf(const Deliver& part) {
  const UserData& ud = part.userData;
  std::string content = ud.text;
  content.push_back('\0');
  content.append(ud.octets.begin(), ud.octets.end());
  return content;
}

bool sameContent(const Deliver& a, const Deliver& b) {
  return a.userData.text == b.userData.text && a.userData.octets == b.userData.octets;
}

bool isPartOfMany(const Deliver& part) {
  const auto& c = part.userData.concat;
  return c && c->total > 1 && c->sequence >= 1 && c->sequence <= c->total;
}

}  // namespace

JoinedMessage Reassembler::join(Pending& pending, std::uint8_t total) {
  JoinedMessage m;
  m.partCount = total;
  m.storageIndexes = std::move(pending.storageIndexes);
  for (int n = 1; n <= total; ++n)
    if (!pending.parts.contains(static_cast<std::uint8_t>(n))) m.missingParts.push_back(n);
  for (auto& [number, part] : pending.parts) {
    m.text += part.userData.text;
    m.octets.insert(m.octets.end(), part.userData.octets.begin(), part.userData.octets.end());
  }
  m.first = std::move(pending.parts.begin()->second);
  return m;
}

Reassembler::Handover Reassembler::add(Deliver part, int storageIndex, Clock::time_point now) {
  Handover out;
  Pending fresh{now, arrivals_++, {}, {}};
  if (storageIndex >= 0) fresh.storageIndexes.push_back(storageIndex);
  if (!isPartOfMany(part)) {
    fresh.parts.emplace(1, std::move(part));
    out.messages.push_back(join(fresh, 1));
    return out;
  }
  const Concatenation c = *part.userData.concat;
  const Key key{part.originator.number, c.reference, c.reference16, c.total};

  auto held = pending_.find(key);
  if (held != pending_.end()) {
    const auto same = held->second.parts.find(c.sequence);
    if (same != held->second.parts.end() && sameContent(same->second, part)) {
      if (storageIndex >= 0) held->second.storageIndexes.push_back(storageIndex);  // duplicate
      return out;
    }
    if (same != held->second.parts.end()) {
      // A newer message reuses the reference: the older one will not be completed.
      out.messages.push_back(join(held->second, c.total));
      pending_.erase(held);
      held = pending_.end();
    }
  } else if (auto done = completed_.find(key); done != completed_.end()) {
    const auto same = done->second.contents.find(c.sequence);
    if (same != done->second.contents.end() && same->second == contentOf(part)) {
      if (storageIndex >= 0) out.duplicateSlots.push_back(storageIndex);
      return out;
    }
  }
  if (held == pending_.end())
    held = pending_.emplace(key, std::move(fresh)).first;
  else if (storageIndex >= 0)
    held->second.storageIndexes.push_back(storageIndex);
  held->second.parts.emplace(c.sequence, std::move(part));
  if (held->second.parts.size() < c.total) return out;
  Completed record{now, {}};
  for (const auto& [number, p] : held->second.parts) record.contents.emplace(number, contentOf(p));
  out.messages.push_back(join(held->second, c.total));
  pending_.erase(held);
  completed_.insert_or_assign(key, std::move(record));
  return out;
}

std::vector<JoinedMessage> Reassembler::handOverWhere(const std::function<bool(const Pending&)>& due) {
  std::vector<std::map<Key, Pending>::iterator> chosen;
  for (auto it = pending_.begin(); it != pending_.end(); ++it)
    if (due(it->second)) chosen.push_back(it);
  std::sort(chosen.begin(), chosen.end(),
            [](const auto& a, const auto& b) { return a->second.arrivalOrder < b->second.arrivalOrder; });
  std::vector<JoinedMessage> out;
  out.reserve(chosen.size());
  for (const auto& it : chosen) {
    out.push_back(join(it->second, it->first.total));
    pending_.erase(it);
  }
  return out;
}

std::vector<JoinedMessage> Reassembler::expire(Clock::time_point now, Clock::duration maxAge) {
  std::erase_if(completed_, [&](const auto& entry) { return now - entry.second.handedOver > maxAge; });
  return handOverWhere([&](const Pending& p) { return now - p.firstArrival > maxAge; });
}

std::vector<JoinedMessage> Reassembler::flush() {
  completed_.clear();
  return handOverWhere([](const Pending&) { return true; });
}

}  // namespace reviri::sms
