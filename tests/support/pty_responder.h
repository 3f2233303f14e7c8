// tests/support/pty_responder.h - a scripted modem on a pseudo-terminal.
//
// Opens a pseudo-terminal pair and answers, from a thread of its own, every
// line the control writes to the slave side. A line ends with CR, Ctrl-Z or
// ESC (the terminator is kept in the line given to the handler). Tests talk
// to devicePath() through the real POSIX serial layer.
#ifndef REVIRI_TESTS_SUPPORT_PTY_RESPONDER_H_
#define REVIRI_TESTS_SUPPORT_PTY_RESPONDER_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reviri::testing {

class PtyResponder {
 public:
  // Returns the bytes to answer `line` with (possibly none).
  using Handler = std::function<std::string(const std::string& line)>;

  explicit PtyResponder(Handler handler);
  ~PtyResponder();
  PtyResponder(const PtyResponder&) = delete;
  PtyResponder& operator=(const PtyResponder&) = delete;

  const std::string& devicePath() const { return path_; }
  // Writes unsolicited bytes to the control.
  void send(const std::string& bytes);
  // Closes the master side: the control sees a hang-up.
  void hangUp();
  // Every line received so far.
  std::vector<std::string> lines() const;

 private:
  void run();

  Handler handler_;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace reviri::testing

#endif  // REVIRI_TESTS_SUPPORT_PTY_RESPONDER_H_
