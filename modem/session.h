// modem/session.h - the dialogues of the typed Modem over an AtChannel.
//
// Session owns the channel and the receive state (part joiner, sent parts
// awaiting delivery reports, unsolicited lines not yet processed). It is
// Modem's implementation, separate so that tests can drive it over a
// scripted channel.
//
// Unsolicited lines that arrive during a dialogue are queued and processed
// only between dialogues (drain()), because processing them runs commands
// of its own.
//
// Threading: single-threaded, like the Modem that owns it.
#ifndef REVIRI_MODEM_SESSION_H_
#define REVIRI_MODEM_SESSION_H_

#include <deque>
#include <map>
#include <memory>
#include <string>

#include "modem/calls.h"
#include "reviri/at_channel.h"
#include "reviri/modem.h"
#include "sms/reassembly.h"
#include "sms/submit_plan.h"

namespace reviri::modem {

// What Session reports to; Modem forwards to its callbacks.
struct SessionSink {
  std::function<void(const IncomingMessage&)> message;
  std::function<void(const StatusReport&)> statusReport;
  std::function<void(const Error&)> error;
  std::function<void(TraceDirection, std::string_view)> trace;
  // Whether anyone takes messages / reports now. Without a taker they are
  // left in storage, unread, for a later listener.
  std::function<bool()> wantsMessages;
  std::function<bool()> wantsReports;
  // Asked before each attempt to write a part; false ends the send.
  std::function<bool(int part, const SendResult& soFar)> beforePart;
  // ---- Incoming calls ----
  std::function<void(const IncomingCall&)> call;
};

// An Error of `kind` saying `meaning` about `command`.
Error makeError(Error::Kind kind, std::string meaning, std::string command = {});

class Session {
 public:
  Session(std::unique_ptr<link::AtChannel> channel, const ModemOptions& options, SessionSink sink);

  // The opening sequence; throws ModemError.
  void start();

  SendResult send(const OutgoingMessage& message);
  std::vector<StoredMessage> list(Storage storage);
  std::optional<StoredMessage> read(int index);
  // Deletes in `storage` ("" is the chosen one).
  void remove(int index, const std::string& storage);
  std::string serviceCentre();
  void setServiceCentre(const std::string& number);
  SignalQuality signalQuality();
  std::string networkOperator();
  StorageUse storageUse();

  // ---- USSD (modem/ussd.cpp) ----
  UssdAnswer ussd(const std::string& code, const UssdOptions& options);
  UssdAnswer ussdReply(const std::string& text, const UssdOptions& options);
  void ussdCancel();
  bool ussdOpen() const { return ussdOpen_; }

  // ---- Incoming calls (see modem/calls.h) ----
  // Hangs up the ringing call; throws ModemError when the modem refuses.
  void hangUp();

  bool poll(std::chrono::milliseconds timeout);
  // What a poll does before it waits: the backlog once, then what arrived
  // during the last dialogue.
  void prepareForPolls();
  void processBacklog();
  // Processes queued unsolicited lines and hands over messages whose time
  // ran out.
  void drain();

 private:
  struct SentPart {
    std::uint64_t messageId = 0;
    int partNumber = 0;
    int partCount = 0;
    std::string recipient;
  };
  enum class PartOutcome { kSent, kFailed, kMaybeSent };

  link::AtAnswer run(const std::string& command, std::chrono::milliseconds timeout);
  link::AtAnswer run(const std::string& command) { return run(command, options_.commandTimeout); }
  // Runs `command` and throws ModemError unless it ends with OK.
  link::AtAnswer expectOk(const std::string& command);
  Error errorOf(const link::AtAnswer& answer, const std::string& command) const;
  bool transient(const link::AtAnswer& answer) const;

  void wakeUp();
  void unlockSim();
  void selectStorage(std::string_view name);
  // Selects the storage AT+CMGR/AT+CMGL/AT+CMGD work on, if not already.
  void readFrom(const std::string& name);
  // Storage slots as one int for the joiner: the index in the chosen
  // storage, or index + kSlotStride * n for the n-th other storage met.
  static constexpr int kSlotStride = 100000;
  int slotKey(const std::string& storage, int index);
  std::pair<std::string, int> slotOf(int key) const;
  void askForIndications();

  // AT+CMGL=4 in `storage`, decoded; queued indications stay queued.
  std::vector<StoredMessage> listing(Storage storage);
  PartOutcome sendPart(const sms::SubmitPart& part, SendResult& result);
  PartOutcome confirmed(const link::AtAnswer& sent, const std::string& command, SendResult& result);
  void pause(int retry);
  static std::string simState(const link::AtAnswer& answer);
  void rememberSent(int reference, const SentPart& part);
  void match(StatusReport& report);

  void handle(const link::Unsolicited& u);
  bool wantsMessages() const { return !sink_.wantsMessages || sink_.wantsMessages(); }
  bool wantsReports() const { return !sink_.wantsReports || sink_.wantsReports(); }
  void readIndicated(const std::string& storage, int index);
  void process(const std::string& pdu, int index);
  void handOver(const sms::JoinedMessage& joined);
  void discard(int key);
  void reportError(Error error);
  sms::Reassembler::Clock::time_point now() const;

  std::unique_ptr<link::AtChannel> channel_;
  const ModemOptions& options_;
  SessionSink sink_;
  sms::Reassembler joiner_;
  std::deque<link::Unsolicited> queued_;
  bool draining_ = false;
  bool backlogDone_ = false;
  std::string storage_;  // the chosen storage, e.g. "SM"
  std::string reading_;  // the storage AT+CMGR etc. work on now
  std::vector<std::string> otherStorages_;
  std::uint8_t nextConcatReference_ = 0;
  std::uint64_t nextMessageId_ = 1;
  std::map<int, SentPart> awaitingReport_;  // by TP-MR
  std::deque<int> sentOrder_;               // TP-MRs, oldest first
  bool operatorFormatChosen_ = false;       // AT+COPS=3,0 done

  // ---- USSD (modem/ussd.cpp) ----
  // Writes `text` with AT+CUSD=1 in the form the modem takes and waits for
  // the network's answer.
  UssdAnswer ussdExchange(const std::string& text, const UssdOptions& options);
  // AT+CUSD=1 in `packed` form or not; the answer to the command itself.
  link::AtAnswer writeUssd(const std::string& text, bool packed);
  // The next +CUSD line: in `answer`, else queued or arriving before `deadline`.
  std::optional<std::string> awaitCusd(const link::AtAnswer& answer, std::chrono::steady_clock::time_point deadline);
  std::optional<std::string> takeQueuedCusd();
  UssdAnswer ussdAnswerOf(const std::string& line) const;
  // Throws ModemError unless `command` may go out now: while a USSD session
  // is open only AT+CUSD may.
  void refuseWhileUssdOpen(const std::string& command) const;
  bool ussdOpen_ = false;
  std::optional<bool> ussdPacked_;  // the form the modem took last; nullopt before the first
  // ---- Incoming calls ----
  void switchOnCallerId();
  // Announces the calls that are due, hanging them up first when asked to.
  void announceCalls();
  // AT+CHUP, else ATH; the error when both are refused.
  Error hangUpCall();
  CallTracker calls_{options_.ringTimeout};
};

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_SESSION_H_
