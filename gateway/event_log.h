// gateway/event_log.h - one line per event on standard error, in a stable
// format that tools can split:
//
//   2026-12-07T13:55:00.123Z event=sent id=5 modem=sim1 references=12
//
// Values with spaces, quotes or '=' are written in double quotes with \" and
// \\ escapes.
//
// Threading: thread-safe; lines never interleave.
#ifndef REVIRI_GATEWAY_EVENT_LOG_H_
#define REVIRI_GATEWAY_EVENT_LOG_H_

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace reviri::gateway {

class EventLog {
 public:
  using Field = std::pair<std::string_view, std::string>;
  explicit EventLog(std::ostream* out = nullptr) : out_(out) {}
  void event(std::string_view name, std::initializer_list<Field> fields = {});
  // The line event() writes, without the time stamp.
  static std::string format(std::string_view name, std::initializer_list<Field> fields);

 private:
  std::mutex mu_;
  std::ostream* out_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_EVENT_LOG_H_
