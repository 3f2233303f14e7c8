// gateway/event_log.cpp - the gateway's event lines.
#include "gateway/event_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "gateway/store/store.h"  // isoTime: the store's events carry the same times

namespace reviri::gateway {
namespace {

std::string quoted(const std::string& value) {
  const bool plain = !value.empty() && value.find_first_of(" \t\"=\\\r\n") == std::string::npos;
  if (plain) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '\r') {
      out += "\\r";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string EventLog::format(std::string_view name, std::initializer_list<Field> fields) {
  std::string line = "event=" + std::string(name);
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    line += quoted(value);
  }
  return line;
}

void EventLog::event(std::string_view name, std::initializer_list<Field> fields) {
  if (out_ == nullptr) return;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::string line = isoTime(now) + " " + format(name, fields) + "\n";
  std::lock_guard lock(mu_);
  *out_ << line << std::flush;
}

}  // namespace reviri::gateway
