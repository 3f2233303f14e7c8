// gateway/store/modem_farm.cpp - routing and limits inside the claim.
#include "gateway/store/modem_farm.h"

#include <random>

#include "gateway/store/local_calendar.h"

namespace reviri::gateway::sql::farm {
namespace {

// An idle modem's last claim attempt is at most this old: idle workers ask
// at least every idle check (5 s), so a modem that went down stops counting
// as idle within this.
constexpr std::int64_t kIdleFreshMs = 6000;
// How long a modem that left a message to a less recently used one waits
// before it looks again (should that one not take it after all).
constexpr std::int64_t kCourtesyMs = 200;

constexpr const char* kLimitColumns =
    "min_gap_ms, jitter_ms, per_hour, per_day, per_month, recipients_per_month, hours_start, hours_end, high_per_hour";
constexpr int kLimitColumnCount = 9;

Result run(Connection& c, const std::string& sql, const Params& params = Params()) {
  return c.exec(sql, params.values());
}

template <class Row>
ModemLimits readLimits(const Row& row, int first) {
  ModemLimits limits;
  const auto ms = [&](int i) -> std::optional<std::chrono::milliseconds> {
    if (auto v = row.optionalInteger(first + i)) return std::chrono::milliseconds(*v);
    return std::nullopt;
  };
  limits.minGap = ms(0);
  limits.jitter = ms(1);
  limits.perHour = row.optionalInteger(first + 2);
  limits.perDay = row.optionalInteger(first + 3);
  limits.perMonth = row.optionalInteger(first + 4);
  limits.recipientsPerMonth = row.optionalInteger(first + 5);
  const auto start = row.optionalInteger(first + 6), end = row.optionalInteger(first + 7);
  if (start && end) limits.hours = SendingHours{static_cast<int>(*start), static_cast<int>(*end)};
  limits.highPerHour = row.optionalInteger(first + 8);
  return limits;
}

std::vector<std::optional<std::int64_t>> limitValues(const ModemLimits& l) {
  const auto ms = [](const auto& d) { return d ? std::optional<std::int64_t>(d->count()) : std::nullopt; };
  return {ms(l.minGap),
          ms(l.jitter),
          l.perHour,
          l.perDay,
          l.perMonth,
          l.recipientsPerMonth,
          l.hours ? std::optional<std::int64_t>(l.hours->start) : std::nullopt,
          l.hours ? std::optional<std::int64_t>(l.hours->end) : std::nullopt,
          l.highPerHour};
}

// What the file said, as one comparable text.
std::string limitsText(const ModemLimits& limits) {
  std::string text;
  for (const auto& v : limitValues(limits)) text += (v ? std::to_string(*v) : "-") + ",";
  return text;
}

// Writes the limit columns of `modem` (and, unless empty, what the file said).
void writeLimits(Connection& c, const std::string& modem, const ModemLimits& limits, const std::string& fileText) {
  const auto v = limitValues(limits);
  run(c,
      "UPDATE modem_profiles SET min_gap_ms = $2, jitter_ms = $3, per_hour = $4, per_day = $5, per_month = $6, "
      "recipients_per_month = $7, hours_start = $8, hours_end = $9, high_per_hour = $10, held_until_ms = 0, "
      "file_limits = CASE WHEN $11 = '' THEN file_limits ELSE $11 END WHERE name = $1",
      Params(modem, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], fileText));
}

std::vector<std::string> tagsOf(Connection& c, const std::string& modem) {
  std::vector<std::string> tags;
  auto rows = run(c, "SELECT tag FROM modem_tags WHERE modem = $1 ORDER BY tag", Params(modem));
  for (int i = 0; i < rows.size(); ++i) tags.push_back(rows.row(i).text(0));
  return tags;
}

// The (target_modem, target_tag) lanes a modem serves.
std::vector<std::pair<std::string, std::string>> lanesOf(Connection& c, const std::string& modem) {
  std::vector<std::pair<std::string, std::string>> lanes{{modem, ""}, {"", ""}};
  for (auto& tag : tagsOf(c, modem)) lanes.emplace_back("", std::move(tag));
  return lanes;
}

struct Usage {
  std::int64_t hour = 0, day = 0, month = 0, high = 0, recipients = 0;
};

Usage readUsage(Connection& c, const std::string& modem, const LocalWindows& w) {
  Usage u;
  auto rows = run(c,
                  "SELECT kind, used FROM modem_usage WHERE modem = $1 AND ((kind IN ('hour', 'high') AND "
                  "window_start = $2) OR (kind = 'day' AND window_start = $3) OR (kind = 'month' AND window_start = $4))",
                  Params(modem, w.hourStart, w.dayStart, w.monthStart));
  for (int i = 0; i < rows.size(); ++i) {
    const std::string kind = rows.row(i).text(0);
    const auto used = rows.row(i).integer(1);
    (kind == "hour" ? u.hour : kind == "day" ? u.day : kind == "month" ? u.month : u.high) = used;
  }
  u.recipients = run(c, "SELECT count(*) FROM modem_recipients WHERE modem = $1 AND month_start = $2",
                     Params(modem, w.monthStart))
                     .row(0)
                     .integer(0);
  return u;
}

struct Candidate {
  std::int64_t id = 0;
  int parts = 1;
  std::string recipient, targetModem, targetTag, deferred;
  bool high = false;
};

constexpr int kHigh = 0, kNormal = 1;

// The message a modem would take next among priorities `first` to `last`
// (urgent first), by due time.
std::optional<Candidate> nextCandidate(Connection& c, const std::string& modem, std::int64_t now, int first, int last) {
  const auto lanes = lanesOf(c, modem);
  for (int priority = first; priority <= last; ++priority) {
    std::optional<Candidate> best;
    std::int64_t bestDue = 0;
    for (const auto& [targetModem, targetTag] : lanes) {
      auto rows = run(c,
                      std::string("SELECT id, due_ms, part_count, recipient, deferred FROM outbox WHERE status = "
                                  "'queued' AND target_modem = $1 AND target_tag = $2 AND priority = $3 AND due_ms <= "
                                  "$4 ORDER BY due_ms, id LIMIT 1") +
                          c.skipLocked(),
                      Params(targetModem, targetTag, priority, now));
      if (rows.size() == 0) continue;
      const auto row = rows.row(0);
      if (best && (row.integer(1) > bestDue || (row.integer(1) == bestDue && row.integer(0) > best->id))) continue;
      best = Candidate{row.integer(0), static_cast<int>(row.integer(2)), row.text(3), targetModem, targetTag,
                       row.text(4), priority == 0};
      bestDue = row.integer(1);
    }
    if (best) return best;
  }
  return std::nullopt;
}

struct Hold {
  std::string reason;
  std::int64_t until = 0;
};

// Why `modem` may not send `m` now, if it may not.
std::optional<Hold> holdFor(Connection& c, const std::string& modem, const ModemLimits& l, std::int64_t nextSend,
                            const Usage& u, const LocalWindows& w, const Candidate& m, std::int64_t now) {
  const auto over = [&](const std::optional<std::int64_t>& limit, std::int64_t used) {
    return limit && used + m.parts > *limit;
  };
  if (l.hours && !l.hours->contains(w.minuteOfDay)) {
    return Hold{"outside the sending hours of " + modem, nextLocalMinute(now, l.hours->start)};
  }
  if (nextSend > now) return Hold{"min_gap of " + modem, nextSend};
  if (m.high && over(l.highPerHour, u.high)) return Hold{"high_per_hour limit of " + modem + " reached", w.hourEnd};
  if (over(l.perHour, u.hour)) return Hold{"per_hour limit of " + modem + " reached", w.hourEnd};
  if (over(l.perDay, u.day)) return Hold{"per_day limit of " + modem + " reached", w.dayEnd};
  if (over(l.perMonth, u.month)) return Hold{"per_month limit of " + modem + " reached", w.monthEnd};
  if (l.recipientsPerMonth && u.recipients >= *l.recipientsPerMonth &&
      run(c, "SELECT 1 FROM modem_recipients WHERE modem = $1 AND month_start = $2 AND recipient = $3",
          Params(modem, w.monthStart, m.recipient))
              .size() == 0) {
    return Hold{"recipients_per_month limit of " + modem + " reached", w.monthEnd};
  }
  return std::nullopt;
}

// Tells the message why it waits, once, and (`holdModem`) holds the modem
// back until the hold ends.
void defer(Connection& c, const std::string& modem, const Candidate& m, const Hold& hold,
           const HistoryWriter& history, bool holdModem = true) {
  if (holdModem) run(c, "UPDATE modem_profiles SET held_until_ms = $2 WHERE name = $1", Params(modem, hold.until));
  const std::string detail = hold.reason + ", next at " + localIsoTime(hold.until);
  if (m.deferred == hold.reason) return;
  run(c, "UPDATE outbox SET deferred = $2 WHERE id = $1", Params(m.id, hold.reason));
  history(m.id, "deferred", detail);
}

// Whether another modem that may take `m`, is idle and free, sent less
// recently than `lastClaim`.
bool aLessRecentModemWaits(Connection& c, const std::string& modem, const Candidate& m, std::int64_t lastClaim,
                           std::int64_t now) {
  if (!m.targetModem.empty()) return false;
  return run(c,
             "SELECT 1 FROM modem_profiles p WHERE p.name <> $1 AND p.idle = 1 AND p.seen_ms >= $2 AND "
             "p.held_until_ms <= $3 AND p.next_send_ms <= $3 AND p.last_claim_ms < $4 AND ($5 = '' OR EXISTS "
             "(SELECT 1 FROM modem_tags t WHERE t.modem = p.name AND t.tag = $5)) LIMIT 1",
             Params(modem, now - kIdleFreshMs, now, lastClaim, m.targetTag))
             .size() > 0;
}

std::int64_t randomBelow(std::int64_t bound) {
  if (bound <= 0) return 0;
  thread_local std::mt19937_64 random{std::random_device{}()};
  return static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(bound + 1));
}

// Counts `m` against every window of `modem` and starts its gap.
void count(Connection& c, const std::string& modem, const ModemLimits& l, const LocalWindows& w, const Candidate& m,
           std::int64_t now) {
  const auto add = [&](const char* kind, std::int64_t start) {
    run(c,
        "INSERT INTO modem_usage (modem, kind, window_start, used) VALUES ($1, $2, $3, $4) ON CONFLICT (modem, kind, "
        "window_start) DO UPDATE SET used = modem_usage.used + excluded.used",
        Params(modem, kind, start, m.parts));
  };
  add("hour", w.hourStart);
  add("day", w.dayStart);
  add("month", w.monthStart);
  if (m.high) add("high", w.hourStart);
  run(c,
      "INSERT INTO modem_recipients (modem, month_start, recipient) VALUES ($1, $2, $3) ON CONFLICT (modem, "
      "month_start, recipient) DO NOTHING",
      Params(modem, w.monthStart, m.recipient));
  const std::int64_t gap = (l.minGap ? l.minGap->count() : 0) + randomBelow(l.jitter ? l.jitter->count() : 0);
  run(c,
      "UPDATE modem_profiles SET last_claim_ms = $2, next_send_ms = $3, idle = 0, held_until_ms = 0 WHERE name = $1",
      Params(modem, now, now + gap));
}

}  // namespace

Choice choose(Connection& c, const std::string& modem, std::int64_t now, const HistoryWriter& history) {
  // The lock every claim of this modem takes first (see the header).
  auto profile = run(c,
                     std::string("UPDATE modem_profiles SET seen_ms = $2 WHERE name = $1 RETURNING ") + kLimitColumns +
                         ", next_send_ms, last_claim_ms",
                     Params(modem, now));
  if (profile.size() == 0) return {};
  const auto row = profile.row(0);
  const ModemLimits limits = readLimits(row, 0);
  const std::int64_t nextSend = row.integer(kLimitColumnCount), lastClaim = row.integer(kLimitColumnCount + 1);
  const LocalWindows windows = localWindows(now);
  const Usage used = readUsage(c, modem, windows);
  const bool highOpen = !limits.highPerHour || used.high < *limits.highPerHour;
  std::optional<Candidate> urgentHeld;
  if (!highOpen) {
    // The urgent lane is closed for this hour: its next message says so,
    // and the modem sleeps to the hour unless new work wakes it.
    urgentHeld = nextCandidate(c, modem, now, kHigh, kHigh);
    if (urgentHeld) {
      defer(c, modem, *urgentHeld, {"high_per_hour limit of " + modem + " reached", windows.hourEnd}, history,
            false);
    }
  }
  const auto candidate = nextCandidate(c, modem, now, highOpen ? kHigh : kNormal, kNormal);
  if (!candidate) {
    run(c, "UPDATE modem_profiles SET idle = 1, held_until_ms = $2 WHERE name = $1",
        Params(modem, urgentHeld ? windows.hourEnd : 0));
    return {true, std::nullopt};
  }
  if (const auto hold = holdFor(c, modem, limits, nextSend, used, windows, *candidate, now)) {
    defer(c, modem, *candidate, *hold, history);
    return {true, std::nullopt};
  }
  if (aLessRecentModemWaits(c, modem, *candidate, lastClaim, now)) {
    run(c, "UPDATE modem_profiles SET held_until_ms = $2 WHERE name = $1", Params(modem, now + kCourtesyMs));
    return {true, std::nullopt};
  }
  count(c, modem, limits, windows, *candidate, now);
  return {true, candidate->id};
}

std::string eligibleFor(int param) {
  const std::string p = "$" + std::to_string(param);
  return "(target_modem = '' OR target_modem = " + p + ") AND (target_tag = '' OR target_tag IN (SELECT tag FROM " +
         "modem_tags WHERE modem = " + p + "))";
}

void unavailable(Connection& c, const std::string& modem) {
  run(c, "UPDATE modem_profiles SET idle = 0 WHERE name = $1", Params(modem));
}

void sent(Connection& c, const std::string& modem, std::int64_t now) {
  // The gap (and jitter) chosen at the claim now runs from the end of the send.
  run(c,
      "UPDATE modem_profiles SET next_send_ms = $2 + next_send_ms - last_claim_ms WHERE name = $1 AND "
      "next_send_ms > last_claim_ms",
      Params(modem, now));
}

NextClaim nextClaim(Connection& c, const std::string& modem, std::int64_t now) {
  auto profile = run(c, "SELECT held_until_ms, next_send_ms FROM modem_profiles WHERE name = $1", Params(modem));
  if (profile.size() == 0) return {};
  std::optional<std::int64_t> due;
  for (const auto& [targetModem, targetTag] : lanesOf(c, modem)) {
    for (int priority : {kHigh, kNormal}) {  // one index probe each: the priority precedes due_ms in the index
      auto lane = run(c,
                      "SELECT min(due_ms) FROM outbox WHERE status = 'queued' AND target_modem = $1 AND "
                      "target_tag = $2 AND priority = $3",
                      Params(targetModem, targetTag, priority));
      if (auto at = lane.row(0).optionalInteger(0); at && (!due || *at < *due)) due = at;
    }
  }
  if (!due) return {true, std::nullopt};
  (void)now;
  return {true, std::max({*due, profile.row(0).integer(0), profile.row(0).integer(1)})};
}

void registerModems(Connection& c, const std::vector<Store::ModemProfile>& modems) {
  for (const auto& m : modems) {
    run(c, "INSERT INTO modem_profiles (name) VALUES ($1) ON CONFLICT (name) DO NOTHING", Params(m.name));
    run(c, "DELETE FROM modem_tags WHERE modem = $1", Params(m.name));
    for (const auto& tag : m.tags) {
      run(c, "INSERT INTO modem_tags (modem, tag) VALUES ($1, $2) ON CONFLICT DO NOTHING", Params(m.name, tag));
    }
    const std::string fileText = limitsText(m.limits);
    auto said = run(c, "SELECT file_limits FROM modem_profiles WHERE name = $1", Params(m.name));
    if (said.row(0).text(0) != fileText) writeLimits(c, m.name, m.limits, fileText);
  }
}

bool setLimits(Connection& c, const std::string& modem, const ModemLimits& limits) {
  if (!knownModem(c, modem)) return false;
  writeLimits(c, modem, limits, "");
  return true;
}

std::vector<Store::ModemUsage> usage(Connection& c, std::int64_t now) {
  std::vector<Store::ModemUsage> out;
  auto rows = run(c, std::string("SELECT name, ") + kLimitColumns + " FROM modem_profiles ORDER BY name");
  const LocalWindows windows = localWindows(now);
  for (int i = 0; i < rows.size(); ++i) {
    Store::ModemUsage m;
    m.name = rows.row(i).text(0);
    m.limits = readLimits(rows.row(i), 1);
    m.tags = tagsOf(c, m.name);
    const Usage u = readUsage(c, m.name, windows);
    m.usedHour = u.hour;
    m.usedDay = u.day;
    m.usedMonth = u.month;
    m.highHour = u.high;
    m.recipientsMonth = u.recipients;
    out.push_back(std::move(m));
  }
  return out;
}

bool knownModem(Connection& c, const std::string& modem) {
  return run(c, "SELECT 1 FROM modem_profiles WHERE name = $1", Params(modem)).size() > 0;
}

bool knownTag(Connection& c, const std::string& tag) {
  return run(c, "SELECT 1 FROM modem_tags WHERE tag = $1 LIMIT 1", Params(tag)).size() > 0;
}

}  // namespace reviri::gateway::sql::farm
