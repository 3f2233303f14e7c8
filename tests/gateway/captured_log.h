// tests/gateway/captured_log.h - an EventLog whose lines a test can read
// while the gateway's threads write them.
//
// Threading: thread-safe.
#ifndef REVIRI_TESTS_GATEWAY_CAPTURED_LOG_H_
#define REVIRI_TESTS_GATEWAY_CAPTURED_LOG_H_

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "gateway/event_log.h"

namespace reviri::gateway::testing {

class CapturedLog {
 public:
  EventLog& log() { return log_; }
  // How many lines hold `text`.
  int count(const std::string& text) {
    std::lock_guard lock(buffer_.mu);
    int n = 0;
    for (auto at = buffer_.text.find(text); at != std::string::npos; at = buffer_.text.find(text, at + 1)) ++n;
    return n;
  }
  // The lines that hold `text`.
  std::vector<std::string> lines(const std::string& text) {
    std::lock_guard lock(buffer_.mu);
    std::vector<std::string> found;
    for (auto at = buffer_.text.find(text); at != std::string::npos; at = buffer_.text.find(text, at + 1)) {
      const auto begin = buffer_.text.rfind('\n', at);
      const auto end = buffer_.text.find('\n', at);
      found.push_back(buffer_.text.substr(begin == std::string::npos ? 0 : begin + 1,
                                          end == std::string::npos ? std::string::npos : end - begin - 1));
    }
    return found;
  }

 private:
  struct Buffer : std::streambuf {
    std::mutex mu;
    std::string text;
    int_type overflow(int_type c) override {
      if (c != traits_type::eof()) {
        std::lock_guard lock(mu);
        text += static_cast<char>(c);
      }
      return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      std::lock_guard lock(mu);
      text.append(s, static_cast<std::size_t>(n));
      return n;
    }
  };
  Buffer buffer_;
  std::ostream stream_{&buffer_};
  EventLog log_{&stream_};
};

}  // namespace reviri::gateway::testing

#endif  // REVIRI_TESTS_GATEWAY_CAPTURED_LOG_H_
