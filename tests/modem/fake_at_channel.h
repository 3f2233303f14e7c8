// tests/modem/fake_at_channel.h - a scripted AtChannel for dialogue tests.
//
// Each command line is answered by the first rule whose prefix it starts
// with; a rule with several answers gives them in turn and then repeats the
// last. Lines without a rule get OK. PDUs written after a prompt are answered
// by the "PDU" rule. Unsolicited lines queued with arrive() are handed over
// by the next poll(), or after the next command's answer, as the real
// channel does.
#ifndef REVIRI_TESTS_MODEM_FAKE_AT_CHANNEL_H_
#define REVIRI_TESTS_MODEM_FAKE_AT_CHANNEL_H_

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "reviri/at_channel.h"

namespace reviri::testing {

class FakeAtChannel : public link::AtChannel {
 public:
  static link::AtAnswer ok(std::vector<std::string> lines = {}) {
    link::AtAnswer a;
    a.lines = std::move(lines);
    a.final = link::FinalKind::kOk;
    a.finalLine = "OK";
    return a;
  }
  static link::AtAnswer cms(int code) {
    link::AtAnswer a;
    a.final = link::FinalKind::kCmsError;
    a.errorCode = code;
    a.finalLine = "+CMS ERROR: " + std::to_string(code);
    return a;
  }
  static link::AtAnswer cme(int code) {
    link::AtAnswer a = cms(code);
    a.final = link::FinalKind::kCmeError;
    a.finalLine = "+CME ERROR: " + std::to_string(code);
    return a;
  }
  static link::AtAnswer prompt() {
    link::AtAnswer a;
    a.final = link::FinalKind::kPrompt;
    a.finalLine = ">";
    return a;
  }
  static link::AtAnswer silence() { return {}; }

  // Answers for lines starting with `prefix` ("PDU" for submitted PDUs).
  void on(const std::string& prefix, std::vector<link::AtAnswer> answers) { rules_[prefix] = {std::move(answers), 0}; }
  void arrive(std::string line, std::string pdu = {}) { pending_.push_back({std::move(line), std::move(pdu), {}}); }

  link::AtAnswer command(std::string_view commandLine, Duration) override {
    written.emplace_back(commandLine);
    link::AtAnswer a = answerFor(commandLine);
    deliver();
    return a;
  }
  link::AtAnswer submitPdu(std::string_view pduHex, Duration) override {
    written.push_back("PDU " + std::string(pduHex));
    link::AtAnswer a = answerFor("PDU");
    deliver();
    return a;
  }
  void cancelPrompt() override { written.emplace_back("<ESC>"); }
  bool poll(Duration) override {
    ++polls;
    const bool any = !pending_.empty();
    deliver();
    return any;
  }

  // The lines written that start with `prefix`.
  std::vector<std::string> writtenStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& w : written)
      if (w.starts_with(prefix)) out.push_back(w);
    return out;
  }

  std::vector<std::string> written;
  int polls = 0;

 private:
  struct Rule {
    std::vector<link::AtAnswer> answers;
    std::size_t next;
  };
  link::AtAnswer answerFor(std::string_view line) {
    Rule* best = nullptr;
    std::size_t bestLength = 0;
    for (auto& [prefix, rule] : rules_)
      if (line.starts_with(prefix) && prefix.size() >= bestLength) {
        best = &rule;
        bestLength = prefix.size();
      }
    if (!best || best->answers.empty()) return ok();
    const link::AtAnswer& a = best->answers[std::min(best->next, best->answers.size() - 1)];
    ++best->next;
    return a;
  }
  void deliver() {
    while (!pending_.empty()) {
      const link::Unsolicited u = pending_.front();
      pending_.pop_front();
      if (onUnsolicited) onUnsolicited(u);
    }
  }

  std::map<std::string, Rule> rules_;
  std::deque<link::Unsolicited> pending_;
};

// Hands a FakeAtChannel to its owner while the test keeps it: a Modem that
// fails to open destroys its channel, and the test still reads the record.
class SharedChannel : public link::AtChannel {
 public:
  explicit SharedChannel(std::shared_ptr<FakeAtChannel> fake) : fake_(std::move(fake)) {
    fake_->onUnsolicited = [this](const link::Unsolicited& u) {
      if (onUnsolicited) onUnsolicited(u);
    };
  }
  ~SharedChannel() override { fake_->onUnsolicited = nullptr; }
  link::AtAnswer command(std::string_view line, Duration t) override { return fake_->command(line, t); }
  link::AtAnswer submitPdu(std::string_view pdu, Duration t) override { return fake_->submitPdu(pdu, t); }
  void cancelPrompt() override { fake_->cancelPrompt(); }
  bool poll(Duration t) override { return fake_->poll(t); }

 private:
  std::shared_ptr<FakeAtChannel> fake_;
};

}  // namespace reviri::testing

#endif  // REVIRI_TESTS_MODEM_FAKE_AT_CHANNEL_H_
