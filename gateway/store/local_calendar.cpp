// gateway/store/local_calendar.cpp - local windows through the C library.
#include "gateway/store/local_calendar.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace reviri::gateway {
namespace {

std::tm localTm(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return tm;
}

// The moment the local clock shows `tm` (fields may overflow: mktime
// normalises them); the daylight-saving flag is left to mktime.
std::int64_t localMs(std::tm tm) {
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm)) * 1000;
}

std::tm midnight(std::tm tm, int addDays) {
  tm.tm_mday += addDays;
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  return tm;
}

}  // namespace

LocalWindows localWindows(std::int64_t ms) {
  const std::tm tm = localTm(ms);
  LocalWindows w;
  // The hour begins where the local clock last showed :00:00; in whole-hour
  // zones and on both change nights that is an hour of real time.
  const std::int64_t second = ms - ((ms % 1000) + 1000) % 1000;
  w.hourStart = second - (tm.tm_min * 60 + tm.tm_sec) * 1000LL;
  w.hourEnd = w.hourStart + 3600 * 1000LL;
  w.dayStart = localMs(midnight(tm, 0));
  w.dayEnd = localMs(midnight(tm, 1));
  std::tm first = midnight(tm, 1 - tm.tm_mday);
  w.monthStart = localMs(first);
  first.tm_mon += 1;
  w.monthEnd = localMs(first);
  w.minuteOfDay = tm.tm_hour * 60 + tm.tm_min;
  return w;
}

std::int64_t nextLocalMinute(std::int64_t ms, int minuteOfDay) {
  for (int day = 0; day <= 1; ++day) {
    std::tm tm = midnight(localTm(ms), day);
    tm.tm_min = minuteOfDay;
    const std::int64_t at = localMs(tm);
    if (at >= ms) return at;
  }
  return ms + 24 * 3600 * 1000LL;
}

std::string localIsoTime(std::int64_t ms) {
  const std::tm tm = localTm(ms);
  char text[40], zone[8];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::strftime(zone, sizeof zone, "%z", &tm);  // +0100
  std::string out = text;
  out += std::string(zone, 3) + ":" + std::string(zone + 3, 2);
  return out;
}

void useTimeZone(const std::string& zone) {
  if (zone.empty()) return;
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
}

}  // namespace reviri::gateway
