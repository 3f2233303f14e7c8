// tools/cli.cpp - option parsing, the modem session and the core verbs
// (at, sim) of the reviri tool.
#include "tools/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
#include <iostream>
#include <thread>

#include "base/at_errors.h"
#include "base/command_args.h"
#include "control/state/control_core.h"
#include "link/serial_at_channel.h"
#include "tools/context.h"
#include "tools/message_checks.h"

namespace reviri::cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;


// How long a modem may take to answer the ESC that cancels a stale message
// prompt (silence after it means it had nothing to cancel), and how much of
// an answer is read at most.

void onInterrupt(int) { gInterrupted = 1; }

bool allDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Control characters of a logged exchange made visible.
std::string visible(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == 0x1A) out += "^Z";
    else if (c == 0x1B) out += "<ESC>";
    else out += c;
  }
  return out;
}

}  // namespace

std::string seconds(double s) {
  std::ostringstream o;
  o << s;
  return o.str();
}

// ---- Context -----------------------------------------------------------------------------

Context::~Context() {
  // The control closes its port before the simulator behind it stops.
  modem_.reset();
  sim_.reset();
}

std::chrono::milliseconds Context::timeout() const {
  return std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
}

bool Context::interrupted() { return gInterrupted != 0; }

void Context::watchInterrupts() {
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a signal ends the current sleep
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

int Context::prepare() {
  if (modem_) return kSuccess;
  LineSettings settings;
  try {
    settings = LineSettings::parse(options.settings);
  } catch (const std::invalid_argument& e) {
    return fail(kUsage, std::string("--settings: ") + e.what());
  }
  if (!canSetLineSpeed(settings.baud))
    return fail(kUsage, "--settings: the serial ports of this system cannot run at " + std::to_string(settings.baud) +
                            " baud");
  if (!(options.timeoutSeconds > 0 && options.timeoutSeconds <= 86400))
    return fail(kUsage, "--timeout: give a number of seconds between 0 and 86400");

  ReviriOptions reviriOptions;
  reviriOptions.processNewMessages = options.processNewMessages;
  device_ = options.port;
  byNumber_ = allDigits(device_);
  if (device_.empty()) {
    sim_ = std::make_unique<sim::Simulator>();
    try {
      sim_->start();
    } catch (const std::exception& e) {
      return fail(kNoPort, e.what());
    }
    device_ = sim_->devicePath();
    err << "reviri: no --port given; using the built-in simulated modem on " << device_
        << " (its own number is " << sim_->identity().ownNumber << ")\n";
    // A simulated modem needs no time to settle after its port opens, so the
    // two-second pause of the modem set-up is left out; shorter pauses (the
    // one before a PDU is written) stay.
    reviriOptions.sleep = [](std::chrono::milliseconds d) {
      if (d < std::chrono::seconds(1)) std::this_thread::sleep_for(d);
    };
  } else if (byNumber_) {
    if (device_.size() > 5 || std::stoi(device_) < 1 || std::stoi(device_) > 32767)
      return fail(kUsage, "--port: port numbers run from 1 to 32767");
    portNumber_ = std::stoi(device_);
    device_ = devicePathForPort(portNumber_);
  }

  if (run_.sleep) reviriOptions.sleep = run_.sleep;
  modem_ = std::make_unique<Reviri>(reviriOptions);
  modem_->setTimeRe(options.timeoutSeconds * 1e6 / static_cast<double>(Reviri::kIdlePoll.count()));
  modem_->setEventPump([this] { pump(); });
  watchExchanges();
  return kSuccess;
}

// Keeps the last exchange (and logs each with --verbose).
void Context::watchExchanges() {
  auto& hooks = reviri::detail::internals(*modem_).exchange.hooks();
  auto previous = hooks.commandFinished;
  hooks.commandFinished = [this, previous](const std::string& command, const std::string& answer) {
    lastCommand_ = command;
    lastAnswer_ = answer;
    if (options.verbose) {
      endProgress();
      err << "reviri: > " << visible(command) << "\nreviri: < " << visible(answer) << "\n";
    }
    if (previous) previous(command, answer);
  };
}

// A modem left at the "> " prompt of a message by an earlier process would
// take the set-up's AT as message text and never answer it; ESC cancels the
// prompt, and a modem at its command line ignores it. Many modems answer the
// cancel with OK: that answer is awaited here, for arriving later it would
// be taken for the answer of the set-up's first command and put every
// answer after it one command late.
void Context::cancelStalePrompt() {
  auto port = makeSystemSerialPort();
  port->open(device_, LineSettings::parse(options.settings));
  link::SerialAtChannel(*port).cancelPrompt();
  port->close();
}

// Why the set-up failed, from the last exchange it made.
std::string Context::startFailure() const {
  const std::string on = "the modem on " + device_;
  if (lastCommand_ != "AT\r")
    return on + " went away during the start-up pause (the port failed; was it unplugged?)";
  if (lastAnswer_ == "-1") return on + " went away during the start-up pause (the port closed)";
  const std::string final = finalResult(lastAnswer_);
  if (!final.empty() && final != "OK" && final != ">")
    return on + " answered AT with " + at_errors::describeResult(final) + " instead of OK";
  return on + " did not answer AT within " + seconds(options.timeoutSeconds) + " s";
}

int Context::open() {
  if (opened_) return kSuccess;
  if (const int rc = prepare()) return rc;

  // Opening the port once beforehand tells "cannot open" apart from "opens
  // but does not answer", which inimodem reports alike.
  try {
    cancelStalePrompt();
  } catch (const SerialError& e) {
    return fail(kNoPort, std::string("cannot open the port: ") + e.what());
  }

  const bool ready = byNumber_ ? modem_->inimodem(static_cast<std::int16_t>(portNumber_), options.settings)
                               : modem_->inimodem(device_, options.settings);
  endProgress();
  if (!ready) return fail(kRefused, startFailure());
  opened_ = true;
  if (const int rc = enterPin()) return rc;
  return selectStorage();
}

// The control's set-up asks nothing of the SIM; with --pin the tool enters
// the PIN itself, and only when the SIM asks for it (a second entry on an
// unlocked SIM would be refused, a wrong one counts against the SIM).
int Context::enterPin() {
  if (options.pin.empty()) return kSuccess;
  const std::string state = modem_->at("AT+CPIN?\r");
  if (state.find("SIM PIN") == std::string::npos) {
    if (state.find("READY") != std::string::npos) return kSuccess;
    return fail(kRefused, "--pin: the SIM is not waiting for a PIN (AT+CPIN? answered " + tidy(state) + ")");
  }
  const std::string answer = modem_->at("AT+CPIN=\"" + options.pin + "\"\r");
  if (finalResult(answer) == "OK") return kSuccess;
  return fail(kRefused, "--pin: the SIM refused the PIN: " + refusal(*this, answer));
}

// The control reads and writes whatever storage the modem has selected; with
// --storage the tool selects it for reading, writing and receiving alike.
int Context::selectStorage() {
  if (options.storage.empty()) return kSuccess;
  const std::string& s = options.storage;
  const std::string answer = modem_->at("AT+CPMS=\"" + s + "\",\"" + s + "\",\"" + s + "\"\r");
  if (finalResult(answer) == "OK") return kSuccess;
  return fail(kRefused, "--storage: the modem refused storage " + s + ": " + refusal(*this, answer));
}

void Context::pump() {
  const auto now = std::chrono::steady_clock::now();
  // Polls come every few milliseconds during one wait; a longer gap means a
  // new wait has begun.
  if (now - lastPump_ > std::chrono::milliseconds(200)) {
    waitStart_ = now;
    shownSeconds_ = 0;
  }
  lastPump_ = now;
  if (options.json || &err != &std::cerr || !::isatty(STDERR_FILENO)) return;
  const int elapsed = static_cast<int>((now - waitStart_) / std::chrono::seconds(1));
  if (elapsed >= 1 && elapsed != shownSeconds_) {
    shownSeconds_ = elapsed;
    progressShown_ = true;
    err << "\rreviri: waiting for the modem... " << elapsed << " s" << std::flush;
  }
}

void Context::endProgress() {
  if (!progressShown_) return;
  progressShown_ = false;
  err << "\r\033[K" << std::flush;
}

int Context::fail(int code, const std::string& message) {
  endProgress();
  err << "reviri: " << message << "\n";
  if (options.json)
    out << nlohmann::json{{"ok", false}, {"error", failureJson(code, message)}}.dump(
               -1, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
  out.flush();
  return code;
}

nlohmann::json failureJson(int exitCode, const std::string& message) {
  // The modem's error number, when the message quotes a +CMS/+CME result.
  static const RE2 kModemError("\\+CM[SE] ERROR: *(\\d{1,5})\\b");
  int number = -1;
  const bool fromModem = RE2::PartialMatch(message, kModemError, &number);
  const char* kind = exitCode == kUsage ? "invalid-argument" : exitCode == kNoPort ? "io" : "modem";
  return {{"kind", kind}, {"code", fromModem ? nlohmann::json(number) : nlohmann::json(nullptr)}, {"meaning", message}};
}

void Context::print(const std::string& human, const nlohmann::json& json) {
  endProgress();
  if (options.json)
    out << json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  else if (!human.empty())
    out << human << "\n";
  out.flush();
}

// ---- Helpers -------------------------------------------------------------------------------

nlohmann::json integerJson(const std::string& text) {
  if (const auto n = answerNumber(text, 1000000)) return *n;
  return text;
}

std::string numberOfType(const std::string& number, const std::string& type) {
  constexpr long kInternational = 0x10;  // bits 6-4 of the octet: the type of number
  const auto octet = answerNumber(type, 255);
  if (!octet || (*octet & 0x70) != kInternational || number.empty() || number.starts_with('+')) return number;
  return "+" + number;
}

std::string secondsProblem(std::string_view option, double seconds) {
  if (std::isfinite(seconds) && seconds >= 0 && seconds <= kLongestWaitSeconds) return {};
  return std::string(option) + ": give a number of seconds from 0 to " +
         std::to_string(static_cast<long>(kLongestWaitSeconds));
}

std::chrono::steady_clock::time_point deadlineAfterSeconds(double seconds) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

std::string finalResult(const std::string& answer) {
  std::string last;
  std::size_t start = 0;
  while (start <= answer.size()) {
    std::size_t end = answer.find_first_of("\r\n", start);
    if (end == std::string::npos) end = answer.size();
    std::string line = answer.substr(start, end - start);
    const auto first = line.find_first_not_of(' ');
    if (first != std::string::npos) last = line.substr(first);
    start = end + 1;
  }
  while (!last.empty() && last.back() == ' ') last.pop_back();
  if (last == "OK" || last == "ERROR" || last.starts_with("+CMS ERROR:") || last.starts_with("+CME ERROR:"))
    return last;
  if (last == ">" ) return ">";
  return {};
}

std::string tidy(const std::string& answer) {
  std::string out, line;
  auto flush = [&] {
    if (line.find_first_not_of(' ') != std::string::npos) out += (out.empty() ? "" : "\n") + line;
    line.clear();
  };
  for (char c : answer) {
    if (c == '\r' || c == '\n')
      flush();
    else
      line += c;
  }
  flush();
  return out;
}

std::string capture(const std::string& text, const RE2& re) {
  std::string group;
  if (!RE2::PartialMatch(text, re, &group)) return {};
  return group;
}

std::string refusal(const Context& ctx, const std::string& answer) {
  if (answer == "-1") return "the port is closed";
  const std::string final = finalResult(answer);
  if (final.empty() || final == ">")
    return "no final answer from the modem within " + seconds(ctx.options.timeoutSeconds) + " s";
  return "the modem answered " + at_errors::describeResult(final);
}

// ---- Core verbs -------------------------------------------------------------------------------

// The tool ends here, so a prompt it leaves open would swallow the next
// client's commands as message text: ESC cancels it, and the modem's answer
// to that is awaited briefly so that it is not left for the next client.
void cancelPrompt(Context& ctx) {
  ctx.err << "reviri: the modem prompted for a message; cancelled with ESC\n";
  ctx.modem().at2("\x1B");
  runFor(ctx.modem(), std::chrono::milliseconds(200));
}

void addCoreVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  auto line = std::make_shared<std::string>();
  CLI::App* at = app.add_subcommand("at", "send one raw command line and print the answer");
  at->add_option("line", *line, "the command, e.g. AT+CSQ (a CR is added)")->required();
  verbs.push_back({at, [line](Context& ctx) {
                     // One command line: a CR or LF inside would start a second
                     // one, Ctrl-Z or ESC would end or cancel a message entry.
                     if (const std::string why = args::checkCommandLine("at: LINE", *line); !why.empty())
                       return ctx.fail(kUsage, why);
                     if (const int rc = ctx.open()) return rc;
                     const std::string answer = ctx.modem().at(*line + "\r");
                     const std::string final = finalResult(answer);
                     ctx.print(tidy(answer), {{"ok", final == "OK" || final == ">"}, {"command", *line}, {"answer", answer}, {"final", final}});
                     if (final == ">") cancelPrompt(ctx);
                     if (final == "OK" || final == ">") return int{kSuccess};
                     ctx.endProgress();
                     ctx.err << "reviri: " << refusal(ctx, answer) << "\n";
                     return int{kRefused};
                   }});

  struct SimArgs {
    std::string symlink, control, number, pduLog;
    std::vector<std::string> quirks;
    long delayMs = 0, speed = 0;
    double seconds = 0;
    sim::Quirks habits;
  };
  auto s = std::make_shared<SimArgs>();
  CLI::App* simApp = app.add_subcommand("sim", "run the simulated modem and print its device path");
  simApp->add_option("--symlink", s->symlink, "also reach the device under this path");
  simApp->add_option("--control", s->control, "Unix socket of the control channel");
  simApp->add_option("--number", s->number, "the modem's own number (default +4915112345678)");
  simApp->add_option("--pdu-log", s->pduLog,
                     "append \"<unix-microseconds> <number> <text>\" to this file for every message sent");
  simApp->add_option("--delay", s->delayMs, "answer delay in milliseconds")->check(CLI::NonNegativeNumber);
  simApp->add_option("--speed", s->speed, "throttle output to this many baud (0 = unthrottled)")
      ->check(CLI::NonNegativeNumber);
  simApp->add_option("--seconds", s->seconds, "stop after this many seconds (default: on Ctrl-C)")
      ->check(CLI::NonNegativeNumber);
  simApp->add_flag("--sticky-echo", s->habits.stickyEcho, "keep echoing after ATE0, as some modems do");
  simApp->add_flag("--noise", s->habits.noise, "vendor lines (^RSSI:, ^BOOT:) around every final result");
  simApp->add_flag("--glue", s->habits.glue, "indications glued after the next final result");
  simApp->add_option("--split", s->habits.split, "cut every indication after this many bytes")
      ->check(CLI::Range(0, 1000));
  std::string quirkNames;
  for (const auto& name : sim::CommandInterpreter::quirkNames()) quirkNames += (quirkNames.empty() ? "" : ", ") + name;
  simApp->add_option("--quirk", s->quirks, "answer like some real devices: " + quirkNames + " (repeatable)");
  verbs.push_back({simApp, [s, quirkNames](Context& ctx) {
                     if (const std::string why = secondsProblem("--seconds", s->seconds); !why.empty())
                       return ctx.fail(kUsage, why);
                     sim::SimulatorOptions options;
                     options.symlink = s->symlink;
                     options.controlSocket = s->control;
                     options.pduLog = s->pduLog;
                     if (!s->number.empty()) options.identity.ownNumber = s->number;
                     sim::Simulator simulator(options);
                     try {
                       simulator.start();
                     } catch (const std::exception& e) {
                       return ctx.fail(kNoPort, e.what());
                     }
                     simulator.setQuirks(s->habits);
                     for (const auto& quirk : s->quirks)
                       if (!simulator.setQuirk(quirk, true))
                         return ctx.fail(kUsage, "--quirk: no quirk " + quirk + " (choose from " + quirkNames + ")");
                     simulator.setAnswerDelay(std::chrono::milliseconds(s->delayMs));
                     simulator.setLineSpeed(s->speed);
                     Context::watchInterrupts();
                     ctx.print(simulator.devicePath(), {{"ok", true},
                                                        {"device", simulator.devicePath()},
                                                        {"symlink", s->symlink},
                                                        {"control", s->control},
                                                        {"number", options.identity.ownNumber}});
                     if (!ctx.options.json)
                       ctx.err << "reviri: simulated modem on " << simulator.devicePath()
                               << (s->symlink.empty() ? "" : " (also " + s->symlink + ")")
                               << ", own number " << options.identity.ownNumber
                               << (s->control.empty() ? "" : ", control socket " + s->control)
                               << "; Ctrl-C stops it\n";
                     const auto end = std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(static_cast<long long>(s->seconds * 1000));
                     while (!Context::interrupted() &&
                            (s->seconds == 0 || std::chrono::steady_clock::now() < end))
                       std::this_thread::sleep_for(std::chrono::milliseconds(50));
                     return int{kSuccess};
                   }});
}

// ---- Entry -----------------------------------------------------------------------------------

namespace {

// Which verbs act on --pin and --storage. A verb that opens no modem, or whose
// modems are configured elsewhere, refuses them rather than ignore them.
struct SimOptionUse {
  std::string_view verb;
  bool pin;
  bool storage;
  std::string_view why;  // said when a refused option is given
};
constexpr SimOptionUse kSimOptionUse[] = {
    {"at", true, false, "send AT+CPMS yourself"},
    {"info", true, false, "it reads no messages"},
    {"phonebook", true, false, "the phonebook's storage is chosen with phonebook select"},
    {"charset", true, false, "it reads no messages"},
    {"store", true, true, ""},
    {"read", true, true, ""},
    {"delete", true, true, ""},
    {"send-stored", true, true, ""},
    {"demo", true, true, ""},
    {"panel", true, true, ""},
    {"send", true, true, ""},
    {"listen", true, true, ""},
    {"list", true, true, ""},
    {"sim", false, false, "it is the simulated modem itself"},
    {"sim-ctl", false, false, "it opens no modem"},
    {"pdu", false, false, "it opens no modem"},
    {"gateway", false, false, "its modems are set with --modem DEVICE,pin=PIN"},
};

int checkSimOptions(Context& ctx, const CLI::App& app) {
  if (app.get_subcommands().empty()) return kSuccess;
  const std::string verb = app.get_subcommands().front()->get_name();
  for (const auto& use : kSimOptionUse) {
    if (use.verb != verb) continue;
    const auto refuse = [&](const char* option) {
      return ctx.fail(kUsage, verb + ": " + option + " does not apply (" + std::string(use.why) + ")");
    };
    if (!ctx.options.pin.empty() && !use.pin) return refuse("--pin");
    if (!ctx.options.storage.empty() && !use.storage) return refuse("--storage");
    if (!ctx.options.storage.empty() && !parseStorage(ctx.options.storage))
      return ctx.fail(kUsage, "--storage: give SM (SIM), ME (phone) or MT (both)");
    return kSuccess;
  }
  return kSuccess;
}

}  // namespace

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const RunOptions& run) {
  gInterrupted = 0;
  Context ctx(out, err, run);
  CLI::App app{"reviri - send and read SMS through a GSM modem (AT commands, PDU mode)", "reviri"};
  app.add_option("--port", ctx.options.port,
                 "serial device (/dev/ttyUSB0) or port number (1 = /dev/ttyS0); "
                 "default: the built-in simulated modem");
  app.add_option("--settings", ctx.options.settings, "line settings baud,parity,data,stop")
      ->capture_default_str();
  const CLI::Option* timeout =
      app.add_option("--timeout", ctx.options.timeoutSeconds,
                     "seconds the modem may stay silent before a wait gives up "
                     "(the confirmation of a sent message: at least 30 unless given)")
          ->capture_default_str();
  app.add_flag("--json", ctx.options.json, "print JSON (one object per line)");
  app.add_flag("--verbose", ctx.options.verbose, "log every AT exchange on standard error");
  app.set_version_flag("--version", std::string("reviri ") + REVIRI_VERSION);
  app.add_option("--pin", ctx.options.pin, "SIM PIN, entered once when the SIM asks for it");
  app.add_option("--storage", ctx.options.storage, "message storage: SM (SIM), ME (phone) or MT (both)");
  app.require_subcommand(1);
  app.fallthrough();

  std::vector<Verb> verbs;
  addCoreVerbs(app, verbs);
  addMessageVerbs(app, verbs);
  addModemVerbs(app, verbs);
  addDeviceVerbs(app, verbs);
  addPduVerbs(app, verbs);
  addPanelVerbs(app, verbs);
  addSimControlVerbs(app, verbs);
  addGatewayVerbs(app, verbs);
  // Set after the verbs so that their own help does not repeat it.
  app.footer(
      "Without --port the built-in simulated modem is used. `reviri VERB --help` describes a verb.\n\n"
      "Exit status: 0 success, 1 the modem refused or a wait ran out, 2 usage error, "
      "3 the port cannot be opened.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? int{kSuccess} : int{kUsage};
  }
  ctx.options.timeoutGiven = timeout->count() > 0;
  if (const int rc = checkSimOptions(ctx, app)) return rc;
  // Only the verbs that are about incoming messages act on new-message
  // indications; a one-shot verb leaves such a message unread in storage,
  // where listen or list finds it.
  const std::string verb = app.get_subcommands().empty() ? "" : app.get_subcommands().front()->get_name();
  ctx.options.processNewMessages = verb == "listen" || verb == "list" || verb == "demo" || verb == "panel";
  try {
    // The deepest chosen subcommand runs (phonebook read before phonebook).
    for (auto it = verbs.rbegin(); it != verbs.rend(); ++it)
      if (it->app->parsed() && it->run) return it->run(ctx);
    return ctx.fail(kUsage, "choose a verb; see --help");
  } catch (const SerialError& e) {
    return ctx.fail(kNoPort, std::string("the serial line failed: ") + e.what());
  } catch (const std::invalid_argument& e) {
    return ctx.fail(kUsage, e.what());
  } catch (const std::exception& e) {
    return ctx.fail(kRefused, e.what());
  }
}

}  // namespace reviri::cli
