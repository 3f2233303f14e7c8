/// @file
/// reviri/modem.h - the typed messaging API: a GSM modem that sends and
/// receives whole messages.
///
/// Modem is the interface for programs that want messages rather than AT
/// answers: it chooses the coding, splits long texts into concatenated parts
/// and joins received parts, asks for and matches delivery reports, enters
/// the SIM PIN, locks the port against a second process, and reports modem
/// failures as typed errors with the +CMS/+CME number and its meaning.
///
///   reviri::Modem modem;
///   modem.onMessage = [](const reviri::IncomingMessage& m) { ... };
///   modem.open("/dev/ttyUSB0");                      // throws ModemError
///   reviri::OutgoingMessage hello;
///   hello.to = "+4915112345678";
///   hello.text = "Hello";
///   reviri::SendResult result = modem.send(hello);
///   modem.runFor(std::chrono::minutes(1));           // messages arrive
///
/// Threading: a Modem is a single-threaded object. Every call, and every
/// callback it makes, runs on the thread that calls it; nothing runs in the
/// background. Incoming data are processed inside poll()/runFor() and inside
/// the blocking calls (after their own answer is complete, never in the
/// middle of a dialogue). Use one Modem per port and per thread.
#ifndef REVIRI_MODEM_H_
#define REVIRI_MODEM_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "reviri/at_channel.h"
#include "reviri/export.h"
#include "reviri/environment.h"
#include "reviri/message_coding.h"
#include "reviri/serial_port.h"

namespace reviri {

REVIRI_API std::string_view codingName(MessageCoding coding);  ///< "auto", "7bit", "ucs2", "8bit"

/// What went wrong, in the categories a caller acts on.
struct REVIRI_API Error {
  /// The category of a failure.
  enum class Kind {
    kNone,  ///< no error
    kModem,        ///< the modem refused: +CMS ERROR / +CME ERROR / ERROR
    kTimeout,      ///< no final answer in time
    kPin,          ///< the SIM wants a PIN that was not given, or a PUK
    kWrongPin,     ///< the PIN given was refused (never retried automatically)
    kPortInUse,    ///< another process holds the port
    kIo,           ///< the operating system refused the port
    kProtocol,     ///< an answer that cannot be understood
    kInvalidArgument,
    kCancelled,    ///< Modem::beforePart stopped a send before a part was written
  };
  /// The category; kNone when there is no error.
  Kind kind = Kind::kNone;
  /// The +CMS/+CME error number; -1 when there is none.
  int code = -1;
  /// The standard meaning of the number, or a sentence saying what failed.
  std::string meaning;
  /// The command line that failed ("" when none).
  std::string command;

  /// True when this holds an error.
  explicit operator bool() const { return kind != Kind::kNone; }
  /// One line for people: "+CMS ERROR 331 (no network service) after AT+CMGS=20".
  std::string describe() const;
};
REVIRI_API std::string_view errorKindName(Error::Kind kind);  ///< "modem", "timeout", "pin", ...

/// Thrown by open() and the blocking calls other than send().
class REVIRI_API ModemError : public std::runtime_error {
 public:
  /// Wraps `error`; what() is its describe().
  explicit ModemError(Error error) : std::runtime_error(error.describe()), error_(std::move(error)) {}
  /// The typed error.
  const Error& error() const { return error_; }

 private:
  Error error_;
};

/// A message storage of GSM 07.05.
/// A message storage of GSM 07.05: the SIM ("SM"), the phone ("ME") or both ("MT").
enum class Storage { kSim, kPhone, kBoth };
/// The storage's name in AT commands: "SM", "ME" or "MT".
REVIRI_API std::string_view storageName(Storage storage);
/// "SM", "ME" or "MT" (either case); nullopt otherwise.
REVIRI_API std::optional<Storage> parseStorage(std::string_view name);

/// A service-centre time stamp: the instant and the zone it was given in.
struct REVIRI_API ZonedTime {
  /// The instant, in UTC.
  std::chrono::system_clock::time_point when;
  int zoneMinutes = 0;  ///< offset from UTC, e.g. +60 for CET
  /// ISO 8601 with the zone, e.g. "2026-12-07T14:05:09+01:00".
  std::string iso8601() const;
};

/// A message to send: recipient, text and how to send it.
struct REVIRI_API OutgoingMessage {
  std::string to;  ///< "+4915112345678" (international) or a national number
  std::string text;  ///< UTF-8
  /// The coding to use; kAuto chooses GSM 7-bit when every character fits, else UCS2.
  MessageCoding coding = MessageCoding::kAuto;
  bool statusReport = false;  ///< ask the network for a delivery report (TP-SRR)
  bool flash = false;         ///< class 0: shown at once, not stored
  /// Validity period (relative); nullopt leaves it to the network.
  std::optional<std::chrono::minutes> validity;
  /// Service centre for this message; "" uses the one the modem knows.
  std::string smsc;
  /// When false, a text longer than one message is refused.
  bool allowSplit = true;
  /// The concatenation reference of a message in parts; nullopt takes the
  /// Modem's next one. Set it, with firstPart, to finish a message whose
  /// first parts an earlier send() delivered (SendResult::concatReference).
  std::optional<std::uint8_t> concatReference;
  /// The first part to send (1-based): parts before it are not written.
  int firstPart = 1;
};

/// What became of a send(): outcome, references per part, attempts, error.
struct REVIRI_API SendResult {
  /// How a send ended.
  enum class Outcome {
    kSent,       ///< every part accepted by the network
    kFailed,     ///< a part was refused; parts after it were not sent
    /// The PDU was written but no answer came, or the confirmation could not
    /// be understood (an impossible reference): it may have been sent.
    kMaybeSent,
  };
  /// How the send ended.
  Outcome outcome = Outcome::kFailed;
  /// Identifies this message in the StatusReports matched to it.
  std::uint64_t messageId = 0;
  /// The coding the message went out in.
  MessageCoding coding = MessageCoding::kGsm7;
  /// The number of parts the text was split into.
  int parts = 0;
  /// TP-MR of each part the network accepted in this send, in part order
  /// from OutgoingMessage::firstPart; whatever the outcome, these parts were
  /// accepted.
  std::vector<int> references;
  /// The concatenation reference used; nullopt for a one-part message.
  std::optional<int> concatReference;
  /// Attempts made in all (retries included).
  int attempts = 0;
  /// Why it failed or may have been sent; empty when sent.
  Error error;

  /// True when every part was sent.
  bool ok() const { return outcome == Outcome::kSent; }
};
REVIRI_API std::string_view outcomeName(SendResult::Outcome outcome);  ///< "sent", "failed", "maybe-sent"

/// Concatenation information of a message made of parts.
struct REVIRI_API ConcatInfo {
  int reference = 0;  ///< 8- or 16-bit reference
  int total = 1;      ///< number of parts the sender announced
  bool sixteenBit = false;  ///< the reference was 16-bit (IEI 08)
};

/// A received message, whole: its parts joined, handed over once.
struct REVIRI_API IncomingMessage {
  std::string sender;  ///< with "+" when international; text when alphanumeric
  std::string text;    ///< UTF-8, all parts joined
  /// The coding the sender used.
  MessageCoding coding = MessageCoding::kGsm7;
  int messageClass = -1;  ///< 0-3, -1 when the coding names none
  ZonedTime serviceCentreTime;  ///< of the first part
  /// Concatenation information; nullopt for a one-part message.
  std::optional<ConcatInfo> concat;
  /// How many distinct parts arrived.
  int partsReceived = 1;
  /// False when parts were missing after ModemOptions::incompleteAfter; the
  /// missing parts' text is absent.
  bool complete = true;
  /// The storage the parts were read from.
  Storage storage = Storage::kSim;
  /// Storage indexes the parts were read from (empty for routed messages).
  std::vector<int> indexes;
  /// The service centre that delivered the first part ("" when the PDU names none).
  std::string serviceCentre;
};

/// A delivery report (SMS-STATUS-REPORT) and the sent part it belongs to.
struct REVIRI_API StatusReport {
  int reference = 0;      ///< TP-MR of the part reported on
  std::string recipient;  ///< with "+" when international
  /// When the service centre received the reported message.
  ZonedTime serviceCentreTime;
  /// When the service centre delivered it or gave up (TP-DT).
  ZonedTime dischargeTime;
  int status = 0;       ///< TP-ST
  std::string meaning;  ///< its standard meaning, e.g. "short message received by the SME"
  /// Final success, still trying, or final failure, as TP-ST says.
  enum class Outcome { kDelivered, kPending, kFailed };
  /// The outcome `status` means.
  Outcome outcome = Outcome::kDelivered;
  /// Whether this Modem sent the part reported on; if so, which.
  bool matched = false;
  /// SendResult::messageId of the matched message; 0 when unmatched.
  std::uint64_t messageId = 0;
  int partNumber = 0;  ///< 1-based
  /// Number of parts of the matched message.
  int partCount = 0;
  /// Where the report was stored; -1 when it came in the indication.
  int index = -1;
  /// The storage holding `index` ("SM", "SR", ...); "" when not stored.
  std::string storage;
};
REVIRI_API std::string_view reportOutcomeName(StatusReport::Outcome outcome);  ///< "delivered", "pending", "failed"

/// One entry of a storage listing.
struct REVIRI_API StoredMessage {
  /// The storage index.
  int index = 0;
  /// The storage status of GSM 07.05 (+CMGL status 0-3).
  enum class Status { kUnread, kRead, kUnsent, kSent };
  /// The stored message's status.
  Status status = Status::kRead;
  /// What the stored PDU holds.
  enum class Kind { kIncoming, kOutgoing, kStatusReport, kUndecodable };
  /// What this entry holds.
  Kind kind = Kind::kUndecodable;
  IncomingMessage incoming;  ///< kIncoming: one part, as stored
  /// kOutgoing: the recipient.
  std::string recipient;
  /// kOutgoing: the text.
  std::string text;
  std::optional<StatusReport> report;  ///< kStatusReport
  std::string pdu;  ///< hex as stored
};

/// Signal quality as AT+CSQ reports it.
struct REVIRI_API SignalQuality {
  /// Received signal strength: 0 (-113 dBm or less) to 31 (-51 dBm or more)
  /// in steps of 2 dBm; 99 when the modem does not know it.
  int rssi = 99;
  /// Bit error rate: 0-7 (RXQUAL), 99 when the modem does not know it.
  int ber = 99;
  /// The strength in dBm; nullopt when rssi is 99.
  std::optional<int> dbm() const {
    if (rssi < 0 || rssi > 31) return std::nullopt;
    return -113 + 2 * rssi;
  }
};

/// An incoming call, announced once however often it rings (see Modem::onCall).
struct REVIRI_API IncomingCall {
  /// The caller's number, with "+" when international; "" when the caller
  /// withheld it, the network did not give it, or the modem shows no
  /// caller identification.
  std::string number;
  /// When it first rang (the environment's wall clock).
  std::chrono::system_clock::time_point time;
  /// Hung up before this announcement because ModemOptions::rejectCalls is set.
  bool rejected = false;
};

/// How full the storage messages are read from is, as AT+CPMS? counts it.
struct REVIRI_API StorageUse {
  int used = 0;   ///< slots holding a message
  int total = 0;  ///< slots in all
};

/// How send() retries transient failures (only before a PDU was written).
struct REVIRI_API RetryPolicy {
  /// Attempts per part, the first included.
  int maxAttempts = 3;
  /// Pause before the second attempt.
  std::chrono::milliseconds firstBackoff{2000};
  /// Each further pause is the previous one times this.
  double backoffFactor = 2.0;
  /// +CMS ERROR numbers worth another attempt: network out of order, temporary
  /// failure, congestion, resources unavailable, no network service, network
  /// time-out, memory failure / SIM busy, unknown error.
  std::set<int> transientCms{38, 41, 42, 47, 331, 332, 320, 500, 512, 513, 514, 515};
  /// +CME ERROR numbers worth another attempt: SIM busy, and the "device
  /// busy" many modems give while they register.
  std::set<int> transientCme{14, 515};
};

// ---- USSD (unstructured supplementary service data) --------------------------

/// How the request string of AT+CUSD is written. Modems differ: most take
/// the code as text ("*100#"), many Huawei sticks want it as GSM 7-bit
/// packed into octets and written as hex ("AA180C3602").
enum class UssdRequestCoding {
  kAuto,     ///< text first; packed hex when the modem refuses text
  kText,     ///< text first (the other form still follows a refusal)
  kPacked7,  ///< packed 7-bit hex first (the other form still follows a refusal)
};

/// How long Modem::ussd() and its replies wait.
struct REVIRI_API UssdOptions {
  /// For the network's answer after the modem accepted the request; when it
  /// runs out the session is ended with AT+CUSD=2 (so the modem is free
  /// again) and the answer has UssdAnswer::Status::kTimeout.
  std::chrono::milliseconds timeout{30000};
  /// After an answer without text ("+CUSD: 2" alone), for the real answer
  /// some networks send right after it.
  std::chrono::milliseconds secondStepWait{3000};
};

/// One answer of the network to a USSD request or reply.
struct REVIRI_API UssdAnswer {
  /// What the network says about the session (the first field of +CUSD).
  enum class Status {
    kFurtherAction,  ///< 1: the network waits for a reply (Modem::ussdReply / ussdCancel)
    kDone,           ///< 0: no further action; the session is over
    kTerminated,     ///< 2: the network ended the session
    kOtherClient,    ///< 3: another local client answered
    kNotSupported,   ///< 4: the operation is not supported
    kTimeout,        ///< 5, or no answer in UssdOptions::timeout
  };
  /// What the network says about the session.
  Status status = Status::kTimeout;
  /// The answer's text in UTF-8, decoded by its DCS ("" when none came).
  std::string text;
  /// The data coding scheme as the modem gave it; -1 when it gave none.
  int dcs = -1;
  /// The +CUSD line as received ("" when none came).
  std::string raw;
  /// True while the session waits for a reply.
  bool open() const { return status == Status::kFurtherAction; }
};
/// "further-action", "done", "terminated", "other-client", "not-supported", "timeout".
REVIRI_API std::string_view ussdStatusName(UssdAnswer::Status status);

/// Which way a traced line went: written to the modem, or read from it (the
/// AT channel's own enumeration).
using TraceDirection = link::TraceDirection;

/// Settings of a Modem, fixed when it is made.
/// The environment gives the port, the pauses between retries and the
/// clocks (the wall clock for ages and the incomplete hand-over).
struct REVIRI_API ModemOptions : Environment {
  /// Line settings "baud,parity,data bits,stop bits".
  std::string settings = "115200,n,8,1";
  std::string pin;  ///< entered when the SIM asks for its PIN
  Storage storage = Storage::kSim;  ///< read, list and receive here
  /// When and how often send() retries.
  RetryPolicy retry;
  /// How long the modem may go without answering a command that runs
  /// (indications and vendor noise meanwhile do not count as an answer).
  std::chrono::milliseconds commandTimeout{10000};
  /// How long a written PDU may wait for its answer before the send is
  /// reported as "may have been sent" (indications and vendor noise
  /// meanwhile do not extend it).
  std::chrono::milliseconds sendTimeout{60000};
  /// A message whose parts stay incomplete this long is handed over as
  /// incomplete (and its parts deleted).
  std::chrono::seconds incompleteAfter{600};
  /// Delete messages and stored reports from the modem once handed over.
  bool deleteAfterHandOver = true;
  /// Lock the port (UUCP lock file and flock) against other processes.
  bool lockPort = true;
  /// Directory of the UUCP lock files; "" picks /run/lock or /var/lock.
  std::string lockDirectory;
  /// The first concatenation reference; nullopt derives one from the clock.
  std::optional<std::uint8_t> firstConcatReference;
  // ---- USSD ----
  /// The form a USSD request is written in first (see UssdRequestCoding);
  /// a modem that refuses it gets the other, which is then kept.
  UssdRequestCoding ussdCoding = UssdRequestCoding::kAuto;

  // ---- Incoming calls ----
  /// Hang up every incoming call when it is announced (AT+CHUP, or ATH where
  /// the modem refuses that), so that a SIM used for messages is not held busy.
  bool rejectCalls = false;
  /// A call that has not rung for this long is over; the next ring is a new
  /// call. Modems repeat RING every 3 to 6 seconds while a call rings.
  std::chrono::milliseconds ringTimeout{10000};
};

/// A GSM modem on a serial port, sending and receiving whole messages.
///
/// Single-threaded: see the file comment.
class REVIRI_API Modem {
 public:
  /// A closed Modem with `options`; open() connects it.
  explicit Modem(ModemOptions options = {});
  /// Closes the port.
  ~Modem();
  /// Moves the open session and the callbacks along; the moved-from Modem may
  /// only be destroyed or assigned to.
  Modem(Modem&&) noexcept;
  /// Moves like the move constructor; closes this Modem's own session first.
  Modem& operator=(Modem&&) noexcept;

  /// Opens `device` and readies the modem: takes the port lock, sends ESC
  /// (leaves a message prompt a dead process may have left) and "AT" until it
  /// answers, then ATE0, AT+CMEE=1, AT+CPIN? (entering options.pin with
  /// AT+CPIN="..." when asked, once), AT+CMGF=0, AT+CPMS for the chosen
  /// storage, AT+CNMI asking for new-message and delivery-report
  /// indications and AT+CLIP=1 for the numbers of callers (a modem that
  /// refuses it still opens; its calls come without numbers). Throws ModemError: kPortInUse ("port in use (by PID n)"),
  /// kIo, kTimeout (no answer), kPin / kWrongPin, kModem.
  void open(const std::string& device);
  /// Opens on a channel the caller made (tests, other transports). The port
  /// lock is the caller's business.
  void open(std::unique_ptr<link::AtChannel> channel);
  /// Whether a session is open.
  bool isOpen() const;
  /// Releases the port and the lock. Never throws.
  void close() noexcept;

  /// Sends `message`, split into parts when needed: for each part AT+CMGS=n,
  /// then the PDU once the "> " prompt is there. Transient failures
  /// (RetryPolicy::transientCms, a missing prompt) are retried with backoff
  /// through the sleeper; a time-out after the PDU was written is never
  /// retried and gives Outcome::kMaybeSent. Throws std::invalid_argument
  /// naming the field for a bad number, a text that does not fit the forced
  /// coding or a long text with allowSplit false; SerialError from the port.
  SendResult send(const OutgoingMessage& message);

  /// Checks `message` as send() does before it writes anything, without a
  /// modem: throws std::invalid_argument naming the field.
  static void check(const OutgoingMessage& message);

  /// Every message in `storage` (options.storage when nullopt), decoded from
  /// the AT+CMGL=4 answer itself. Throws ModemError when the modem refuses.
  std::vector<StoredMessage> list(std::optional<Storage> storage = std::nullopt);
  /// The message at `index` of options.storage (AT+CMGR); nullopt for an
  /// empty slot. Throws ModemError when the modem refuses otherwise.
  std::optional<StoredMessage> read(int index);
  /// Deletes the message at `index` (AT+CMGD). Throws ModemError.
  void remove(int index);
  /// Deletes the message at `index` of `storage` ("SM", "ME", "SR"; "" is
  /// options.storage), e.g. a slot named by IncomingMessage or StatusReport
  /// when deleteAfterHandOver is off. Throws ModemError.
  void remove(int index, const std::string& storage);

  /// The service-centre number the modem uses (AT+CSCA?), and setting it.
  std::string serviceCentre();
  /// Sets the service-centre number (AT+CSCA="number",type). Throws
  /// std::invalid_argument for a number that is not a dial string, ModemError
  /// when the modem refuses.
  void setServiceCentre(const std::string& number);

  /// The signal quality (AT+CSQ). Throws ModemError when the modem refuses
  /// or the answer has no +CSQ line.
  SignalQuality signalQuality();
  /// The name of the network the modem is registered with, in the long
  /// alphanumeric format (AT+COPS?; the format is chosen with AT+COPS=3,0
  /// once per session); "" when not registered. Throws ModemError when the
  /// modem refuses.
  std::string networkOperator();
  /// How many slots the first storage of AT+CPMS? (where messages are read
  /// and deleted) holds and how many are used; a SIM that is full refuses
  /// new messages (+CMS ERROR: 322). Throws ModemError when the modem
  /// refuses or the answer has no understandable +CPMS line.
  StorageUse storageUse();

  /// Reads what arrived, for at most `timeout`, and hands over complete
  /// messages and reports through the callbacks. The first call processes the
  /// backlog (messages stored before it) first. Returns whether anything
  /// arrived.
  bool poll(std::chrono::milliseconds timeout);
  /// Polls until `duration` has passed or stop() is called from a callback.
  void runFor(std::chrono::milliseconds duration);
  /// Ends the runFor() that is running (call it from a callback).
  void stop() { stopRequested_ = true; }

  // ---- A host's own event loop (as c-ares and mosquitto offer) ----------
  /// The port's descriptor to wait on for readability (POSIX: a file
  /// descriptor), or NativeHandle{} while no port of its own is open. When
  /// it is readable, call processReadable().
  NativeHandle descriptor() const;
  /// Reads what is waiting without sleeping and hands over complete
  /// messages and reports through the callbacks, as poll(0) does. Returns
  /// whether anything arrived.
  bool processReadable();
  /// Ends the wait of a poll() or runFor() that runs (or the next one, when
  /// none runs) at once: poll() returns false, runFor() returns. The only
  /// member that may be called from any thread (and, on POSIX, from a signal
  /// handler); a dialogue (send(), list() ...) is never cut short by it.
  void interrupt() noexcept;
  /// Processes the stored messages now (done by the first poll otherwise).
  void processBacklog();

  /// Whole messages, each once. While onMessage is empty, incoming messages
  /// are left in storage unread (and are the backlog of a later listener);
  /// likewise stored delivery reports while onStatusReport is empty.
  std::function<void(const IncomingMessage&)> onMessage;
  /// Delivery reports, matched to the sent part when this Modem sent it.
  std::function<void(const StatusReport&)> onStatusReport;
  /// Failures met while processing incoming data (no caller to throw to).
  std::function<void(const Error&)> onError;
  /// Every line written to and read from the modem.
  std::function<void(TraceDirection, std::string_view)> onTrace;
  /// Runs whenever bytes arrived from the modem, inside dialogues too: a
  /// sign of life for hosts that watch a long send.
  std::function<void()> onProgress;
  /// Asked by send() before each attempt to write a part (before its
  /// AT+CMGS), with the part's number and the result so far (the references
  /// of the parts accepted in this send). Returning false writes nothing
  /// more: the send ends with Outcome::kFailed and Error::Kind::kCancelled.
  /// A gateway uses it to check that the message is still its own.
  std::function<bool(int part, const SendResult& soFar)> beforePart;

  // ---- USSD ----------------------------------------------------------------
  /// Sends the USSD `code` (e.g. "*100#") with AT+CUSD=1 and returns the
  /// network's answer, whether the modem gives its +CUSD before or after
  /// OK, and in two steps ("+CUSD: 2" alone, then the text). The request is
  /// written as ModemOptions::ussdCoding says, the other form after a
  /// refusal; the answer is decoded by its DCS (GSM 7-bit as text or packed
  /// hex, UCS2 hex, 8-bit). No answer in options.timeout ends the session
  /// with AT+CUSD=2 and gives Status::kTimeout.
  ///
  /// While an answer is open() the session waits for ussdReply() or
  /// ussdCancel(): nothing else is sent on this modem meanwhile (every other
  /// call throws ModemError kInvalidArgument, and incoming messages wait).
  /// Throws std::invalid_argument for an empty code or one with characters
  /// outside the GSM alphabet, ModemError when the modem refuses both forms.
  UssdAnswer ussd(const std::string& code, const UssdOptions& options = {});
  /// Answers an open session (e.g. "1" to choose a menu entry); as ussd().
  /// Throws ModemError kInvalidArgument when no session is open.
  UssdAnswer ussdReply(const std::string& text, const UssdOptions& options = {});
  /// Ends an open session (AT+CUSD=2). Does nothing when none is open.
  void ussdCancel();
  /// Whether a USSD session waits for a reply.
  bool ussdOpen() const;
  // ---- Incoming calls ----
  /// Incoming calls, each once (from poll(), runFor() and after dialogues,
  /// like messages). The RINGs a ringing call repeats are folded into one
  /// call: it is announced when the caller's number (+CLIP) comes, at its
  /// second ring or two seconds after its first when no number comes, or
  /// when it ends (at once when the modem shows no numbers); it ends with NO
  /// CARRIER, when it is hung up, or after ModemOptions::ringTimeout without
  /// a ring, and only a ring after that is a new call.
  std::function<void(const IncomingCall&)> onCall;
  /// Hangs up the call that rings now: AT+CHUP, or ATH where the modem
  /// refuses that. Throws ModemError when the modem refuses both.
  void hangUp();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  bool stopRequested_ = false;
};

}  // namespace reviri

#endif  // REVIRI_MODEM_H_
