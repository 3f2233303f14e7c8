// tests/gateway/api_responses.h - keeps the HTTP API true to its OpenAPI
// document: every answer a client hooked with recordResponses() receives
// is kept, and when the test program ends each is checked against the
// document's schema for its path, method and status by
// check_responses.py (python3-jsonschema); a mismatch fails the program.
//
// Threading: record() is thread-safe (clients on several threads).
#ifndef REVIRI_TESTS_GATEWAY_API_RESPONSES_H_
#define REVIRI_TESTS_GATEWAY_API_RESPONSES_H_

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace reviri::gateway::testing {

class ResponseRecorder : public ::testing::Environment {
 public:
  static void record(const httplib::Request& req, const httplib::Response& res) {
    nlohmann::json line{{"method", req.method},
                        {"path", req.path.substr(0, req.path.find('?'))},
                        {"status", res.status},
                        {"content_type", res.get_header_value("Content-Type")},
                        {"body", res.body}};
    std::lock_guard lock(mu());
    lines() += line.dump() + "\n";
  }

  void TearDown() override {
    std::string recorded;
    {
      std::lock_guard lock(mu());
      recorded.swap(lines());
    }
    if (recorded.empty()) return;
    const auto file = std::filesystem::temp_directory_path() / ("reviri-responses-" + std::to_string(::getpid()));
    std::ofstream(file) << recorded;
    const std::string command = std::string("python3 ") + REVIRI_OPENAPI_CHECK + " " + REVIRI_OPENAPI_DOC + " " +
                                file.string() + " 2>&1";
    const int rc = std::system(command.c_str());
    std::filesystem::remove(file);
    EXPECT_EQ(rc, 0) << "an answer does not match the OpenAPI document (see above): " << command;
  }

 private:
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static std::string& lines() {
    static std::string text;
    return text;
  }
};

inline ::testing::Environment* const kResponseRecorder = ::testing::AddGlobalTestEnvironment(new ResponseRecorder);

// Keeps every answer `client` receives for the check.
inline void recordResponses(httplib::Client& client) { client.set_logger(&ResponseRecorder::record); }

}  // namespace reviri::gateway::testing

#endif  // REVIRI_TESTS_GATEWAY_API_RESPONSES_H_
