/// @file
/// reviri/at_channel.h - the line-oriented AT channel that the protocol layer
/// (the typed Modem, and the control through its exchange adapter) talks through.
///
/// Every byte read from the port goes through one line assembler. A byte
/// belongs either to the answer of the command that is running or to the
/// receive path: unsolicited result codes (+CMTI, +CDSI, +CMT and +CDS with
/// the PDU line after them, +CREG, RING, vendor lines such as ^RSSI: and
/// ^BOOT:) are taken out of answers and handed to the unsolicited handler
/// only once their line (and, for +CMT/+CDS, their PDU line) is complete. An
/// exact echo of the command line just written is dropped from the answer.
///
/// Threading: single-threaded, like the object that owns it. Waiting sleeps
/// in the kernel; the event pump (if any) runs in every poll.
#ifndef REVIRI_AT_CHANNEL_H_
#define REVIRI_AT_CHANNEL_H_

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "reviri/export.h"

/// The AT exchange: the channel the protocol layer and the typed Modem talk through.
namespace reviri::link {

/// How an answer ended.
enum class FinalKind {
  kNone,      ///< no final result before the idle bound ran out
  kOk,        ///< "OK"
  kError,     ///< "ERROR"
  kCmsError,  ///< "+CMS ERROR: <n or text>"
  kCmeError,  ///< "+CME ERROR: <n or text>"
  kPrompt,    ///< the message-entry prompt "> "
};

/// The answer to one command line, split into its parts.
struct REVIRI_API AtAnswer {
  /// Information lines, in order, without CR LF, echo, blank lines and
  /// unsolicited lines.
  std::vector<std::string> lines;
  /// How the answer ended.
  FinalKind final = FinalKind::kNone;
  /// The number of a +CMS/+CME ERROR; -1 when there is none or it was text.
  int errorCode = -1;
  /// The final result line as received ("OK", "+CMS ERROR: 321", ">").
  std::string finalLine;
  /// The answer as received (UTF-8 of the ISO-8859-1 bytes), CR LF included,
  /// the echo and unsolicited lines excluded: what the Reviri control's members return.
  std::string raw;

  /// True when the answer ended with OK.
  bool ok() const { return final == FinalKind::kOk; }
  /// True when no final result came.
  bool timedOut() const { return final == FinalKind::kNone; }
};

/// One unsolicited result: its line (without CR LF) and, for the two-line
/// indications (+CMT, +CDS), the PDU line that followed.
struct REVIRI_API Unsolicited {
  std::string line;  ///< the indication line, without CR LF
  std::string pdu;   ///< the PDU line of +CMT/+CDS; empty for the others
  /// The bytes as received (UTF-8 of the ISO-8859-1 bytes), the blank lines
  /// before it and the line ends included.
  std::string raw;
};

/// Which way a traced line went.
enum class TraceDirection { kWritten, kRead };

/// A line-oriented AT command channel to one modem; see the file comment.
class REVIRI_API AtChannel {
 public:
  /// Time-outs of the channel.
  using Duration = std::chrono::milliseconds;
  /// Closes nothing: the owner of the port closes it.
  virtual ~AtChannel() = default;

  /// Writes `commandLine` followed by CR and collects its answer until a
  /// final result, or until the modem stayed silent for `idleTimeout`.
  /// Unsolicited lines met meanwhile go to the unsolicited handler after the
  /// answer is complete (never re-entrantly inside the wait). Throws
  /// SerialError from the port.
  virtual AtAnswer command(std::string_view commandLine, Duration idleTimeout) = 0;
  /// After a prompt: writes the PDU hex followed by Ctrl-Z and collects the
  /// answer as command() does.
  virtual AtAnswer submitPdu(std::string_view pduHex, Duration idleTimeout) = 0;
  /// Leaves a message-entry prompt: writes ESC and drops what answers it.
  virtual void cancelPrompt() = 0;
  /// Reads what arrived while no command runs, for at most `timeout`,
  /// handing complete unsolicited lines to the handler. Returns whether any
  /// byte arrived.
  virtual bool poll(Duration timeout) = 0;

  /// Receives every complete unsolicited result, outside any command wait.
  std::function<void(const Unsolicited&)> onUnsolicited;
  /// Every line written and every complete line read, for logging.
  std::function<void(TraceDirection, std::string_view)> onTrace;
  /// Runs after every read that brought bytes.
  std::function<void()> onProgress;
};

}  // namespace reviri::link

#endif  // REVIRI_AT_CHANNEL_H_
