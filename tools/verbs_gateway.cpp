// tools/verbs_gateway.cpp - the "gateway" verb: the SMS gateway daemon with
// its HTTP API, on real modems (--modem) or built-in simulated ones.
//
// Defaults: one simulated modem, the SQLite database, the API token and
// the webhooks' secret under $XDG_STATE_HOME/reviri/ (or
// ~/.local/state/reviri/; the directory 0700, every file in it 0600),
// listening on 127.0.0.1:8080. The token is shown once, when it is made;
// later starts show its file. SIGINT and SIGTERM drain it: no new claims, the sends in
// flight finish, then it stops (within --drain-seconds).
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <sstream>

#include "gateway/digest.h"
#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/modem_names.h"
#include "gateway/store/local_calendar.h"
#include "gateway/store/postgres_store.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"
#include "tools/context.h"

namespace reviri::cli {
namespace {

namespace fs = std::filesystem;
using namespace reviri::gateway;

constexpr const char* kDefaultListen = "127.0.0.1:8080";

struct GatewayArgs {
  std::string configFile;
  std::vector<std::string> modems;
  std::string db;
  std::string listen;  // "" = the file's, else kDefaultListen
  std::string tokenFile;
  bool noConsole = false;
  std::vector<std::string> webhooks;
  std::string webhookSecretFile;
  int sims = 1;
  std::string synchronous = "FULL";
  std::size_t maxBody = 64 * 1024;
  int drainSeconds = 30;
  double leaseSeconds = 30;
  double commandTimeout = 10;
  double sendTimeout = 30;
  long simSpeed = 0;
  int simDelayMs = 0;
  int retainDays = -1;  // -1: the configuration file's, else 90
  MqttOptions mqtt;
};

fs::path stateDirectory() {
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return fs::path(xdg) / "reviri";
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".local/state/reviri";
  throw std::invalid_argument("neither XDG_STATE_HOME nor HOME is set: give --db and --token-file");
}

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::pair<std::string, int> splitListen(const std::string& listen) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw std::invalid_argument("--listen " + listen + ": expected HOST:PORT");
  }
  std::string host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = listen.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) > 65535) {
    throw std::invalid_argument("--listen " + listen + ": the port must be a number from 0 to 65535");
  }
  return {host, std::stoi(port)};
}

// Whose eyes a secret file may meet: kOwnFile for the files the gateway
// makes in its state directory (no link, no group or other access), kGiven
// for files named on the command line (a link is fine, others' access is not).
enum class SecretFile { kOwnFile, kGiven };

// The first line of a secret file, refusing a file others may read.
std::string readSecret(const std::string& file, const std::string& what, SecretFile kind) {
  const bool own = kind == SecretFile::kOwnFile;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (own ? O_NOFOLLOW : 0));
  if (fd < 0) {
    if (errno == ELOOP) {
      throw std::invalid_argument(what + " " + file + " is a symbolic link: refused (the gateway makes this file " +
                                  "itself; remove the link)");
    }
    throw std::invalid_argument(what + " " + file + ": cannot be read (" + std::strerror(errno) + ")");
  }
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  const mode_t forbidden = own ? 077 : 007;
  std::string problem;
  if (!statted || !S_ISREG(st.st_mode)) {
    problem = "is not a regular file";
  } else if (st.st_mode & forbidden) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    problem = std::string("may be read or written by ") + (own ? "group or others" : "others") + " (mode " + mode +
              "): refused; chmod " + (own ? "600" : "640") + " it";
  }
  std::string content;
  char buffer[4096];
  for (ssize_t n; problem.empty() && (n = ::read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  if (!problem.empty()) throw std::invalid_argument(what + " " + file + " " + problem);
  std::string secret = content.substr(0, content.find('\n'));
  while (!secret.empty() && (secret.back() == '\r' || secret.back() == ' ')) secret.pop_back();
  if (secret.empty()) throw std::invalid_argument(what + " " + file + ": the first line is empty");
  return secret;
}

// Makes `file` with a fresh random secret unless it exists: created
// exclusively (never through a link an attacker left there), mode 0600
// from the start. Returns whether it made the file.
bool createSecret(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return false;  // read (and checked) by the caller
    throw std::invalid_argument("cannot create " + file.string() + ": " + std::strerror(errno));
  }
  std::random_device random;
  static const char* kHex = "0123456789abcdef";
  std::string secret;
  for (int i = 0; i < 32; ++i) secret += kHex[random() & 15];
  secret += "\n";
  const bool written = ::write(fd, secret.data(), secret.size()) == static_cast<ssize_t>(secret.size());
  ::close(fd);
  if (!written) {
    fs::remove(file);
    throw std::invalid_argument("cannot write " + file.string());
  }
  return true;
}

// The secret kept in the state directory's `name`, made on first use;
// `made` says whether this start made it.
std::string stateSecret(const fs::path& dir, const char* name, const char* what, bool& made) {
  const fs::path file = dir / name;
  made = createSecret(file);
  return readSecret(file.string(), what, SecretFile::kOwnFile);
}

bool isPostgres(const std::string& db) { return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0; }

// Files made from here on (the state directory, the database and its -wal
// and -shm) are the user's alone.
class PrivateFiles {
 public:
  PrivateFiles() : old_(::umask(077)) {}
  ~PrivateFiles() { ::umask(old_); }
  PrivateFiles(const PrivateFiles&) = delete;
  PrivateFiles& operator=(const PrivateFiles&) = delete;

 private:
  mode_t old_;
};

std::unique_ptr<Store> openStore(const GatewayArgs& args, const fs::path& stateDir) {
  std::string path = args.db;
  if (isPostgres(path)) return openPostgresStore({path});
  if (path.rfind("sqlite://", 0) == 0) path = path.substr(9);
  else if (path.rfind("sqlite:", 0) == 0) path = path.substr(7);
  if (path.empty()) path = (stateDir / "gateway.db").string();
  PrivateFiles private_;
  if (const auto parent = fs::path(path).parent_path(); !parent.empty()) fs::create_directories(parent);
  return openSqliteStore({path, args.synchronous});
}

// The modems' names: NAME from the --modem, else "<host>:<device's base
// name>" (unique across hosts sharing a database); the simulated modems,
// private to this process, "<host>:<pid>:simN".
std::string modemName(const ModemTarget& target) {
  return target.name.empty() ? hostName() + ":" + fs::path(target.device).filename().string() : target.name;
}

// Blocks SIGINT and SIGTERM in this thread and the threads it starts, so
// that waitForSignal() takes them; restores the old mask when it goes.
class SignalGuard {
 public:
  SignalGuard() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
  }
  ~SignalGuard() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  int wait() {
    int signal = 0;
    sigwait(&set_, &signal);
    return signal;
  }

 private:
  sigset_t set_{}, old_{};
};

// A modem of the configuration file as a --modem would give it.
ModemTarget targetOf(const ModemConfig& modem) {
  ModemTarget target;
  target.device = modem.device;
  target.settings = modem.settings;
  target.name = modem.name;
  target.pin = modem.pin;
  target.tags = modem.tags;
  target.reset = modem.reset;
  target.rejectCalls = modem.rejectCalls;
  return target;
}

// The file's settings under the flags: a flag given wins; a --modem with
// the name of a file's modem replaces its device, settings, pin and tags
// and keeps its limits; other --modems are added.
void applyConfigFile(const GatewayConfig& config, GatewayArgs& args, std::vector<ModemTarget>& targets,
                     std::vector<ModemLimits>& limits) {
  if (args.db.empty() && config.db) args.db = *config.db;
  if (args.listen.empty() && config.listen) args.listen = *config.listen;
  std::vector<ModemTarget> merged;
  std::vector<ModemLimits> mergedLimits;
  for (const auto& modem : config.modems) {
    merged.push_back(targetOf(modem));
    mergedLimits.push_back(modem.limits);
  }
  for (auto& target : targets) {
    const auto same = std::find_if(merged.begin(), merged.end(), [&](const auto& m) { return m.name == target.name; });
    if (!target.name.empty() && same != merged.end()) {
      *same = target;
    } else {
      merged.push_back(target);
      mergedLimits.emplace_back();
    }
  }
  targets = std::move(merged);
  limits = std::move(mergedLimits);
}

int runGateway(Context& ctx, GatewayArgs args) {
  std::vector<ModemTarget> targets;
  for (const auto& text : args.modems) targets.push_back(parseModemTarget(text));
  std::vector<ModemLimits> limits(targets.size());
  GatewayConfig config;
  if (!args.configFile.empty()) {
    config = loadGatewayConfig(args.configFile);  // ConfigError is an invalid_argument: a usage error
    applyConfigFile(config, args, targets, limits);
  }
  // Before any thread starts: limit windows and hours are local to it.
  if (config.timeZone) useTimeZone(*config.timeZone);
  if (args.listen.empty()) args.listen = kDefaultListen;
  const auto [host, port] = splitListen(args.listen);
  const auto seconds = [](double s) { return std::chrono::milliseconds(static_cast<long long>(s * 1000)); };
  for (auto& target : targets) {
    target.commandTimeout = seconds(args.commandTimeout);
    target.sendTimeout = seconds(args.sendTimeout);
  }
  for (const auto& webhook : args.webhooks) parseWebhookUrl(webhook);  // refused before anything starts
  if (!args.mqtt.url.empty()) parseMqttUrl(args.mqtt.url);
  if (!args.mqtt.caFile.empty() && args.mqtt.url.rfind("mqtts://", 0) != 0) {
    return ctx.fail(kUsage, "--mqtt-ca is for an mqtts:// broker; --mqtt is " +
                                (args.mqtt.url.empty() ? std::string("not given") : "not mqtts://"));
  }

  fs::path stateDir;
  const bool needState = args.db.empty() || (args.tokenFile.empty() && isLoopback(host)) ||
                         (!args.webhooks.empty() && args.webhookSecretFile.empty());
  if (needState) {
    stateDir = stateDirectory();
    PrivateFiles private_;
    fs::create_directories(stateDir);
    std::error_code ignored;  // not ours to change (another owner): the files in it are 0600 anyway
    fs::permissions(stateDir, fs::perms::owner_all, ignored);
  }
  std::string token;
  bool tokenMade = false;
  if (!args.tokenFile.empty()) {
    token = readSecret(args.tokenFile, "--token-file", SecretFile::kGiven);
  } else if (!isLoopback(host)) {
    return ctx.fail(kUsage, "--listen " + args.listen + " is not a loopback address: give --token-file");
  } else {
    token = stateSecret(stateDir, "token", "token file", tokenMade);
  }
  const std::string tokenFile = args.tokenFile.empty() ? (stateDir / "token").string() : args.tokenFile;
  std::string webhookSecret;
  if (!args.webhookSecretFile.empty()) {
    webhookSecret = readSecret(args.webhookSecretFile, "--webhook-secret-file", SecretFile::kGiven);
  } else if (!args.webhooks.empty()) {
    bool made = false;
    webhookSecret = stateSecret(stateDir, "webhook-secret", "webhook secret file", made);
    ctx.err << "reviri: webhooks are signed with the secret in " << (stateDir / "webhook-secret").string()
            << (made ? " (made now)" : "") << "\n";
  }
  auto store = openStore(args, stateDir);

  const std::string instance = defaultInstanceName();
  std::vector<std::unique_ptr<sim::Simulator>> sims;
  std::vector<NamedModem> modems;
  if (targets.empty()) {
    if (args.sims < 1) return ctx.fail(kUsage, "--sim must be at least 1 when there is no --modem");
    for (int i = 1; i <= args.sims; ++i) {
      sim::SimulatorOptions options;
      if (i > 1) options.identity.ownNumber = "+49151000" + std::to_string(10000 + i);
      sims.push_back(std::make_unique<sim::Simulator>(options));
      sims.back()->start();
      sims.back()->setLineSpeed(args.simSpeed);
      sims.back()->setAnswerDelay(std::chrono::milliseconds(args.simDelayMs));
      const std::string device = sims.back()->devicePath();
      ModemTarget target;
      target.device = device;
      target.lockPort = false;
      target.commandTimeout = seconds(args.commandTimeout);
      target.sendTimeout = seconds(args.sendTimeout);
      modems.push_back({instance + ":sim" + std::to_string(i), typedModemPortFactory(target)});
      ctx.err << "reviri: simulated modem " << modems.back().name << " on " << device << ", own number "
              << options.identity.ownNumber << "\n";
    }
  } else {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      modems.push_back({modemName(targets[i]), typedModemPortFactory(targets[i]), targets[i].tags, limits[i]});
      // ---- USSD: the file's balance check, by the modem's name ----
      for (const auto& configured : config.modems)
        if (configured.name == modems.back().name) modems.back().balance = configured.balance;
    }
  }
  std::vector<std::string> names;
  for (const auto& modem : modems) {
    if (std::find(names.begin(), names.end(), modem.name) != names.end()) {
      return ctx.fail(kUsage, "two modems are named \"" + modem.name + "\": give one --modem DEVICE,name=NAME");
    }
    names.push_back(modem.name);
  }
  EventLog log(&ctx.err);
  std::unique_ptr<ModemNames> heldNames;
  try {
    heldNames = std::make_unique<ModemNames>(*store, log, names, instance);
  } catch (const ModemNameTaken& e) {
    return ctx.fail(kRefused, e.what());
  }

  GatewayOptions options;
  options.host = host;
  options.port = port;
  options.api.token = token;
  options.api.maxBodyBytes = args.maxBody;
  options.api.console = !args.noConsole;
  options.worker.lease = std::chrono::milliseconds(static_cast<long long>(args.leaseSeconds * 1000));
  options.webhooks.urls = args.webhooks;
  options.webhooks.secret = webhookSecret;
  options.instance = instance;
  options.routes = config.routes;
  options.timeZone = config.timeZone.value_or("");
  options.retention.retainDays = args.retainDays >= 0 ? args.retainDays : config.retainDays.value_or(90);
  options.mqtt = args.mqtt;
  if (options.mqtt.url.empty() && config.mqtt) {
    options.mqtt.url = config.mqtt->url;
    options.mqtt.caFile = config.mqtt->caFile;
    options.mqtt.clientId = config.mqtt->clientId;
  }

  SignalGuard signals;
  Gateway gateway(*store, std::move(modems), options, log);
  int bound = 0;
  try {
    bound = gateway.start();
  } catch (const std::runtime_error& e) {
    return ctx.fail(kNoPort, e.what());
  }
  const std::string url = "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                          std::to_string(bound);
  // The token itself only once, when it was made; later its file.
  if (tokenMade) ctx.err << "reviri: made a new API token, kept in " << tokenFile << "\n";
  const std::string bearer = tokenMade ? token : "$(cat " + tokenFile + ")";
  ctx.err << "reviri: gateway on " << url << "; try:\n  curl -H \"Authorization: Bearer "
          << bearer << "\" -d '{\"to\":\"+4915112345678\",\"text\":\"Hello\"}' " << url << "/v1/messages\n"
          << (args.noConsole ? "" : "reviri: the console is at " + url + "/ (sign in with the API token)\n")
          << std::flush;
  const int signal = signals.wait();
  log.event("signal", {{"name", signal == SIGTERM ? "SIGTERM" : "SIGINT"}});
  auto drained = std::async(std::launch::async, [&] { gateway.stop(); });
  if (drained.wait_for(std::chrono::seconds(args.drainSeconds)) != std::future_status::ready) {
    log.event("drain-timeout", {{"seconds", std::to_string(args.drainSeconds)}});
    std::_Exit(kRefused);  // the leases left behind expire; another worker takes the messages
  }
  drained.get();
  return kSuccess;
}

// ---- API keys ---------------------------------------------------------------
struct KeyArgs {
  std::string db;  // "" = the gateway's --db, else its default
  std::string name;
  std::string scopes;
};

std::unique_ptr<Store> openKeyStore(const GatewayArgs& gateway, const KeyArgs& key) {
  GatewayArgs args = gateway;
  if (!key.db.empty()) args.db = key.db;
  return openStore(args, args.db.empty() ? stateDirectory() : fs::path());
}

// The scopes in "send,read,admin", each once; throws naming a bad one.
std::vector<std::string> parseScopes(const std::string& text) {
  std::vector<std::string> scopes;
  std::stringstream list(text);
  for (std::string scope; std::getline(list, scope, ',');) {
    if (scope != "send" && scope != "read" && scope != "admin") {
      throw std::invalid_argument("--scope: unknown scope \"" + scope + "\" (send, read or admin)");
    }
    if (std::find(scopes.begin(), scopes.end(), scope) == scopes.end()) scopes.push_back(scope);
  }
  if (scopes.empty()) throw std::invalid_argument("--scope: give at least one of send, read, admin");
  return scopes;
}

// 32 random bytes in hex after a prefix that says what it is.
std::string newApiKey() {
  std::random_device random;
  static const char* kHex = "0123456789abcdef";
  std::string key = "rvk_";
  for (int i = 0; i < 64; ++i) key += kHex[random() & 15];
  return key;
}

int addKey(Context& ctx, const GatewayArgs& gateway, const KeyArgs& args) {
  const auto scopes = parseScopes(args.scopes);
  if (args.name.empty()) return ctx.fail(kUsage, "key add: the name is empty");
  auto store = openKeyStore(gateway, args);
  const std::string key = newApiKey();
  if (!store->addApiKey(args.name, sha256Hex(key), scopes)) {
    return ctx.fail(kRefused, "a key named \"" + args.name + "\" exists: revoke it first or choose another name");
  }
  // Shown this once: the store keeps only its digest.
  ctx.print(key, {{"name", args.name}, {"key", key}, {"scopes", scopes}});
  ctx.err << "reviri: key \"" << args.name << "\" added; it is shown only now\n";
  return kSuccess;
}

int listKeys(Context& ctx, const GatewayArgs& gateway, const KeyArgs& args) {
  auto store = openKeyStore(gateway, args);
  nlohmann::json list = nlohmann::json::array();
  std::string human;
  for (const auto& key : store->apiKeys()) {
    std::string scopes;
    for (const auto& scope : key.scopes) scopes += (scopes.empty() ? "" : ",") + scope;
    human += key.name + " " + scopes + " " + isoTime(key.createdMs) + "\n";
    list.push_back({{"name", key.name}, {"scopes", key.scopes}, {"created", isoTime(key.createdMs)}});
  }
  if (!human.empty()) human.pop_back();
  ctx.print(human, {{"keys", list}});
  return kSuccess;
}

int revokeKey(Context& ctx, const GatewayArgs& gateway, const KeyArgs& args) {
  auto store = openKeyStore(gateway, args);
  if (!store->revokeApiKey(args.name)) return ctx.fail(kRefused, "no key named \"" + args.name + "\"");
  ctx.print("revoked " + args.name, {{"name", args.name}, {"revoked", true}});
  return kSuccess;
}

void addKeyVerbs(CLI::App& gateway, const std::shared_ptr<GatewayArgs>& gatewayArgs, std::vector<Verb>& verbs) {
  auto args = std::make_shared<KeyArgs>();
  CLI::App* key = gateway.add_subcommand("key", "API keys with scopes (send, read, admin) for the HTTP API");
  key->require_subcommand(1);
  key->add_option("--db", args->db, "the gateway's database (as reviri gateway --db)");
  CLI::App* add = key->add_subcommand("add", "make a key, print it once and keep only its SHA-256");
  add->add_option("name", args->name, "the key's name")->required();
  add->add_option("--scope", args->scopes, "send (post, cancel), read (messages, inbox, modems, metrics), admin")
      ->required();
  add->fallthrough();
  verbs.push_back({add, [gatewayArgs, args](Context& ctx) { return addKey(ctx, *gatewayArgs, *args); }});
  CLI::App* list = key->add_subcommand("list", "the keys' names, scopes and creation times");
  list->fallthrough();
  verbs.push_back({list, [gatewayArgs, args](Context& ctx) { return listKeys(ctx, *gatewayArgs, *args); }});
  CLI::App* revoke = key->add_subcommand("revoke", "delete a key: it is refused from then on");
  revoke->add_option("name", args->name, "the key's name")->required();
  revoke->fallthrough();
  verbs.push_back({revoke, [gatewayArgs, args](Context& ctx) { return revokeKey(ctx, *gatewayArgs, *args); }});
}

}  // namespace

void addGatewayVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  auto args = std::make_shared<GatewayArgs>();
  CLI::App* g = app.add_subcommand("gateway", "SMS gateway daemon: outbox, inbox and an HTTP API over modems");
  g->add_option("--config", args->configFile,
                "TOML file: listen, db, time_zone, retain_days, [[modem]] with [modem.limits] and balance = {...}, [[route]] "
                "(flags override it)");
  g->add_option("--modem", args->modems,
                "DEVICE[@SETTINGS][,name=NAME][,pin=PIN][,tags=A+B][,reset=cfun|none|COMMAND][,reject_calls=1] "
                "(repeatable; name defaults to HOST:DEVICE-BASENAME; reset: how a hung modem is reset, default "
                "cfun); default: simulated modems");
  g->add_option("--db", args->db,
                "database: a SQLite file (or sqlite:PATH; default under the state directory) or postgresql://...");
  g->add_option("--listen", args->listen, std::string("HOST:PORT of the HTTP API (default: ") + kDefaultListen + ")");
  g->add_option("--token-file", args->tokenFile, "file whose first line is the API's bearer token");
  g->add_flag("--no-console", args->noConsole, "do not serve the web console at /");
  g->add_option("--webhook", args->webhooks, "URL to POST events to (repeatable)");
  g->add_option("--webhook-secret-file", args->webhookSecretFile, "HMAC secret of the webhooks (default: webhook-secret in the state directory, made once)");
  g->add_option("--sim", args->sims, "simulated modems to serve when there is no --modem")->capture_default_str();
  g->add_option("--sim-speed", args->simSpeed, "line speed the simulated modems pace their output at (0 = off)")
      ->check(CLI::NonNegativeNumber);
  g->add_option("--sim-delay", args->simDelayMs, "milliseconds the simulated modems take to answer")
      ->check(CLI::NonNegativeNumber);
  g->add_option("--synchronous", args->synchronous, "SQLite commits: FULL (each reaches the disk) or NORMAL")
      ->check(CLI::IsMember({"NORMAL", "FULL"}))
      ->capture_default_str();
  g->add_option("--max-body", args->maxBody, "largest request body in bytes")->capture_default_str();
  g->add_option("--drain-seconds", args->drainSeconds, "how long a stop may take")->capture_default_str();
  g->add_option("--lease-seconds", args->leaseSeconds,
                "how long a claimed message stays with a worker that stops renewing it")
      ->check(CLI::Range(1.0, 3600.0))
      ->capture_default_str();
  g->add_option("--command-timeout", args->commandTimeout, "seconds a modem may take to answer a command")
      ->check(CLI::Range(0.1, 600.0))
      ->capture_default_str();
  g->add_option("--send-timeout", args->sendTimeout,
                "seconds a modem may take to confirm a written message (leases last at least this plus "
                "--command-timeout and a second)")
      ->check(CLI::Range(0.1, 600.0))
      ->capture_default_str();
  g->add_option("--retain-days", args->retainDays,
                "days final messages, deleted inbox messages and delivered webhooks are kept (0 = for ever; "
                "default: the configuration file's retain_days, else 90)")
      ->check(CLI::Range(0, 36500));
  g->add_option("--mqtt", args->mqtt.url,
                "MQTT broker to publish events to and take messages from: mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT]"
                "[/PREFIX] (PREFIX defaults to reviri)");
  g->add_option("--mqtt-ca", args->mqtt.caFile, "CA certificates to trust for an mqtts:// broker (default: the system's)")
      ->check(CLI::ExistingFile);
  g->add_option("--mqtt-client-id", args->mqtt.clientId,
                "the gateway's MQTT client id, fixed so the broker keeps its session (default: reviri-HOST)");
  verbs.push_back({g, [args](Context& ctx) { return runGateway(ctx, *args); }});
  addKeyVerbs(*g, args, verbs);
}

}  // namespace reviri::cli
