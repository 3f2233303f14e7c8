// tools/context.h - what every verb of the reviri tool shares: the global
// options, the modem session (real port or built-in simulator), output in
// human or JSON form, and the progress line.
//
// Threading: single-threaded, like the control it drives.
#ifndef REVIRI_TOOLS_CONTEXT_H_
#define REVIRI_TOOLS_CONTEXT_H_

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <re2/re2.h>
#include <string>
#include <string_view>
#include <vector>

#include "reviri/modem.h"
#include "reviri/reviri.h"
#include "sim/simulator.h"
#include "tools/cli.h"

namespace CLI {
class App;
}

namespace reviri::cli {

struct GlobalOptions {
  std::string port;                    // device path or port number; "" = built-in simulator
  std::string settings = "19200,n,8,1";
  double timeoutSeconds = 10;
  bool timeoutGiven = false;  // --timeout was on the command line
  bool json = false;
  bool verbose = false;
  std::string pin;      // entered when the SIM asks for it (typed-API verbs)
  std::string storage;  // SM, ME or MT for reading and receiving; "" = SM
  // Whether the control reads and announces messages whose indication
  // arrives while the verb runs; off for one-shot verbs (see runCli).
  bool processNewMessages = true;
};

class Context {
 public:
  Context(std::ostream& out, std::ostream& err, RunOptions run = {})
      : out(out), err(err), run_(std::move(run)) {}
  ~Context();

  // Opens the modem (once): the port of --port, or the built-in simulator.
  // Returns kSuccess or the exit status to end with (after saying why).
  int open();
  // The first half of open(): checks the options, starts the simulator when
  // there is no --port and creates the control, without opening the port.
  int prepare();
  // The device open() opens (valid after prepare()).
  const std::string& device() const { return device_; }
  Reviri& modem() { return *modem_; }
  sim::Simulator* simulator() { return sim_.get(); }
  bool onSimulator() const { return sim_ != nullptr; }
  std::chrono::milliseconds timeout() const;
  // The answer of the control's last AT exchange (what a store or a set-up
  // step was refused with).
  const std::string& lastAnswer() const { return lastAnswer_; }
  // The pause function of the run (tests replace it); empty = real sleeps.
  const Sleeper& sleeper() const { return run_.sleep; }

  // Says what failed on standard error (and with --json as {"ok": false,
  // "error": failureJson(code, message)} on standard output); returns `code`.
  int fail(int code, const std::string& message);
  // Prints a result: `human` lines, or `json` as one line with --json.
  void print(const std::string& human, const nlohmann::json& json);
  // Ends a progress line, if one is showing.
  void endProgress();
  // Set by SIGINT / SIGTERM while a verb waits.
  static bool interrupted();
  static void watchInterrupts();

  GlobalOptions options;
  std::ostream& out;
  std::ostream& err;

 private:
  void pump();

  void watchExchanges();
  std::string startFailure() const;
  int enterPin();
  int selectStorage();
  void cancelStalePrompt();

  RunOptions run_;
  std::string lastCommand_;
  std::string lastAnswer_;
  std::unique_ptr<sim::Simulator> sim_;
  std::unique_ptr<Reviri> modem_;
  std::string device_;
  bool byNumber_ = false;
  int portNumber_ = 0;
  bool opened_ = false;
  std::chrono::steady_clock::time_point lastPump_{};
  std::chrono::steady_clock::time_point waitStart_{};
  int shownSeconds_ = 0;
  bool progressShown_ = false;
};

// A verb: its sub-app and what runs when it was chosen.
struct Verb {
  CLI::App* app = nullptr;
  std::function<int(Context&)> run;
};

// Verb groups; each adds its subcommands to `app`.
void addCoreVerbs(CLI::App& app, std::vector<Verb>& verbs);     // at, sim
void addMessageVerbs(CLI::App& app, std::vector<Verb>& verbs);  // send, store, list, read, ...
void addDeviceVerbs(CLI::App& app, std::vector<Verb>& verbs);   // info, phonebook, charset
void addPduVerbs(CLI::App& app, std::vector<Verb>& verbs);      // pdu encode / decode
void addPanelVerbs(CLI::App& app, std::vector<Verb>& verbs);    // panel
void addSimControlVerbs(CLI::App& app, std::vector<Verb>& verbs);  // sim-ctl
void addModemVerbs(CLI::App& app, std::vector<Verb>& verbs);    // send, listen, list, ussd (typed API)
void addGatewayVerbs(CLI::App& app, std::vector<Verb>& verbs);  // gateway

// The options of the verbs that make an outgoing message (send, pdu encode).
struct SubmitOptions {
  std::string to, text, smsc;
  bool ucs2 = false, gsm7 = false, flash = false, noSplit = false, report = false;
  int validityMinutes = 0;  // 0: none given
};
// Adds --to, --text, --ucs2, --7bit, --flash, --no-split, --smsc and
// --validity to `app`. --report is each verb's own: what it does with the
// reports differs.
void addSubmitOptions(CLI::App& app, SubmitOptions& options);

// Says what failed: on standard error, and under --json as
// {"ok": false, "error": {"kind": ..., "code": ..., "meaning": ...}} on
// standard output. Returns `exitCode`.
int failWith(Context& ctx, int exitCode, const Error& e);

// The "error" object of a failure said by Context::fail: kind (from the exit
// status), code (the +CMS/+CME number the message quotes, else null) and
// meaning (the message).
nlohmann::json failureJson(int exitCode, const std::string& message);

// Helpers shared by the verbs.
// An index, reference or code the control gives as text, as a JSON integer;
// the text itself when it is not a plain number.
nlohmann::json integerJson(const std::string& text);
// A number of a phonebook entry or stored message with "+" when its
// type-of-address octet (`type`, e.g. "145") says international.
std::string numberOfType(const std::string& number, const std::string& type);
// The final result of a raw answer: "OK", "ERROR", "+CMS ERROR: n",
// "+CME ERROR: n", ">" or "" when there is none.
std::string finalResult(const std::string& answer);
// The answer with CR LF folded to LF and blank lines dropped.
std::string tidy(const std::string& answer);
// The first capture of `re` in `text`, or "".
std::string capture(const std::string& text, const RE2& re);
// Why an answer without "OK" failed: the modem's error with its meaning, or
// the wait ran out.
std::string refusal(const Context& ctx, const std::string& answer);
// A number of seconds as the user would write it ("0.5", "10").
std::string seconds(double s);

// The longest wait or run a user can ask for (a year): longer than anyone
// means, far inside what the clock arithmetic can hold.
constexpr double kLongestWaitSeconds = 366.0 * 24 * 3600;
// "" when `seconds` is a finite number from 0 to kLongestWaitSeconds, else
// a usage message naming `option`.
std::string secondsProblem(std::string_view option, double seconds);
// Now plus `seconds`, which secondsProblem() accepted.
std::chrono::steady_clock::time_point deadlineAfterSeconds(double seconds);

}  // namespace reviri::cli

#endif  // REVIRI_TOOLS_CONTEXT_H_
