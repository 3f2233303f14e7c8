// gateway/store/store.cpp - status names and the system clock.
#include "gateway/store/store.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <ctime>
#include <utility>

namespace reviri::gateway {
namespace {
constexpr std::array<std::pair<Status, const char*>, 7> kNames{{
    {Status::kQueued, "queued"},
    {Status::kSending, "sending"},
    {Status::kSent, "sent"},
    {Status::kDelivered, "delivered"},
    {Status::kFailed, "failed"},
    {Status::kExpired, "expired"},
    {Status::kCanceled, "canceled"},
}};
}  // namespace

const char* statusName(Status status) {
  for (const auto& [value, name] : kNames) {
    if (value == status) return name;
  }
  return "queued";
}

Status statusFromName(const std::string& name) {
  for (const auto& [value, text] : kNames) {
    if (name == text) return value;
  }
  throw std::invalid_argument("unknown status \"" + name + "\"");
}

std::int64_t systemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- USSD ----
std::string ussdAnswersJson(const std::vector<UssdAnswerRecord>& answers) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& a : answers)
    list.push_back({{"status", a.status},
                    {"text", a.text},
                    {"dcs", a.dcs >= 0 ? nlohmann::json(a.dcs) : nlohmann::json(nullptr)},
                    {"at", a.at}});
  return list.dump();
}

std::string isoTime(std::int64_t epochMs) {
  const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
  const auto ms = epochMs % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
  return text;
}

}  // namespace reviri::gateway
