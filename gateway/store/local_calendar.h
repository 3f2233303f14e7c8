// gateway/store/local_calendar.h - the local hours, days and months that
// modem limits count in, in the process's time zone (TZ), daylight-saving
// changes included.
//
// The windows are found with localtime_r and mktime, so a day has 23 or 25
// hours on a change night and an hour is a local clock hour (the repeated
// hour of an autumn night is a window of its own). Windows are keyed by
// their start in milliseconds since the epoch, which every host sharing a
// database computes alike when they run in the same time zone.
//
// Threading: thread-safe as long as nobody changes TZ while it runs; the
// gateway sets TZ (its time_zone) once, before it starts any thread.
#ifndef REVIRI_GATEWAY_STORE_LOCAL_CALENDAR_H_
#define REVIRI_GATEWAY_STORE_LOCAL_CALENDAR_H_

#include <cstdint>
#include <string>

namespace reviri::gateway {

struct LocalWindows {
  std::int64_t hourStart = 0, hourEnd = 0;    // ms since the epoch
  std::int64_t dayStart = 0, dayEnd = 0;
  std::int64_t monthStart = 0, monthEnd = 0;
  int minuteOfDay = 0;                        // of the local clock
};

LocalWindows localWindows(std::int64_t ms);
// The next moment at or after `ms` when the local clock shows `minuteOfDay`
// (skipped on a spring night: then the first moment after the gap).
std::int64_t nextLocalMinute(std::int64_t ms, int minuteOfDay);
// "2026-12-08T00:00:00+01:00".
std::string localIsoTime(std::int64_t ms);
// Makes `zone` ("Europe/Berlin"; "" keeps the system's) the process's time
// zone. Call before starting threads.
void useTimeZone(const std::string& zone);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_LOCAL_CALENDAR_H_
