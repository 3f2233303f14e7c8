// The gateway's promises under faults: three `reviri gateway` processes on
// one PostgreSQL database, four simulated modems as `reviri sim` processes
// of their own (so that they outlive the gateways' kills), and for about
// 45 s: gateways killed with SIGKILL while a modem holds a PDU it has not
// answered yet, and restarted on the same modems;
// PostgreSQL restarted, a modem that falls silent after taking a PDU, modems
// whose network refuses sends for a while (temporarily, a later part only;
// and permanently). Meanwhile 150 messages (a third of them long) are posted
// to the gateways in turn and 40 incoming ones (some in parts) reach the
// modems. Afterwards:
//   - every accepted message is sent (or delivered), or failed with a reason;
//   - a message the modems took whole is not "sent" short of a part;
//   - each POST queued one message (retries carry an Idempotency-Key);
//   - a message whose PDU reached the modems more than once says "possibly
//     duplicated" in its history;
//   - every incoming message is in the inbox exactly once.
// The sims' PDU logs tell what reached the network: each message has a
// recipient of its own, so the log lines of a number are its parts.
//
// Runs through with_postgres.sh (skipped without it); bounded: the faults
// take 45 s, settling at most 100 s. REVIRI_SOAK_KEEP=1 keeps the logs (the
// gateways', the sims' PDU logs) in /tmp/reviri-soak-PID. Threading: the
// test's thread only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "free_port.h"
#include "test_postgres.h"
#include "tools/cli.h"

namespace reviri::gateway {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kToken = "soak-test-token";
constexpr int kSims = 4;
constexpr int kMessages = 150;
constexpr int kIncoming = 40;
constexpr auto kFaultPhase = seconds(45);
constexpr auto kSettle = seconds(100);

// Which sims (1-based) each gateway serves: A two, B and C one each.
const std::vector<std::vector<int>> kGatewayModems{{1, 2}, {3}, {4}};

// Without a trailing blank: the control channel's words would lose it.
std::string trimmed(std::string text) {
  while (text.ends_with(' ')) text.pop_back();
  return text;
}

std::string recipient(int n) {
  std::string digits = std::to_string(n);
  return "+4917700" + std::string(5 - digits.size(), '0') + digits;
}

// A text of its own per message, in the GSM alphabet; every third one
// needs two or three parts.
std::string outgoingText(int n) {
  const std::size_t length = n % 6 == 1 ? 230 : n % 6 == 4 ? 400 : 40;
  std::string text = "soak-" + std::to_string(n);
  for (int word = 0; text.size() < length; ++word) text += " w" + std::to_string(n) + "." + std::to_string(word);
  return trimmed(text.substr(0, length));
}

std::string incomingText(int k) {
  const std::size_t length = k % 4 == 2 ? 300 : 30;
  std::string text = "soak-in-" + std::to_string(k);
  for (int word = 0; text.size() < length; ++word) text += " i" + std::to_string(k) + "." + std::to_string(word);
  return trimmed(text.substr(0, length));
}

std::string digitsOf(const std::string& number) { return number.starts_with('+') ? number.substr(1) : number; }

std::string joined(const std::vector<std::string>& items, std::size_t max = 25) {
  std::string out;
  for (std::size_t i = 0; i < items.size() && i < max; ++i) out += "\n  " + items[i];
  if (items.size() > max) out += "\n  ... and " + std::to_string(items.size() - max) + " more";
  return out;
}

class FaultSoakTest : public ::testing::Test {
 protected:
  struct GatewayProcess {
    std::vector<std::string> args;
    int port = 0;
    pid_t pid = -1;
    std::unique_ptr<httplib::Client> client;
  };
  struct Event {
    Clock::duration at;
    std::string what;
    std::function<void()> action;
  };

  void SetUp() override {
    if (testing::postgresUrl("postgres").empty()) GTEST_SKIP() << testing::kNoPostgres;
    dir_ = fs::temp_directory_path() / ("reviri-soak-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "token") << kToken << "\n";
    std::filesystem::permissions(dir_ / "token", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    db_ = std::make_unique<testing::TestDatabase>();
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      if (::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
    for (pid_t pid : helpers_) ::waitpid(pid, nullptr, 0);  // pg_ctl ends by itself
    gateways_.clear();
    db_.reset();
    if (!dir_.empty() && !std::getenv("REVIRI_SOAK_KEEP")) fs::remove_all(dir_);
  }

  // Starts `args` with stdout and stderr appended to `log`.
  pid_t spawn(std::vector<std::string> args, const fs::path& log) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execvp(argv[0], argv.data());
      std::_Exit(127);
    }
    ::close(fd);
    return pid;
  }

  // One request to sim `n`'s control socket through `reviri sim-ctl`; its
  // reply lines, or "ERROR ..." when the sim did not take it.
  std::string simControl(int n, const std::string& request) {
    std::vector<std::string> args{"reviri", "sim-ctl", socketPath(n)};
    std::istringstream words(request);
    for (std::string w; words >> w;) args.push_back(w);
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int rc = cli::runCli(static_cast<int>(argv.size()), argv.data(), out, err);
    return rc == cli::kSuccess ? out.str() : "ERROR " + err.str();
  }
  void control(int n, const std::string& request) {
    const std::string reply = simControl(n, request);
    EXPECT_FALSE(reply.starts_with("ERROR")) << "sim" << n << " " << request << ": " << reply;
  }
  std::string socketPath(int n) const { return (dir_ / ("sim" + std::to_string(n) + ".sock")).string(); }
  fs::path pduLog(int n) const { return dir_ / ("sim" + std::to_string(n) + ".pdu"); }

  // Starts the sims and learns their devices from "dump".
  void startSims() {
    for (int n = 1; n <= kSims; ++n) {
      children_.push_back(spawn({REVIRI_TOOL, "sim", "--control", socketPath(n), "--pdu-log", pduLog(n).string(),
                                 "--number", "+49151000000" + std::to_string(n), "--delay", "20"},
                                dir_ / ("sim" + std::to_string(n) + ".out")));
    }
    for (int n = 1; n <= kSims; ++n) {
      std::string device;
      for (auto end = Clock::now() + seconds(20); device.empty() && Clock::now() < end;) {
        const std::string dump = simControl(n, "dump");
        if (const auto at = dump.find("device /dev/"); at != std::string::npos)
          device = dump.substr(at + 7, dump.find(',', at) - at - 7);
        else
          std::this_thread::sleep_for(milliseconds(50));
      }
      ASSERT_FALSE(device.empty()) << "sim" << n << " did not answer on " << socketPath(n);
      devices_.push_back(device);
    }
  }

  void startGateways() {
    for (std::size_t g = 0; g < kGatewayModems.size(); ++g) {
      GatewayProcess gw;
      gw.port = testing::freeLoopbackPort();
      gw.args = {REVIRI_TOOL, "gateway", "--db", db_->url(), "--listen", "127.0.0.1:" + std::to_string(gw.port),
                 "--token-file", (dir_ / "token").string(), "--lease-seconds", "2", "--command-timeout", "3", "--send-timeout", "4"};
      for (int sim : kGatewayModems[g]) gw.args.insert(gw.args.end(), {"--modem", devices_[sim - 1]});
      gw.client = std::make_unique<httplib::Client>("127.0.0.1", gw.port);
      gw.client->set_bearer_token_auth(kToken);
      gw.client->set_connection_timeout(seconds(2));
      gw.client->set_read_timeout(seconds(15));
      gateways_.push_back(std::move(gw));
      startGateway(g);
    }
  }
  void startGateway(std::size_t g) {
    auto& gw = gateways_[g];
    gw.pid = spawn(gw.args, dir_ / ("gateway" + std::to_string(g) + ".log"));
    children_.push_back(gw.pid);
    for (auto end = Clock::now() + seconds(30); Clock::now() < end;) {
      if (auto r = gw.client->Get("/healthz"); r && r->status == 200) return;
      std::this_thread::sleep_for(milliseconds(50));
    }
    ADD_FAILURE() << "gateway " << g << " did not answer:\n" << fileText(dir_ / ("gateway" + std::to_string(g) + ".log"));
  }
  // Slows gateway `g`'s modems down and, once one of them holds a PDU it
  // has not answered yet, kills the gateway and starts it again on the same
  // modems.
  void killWithPduInFlightAndRestart(std::size_t g) {
    const auto logSizes = std::make_shared<std::map<int, std::uintmax_t>>();
    for (int sim : kGatewayModems[g]) {
      control(sim, "delay 1500");
      (*logSizes)[sim] = logSize(sim);
    }
    whenPduTaken(*logSizes, [this, g](bool taken) {
      EXPECT_TRUE(taken) << "gateway " << g << " sent nothing before its kill";
      for (int sim : kGatewayModems[g]) control(sim, "delay 20");
      killAndRestart(g);
    });
  }
  void killAndRestart(std::size_t g) {
    auto& gw = gateways_[g];
    ::kill(gw.pid, SIGKILL);
    int status = 0;
    ::waitpid(gw.pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "gateway " << g << " ended before the kill";
    std::erase(children_, gw.pid);
    startGateway(g);
  }
  // The next PDU `sim` takes leaves it silent (until "silent off"): it
  // swallows that one answer, and the quirk goes.
  void silentAfterNextSend(int sim) {
    control(sim, "quirk silent-after-send on");
    whenPduTaken({{sim, logSize(sim)}}, [this, sim](bool taken) {
      EXPECT_TRUE(taken) << "sim" << sim << " took no PDU while set to fall silent";
      control(sim, "quirk silent-after-send off");
    });
  }
  // Runs `then(true)` once a PDU log of `sizes` grows past its size there,
  // `then(false)` if none does within 10 s; the schedule goes on meanwhile.
  void whenPduTaken(std::map<int, std::uintmax_t> sizes, std::function<void(bool)> then) {
    const auto deadline = Clock::now() + seconds(10);
    watchers_.push_back([this, sizes, then, deadline] {
      bool taken = false;
      for (const auto& [sim, size] : sizes) taken |= logSize(sim) > size;
      if (!taken && Clock::now() < deadline) return false;
      then(taken);
      return true;
    });
  }
  std::uintmax_t logSize(int sim) const { return fs::exists(pduLog(sim)) ? fs::file_size(pduLog(sim)) : 0; }

  // pg_ctl restart -m fast as the server's user, without waiting for it.
  void restartPostgres() {
    const std::string bin = std::getenv("REVIRI_PG_BIN") ? std::getenv("REVIRI_PG_BIN") : "";
    const std::string data = std::getenv("REVIRI_PG_DATA") ? std::getenv("REVIRI_PG_DATA") : "";
    ASSERT_FALSE(bin.empty() || data.empty()) << "with_postgres.sh sets REVIRI_PG_BIN and REVIRI_PG_DATA";
    std::vector<std::string> args{bin + "/pg_ctl", "-D", data, "-l", (fs::path(data).parent_path() / "server.log").string(),
                                  "-w", "-t", "30", "restart", "-m", "fast"};
    if (::geteuid() == 0) args.insert(args.begin(), {"runuser", "-u", "nobody", "--"});
    helpers_.push_back(spawn(args, dir_ / "pg_ctl.log"));
  }
  // Waits for the pg_ctl runs; false when one failed or hangs.
  bool postgresRestartsDone(Clock::time_point deadline) {
    while (!helpers_.empty() && Clock::now() < deadline) {
      int status = 0;
      const pid_t pid = ::waitpid(helpers_.back(), &status, WNOHANG);
      if (pid == 0) {
        std::this_thread::sleep_for(milliseconds(50));
        continue;
      }
      helpers_.pop_back();
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    }
    return helpers_.empty();
  }

  // Posts message `n` to the gateways in turn until one accepts it: a
  // connection error or 503 goes to the next; the key makes that safe.
  void post(int n) {
    const std::string body = json{{"to", recipient(n)}, {"text", outgoingText(n)}}.dump();
    const httplib::Headers headers{{"Idempotency-Key", "soak-" + std::to_string(n)}};
    std::string last;
    for (auto end = Clock::now() + seconds(30); Clock::now() < end;) {
      auto& gw = gateways_[static_cast<std::size_t>(postTurn_++) % gateways_.size()];
      auto r = gw.client->Post("/v1/messages", headers, body, "application/json");
      if (r && r->status == 202) {
        accepted_[n] = json::parse(r->body)["id"];
        return;
      }
      ++postRetries_;
      last = r ? std::to_string(r->status) + " " + r->body : httplib::to_string(r.error());
      if (r && r->status != 503 && r->status < 500) break;
      std::this_thread::sleep_for(milliseconds(100));
    }
    ADD_FAILURE() << "message " << n << " was never accepted; last answer: " << last;
  }
  void inject(int k) {
    const int sim = k % kSims + 1;
    const std::string text = incomingText(k);
    const std::string reply = simControl(sim, std::string("inject ") + (text.size() > 160 ? "long " : "") + "+4916300" +
                                                  std::to_string(1000 + k) + " " + text);
    if (reply.starts_with("ERROR")) ADD_FAILURE() << "sim" << sim << " refused incoming " << k << ": " << reply;
  }

  json get(const std::string& path) {
    for (auto& gw : gateways_) {
      if (auto r = gw.client->Get(path); r && r->status == 200) return json::parse(r->body, nullptr, false);
    }
    return json();
  }
  static std::string fileText(const fs::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  // The fault phase: events at fixed times from the start while messages
  // are posted and incoming ones injected at an even pace.
  void runFaults(std::vector<Event> events) {
    const auto start = Clock::now();
    const auto messageGap = milliseconds(kFaultPhase - seconds(3)) / kMessages;
    const auto incomingGap = milliseconds(kFaultPhase - seconds(5)) / kIncoming;
    int posted = 0, injected = 0;
    std::size_t next = 0;
    while (posted < kMessages || injected < kIncoming || next < events.size() || !watchers_.empty()) {
      const auto now = Clock::now() - start;
      if (next < events.size() && events[next].at <= now) {
        events[next++].action();
      } else if (posted < kMessages && messageGap * posted <= now) {
        post(posted++);
      } else if (injected < kIncoming && incomingGap * injected <= now) {
        inject(injected++);
      } else {
        std::erase_if(watchers_, [](const auto& watcher) { return watcher(); });
        std::this_thread::sleep_for(milliseconds(10));  // the next item of the schedule is due soon
      }
    }
  }
  // Polls until nothing is queued or sending and every incoming message is
  // in the inbox; false at the deadline.
  bool settled(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      const auto queued = get("/v1/messages?status=queued&limit=1").value("messages", json::array());
      const auto sending = get("/v1/messages?status=sending&limit=1").value("messages", json::array());
      if (queued.empty() && sending.empty() && inbox().size() >= kIncoming) return true;
      std::this_thread::sleep_for(milliseconds(500));
    }
    return false;
  }
  // Every inbox message's text, paging by next_after.
  std::vector<std::string> inbox() {
    std::vector<std::string> texts;
    for (std::int64_t after = 0;;) {
      const auto page = get("/v1/inbox?limit=1000&after=" + std::to_string(after));
      const auto messages = page.value("messages", json::array());
      for (const auto& m : messages) texts.push_back(m.value("text", ""));
      if (messages.empty()) return texts;
      after = page.value("next_after", after);
    }
  }
  // recipient digits -> part text -> how often a sim took it.
  std::map<std::string, std::map<std::string, int>> pdusByRecipient() {
    std::map<std::string, std::map<std::string, int>> out;
    for (int n = 1; n <= kSims; ++n) {
      std::ifstream in(pduLog(n));
      for (std::string line; std::getline(in, line);) {
        const auto first = line.find(' ');
        const auto second = line.find(' ', first + 1);
        if (second == std::string::npos) continue;
        ++out[digitsOf(line.substr(first + 1, second - first - 1))][line.substr(second + 1)];
      }
    }
    return out;
  }

  fs::path dir_;
  std::unique_ptr<testing::TestDatabase> db_;
  std::vector<pid_t> children_;  // sims and gateways, killed in TearDown
  std::vector<pid_t> helpers_;   // pg_ctl runs
  std::vector<std::string> devices_;
  std::vector<GatewayProcess> gateways_;
  std::map<int, std::int64_t> accepted_;  // message number -> id
  int postTurn_ = 0;
  int postRetries_ = 0;
  // Conditions the schedule waits for without stopping: each runs in idle
  // moments until it returns true.
  std::vector<std::function<bool()>> watchers_;
};

TEST_F(FaultSoakTest, NothingLostNoUnmarkedDuplicateUnderKillsRestartsAndRefusals) {
  ASSERT_NO_FATAL_FAILURE(startSims());
  ASSERT_NO_FATAL_FAILURE(startGateways());
  std::map<int, std::string> refusalsSet;  // sim -> request, checked used up at the end
  auto refuse = [&](int sim, const std::string& request) {
    control(sim, request);
    refusalsSet[sim] = request;
  };
  runFaults({
      {seconds(2), "sim2 refuses a later part three times (temporary)", [&] { refuse(2, "refuse 42 3 later"); }},
      {seconds(5), "sim3 falls silent after its next PDU", [&] { silentAfterNextSend(3); }},
      {seconds(10), "gateway A killed with a PDU in flight, restarted", [&] { killWithPduInFlightAndRestart(0); }},
      {seconds(14), "sim1 refuses a later part three times (temporary)", [&] { refuse(1, "refuse 42 3 later"); }},
      {seconds(16), "PostgreSQL restarted", [&] { restartPostgres(); }},
      {seconds(20), "gateway B killed while sim3 sits silent on a PDU, restarted", [&] { killAndRestart(1); }},
      {seconds(22), "sim4 refuses two sends (permanent)", [&] { refuse(4, "refuse 21 2"); }},
      {seconds(25), "sim3 speaks again", [&] { control(3, "silent off"); }},
      {seconds(28), "gateway C killed with a PDU in flight, restarted", [&] { killWithPduInFlightAndRestart(2); }},
      {seconds(34), "gateway A killed with a PDU in flight again", [&] { killWithPduInFlightAndRestart(0); }},
      {seconds(38), "PostgreSQL restarted again", [&] { restartPostgres(); }},
  });
  // The faults took place: otherwise the invariants below prove little.
  EXPECT_TRUE(postgresRestartsDone(Clock::now() + seconds(60))) << fileText(dir_ / "pg_ctl.log");
  for (const auto& [sim, request] : refusalsSet) {
    EXPECT_EQ(simControl(sim, "dump").find("refusing"), std::string::npos) << "sim" << sim << " never used up " << request;
    control(sim, "refuse off");
  }
  control(3, "silent off");

  const bool calm = settled(Clock::now() + kSettle);
  EXPECT_TRUE(calm) << "messages still queued or sending, or incoming ones missing, " << kSettle.count()
                    << " s after the faults";

  const auto pdus = pdusByRecipient();
  std::map<std::string, std::vector<std::int64_t>> idsByRecipient;
  for (const auto& m : get("/v1/messages?limit=1000").value("messages", json::array()))
    idsByRecipient[digitsOf(m.value("to", ""))].push_back(m.value("id", std::int64_t{0}));
  std::vector<std::string> unfinished, shortOfParts, queuedTwice, unmarked;
  int duplicatesMarked = 0;
  for (const auto& [n, id] : accepted_) {
    const std::string to = digitsOf(recipient(n));
    const std::string where = "message " + std::to_string(n) + " (id " + std::to_string(id) + ")";
    const auto record = get("/v1/messages/" + std::to_string(id));
    const std::string status = record.value("status", "missing");
    const bool sent = status == "sent" || status == "delivered";
    if (!sent && !(status == "failed" && record.contains("last_error") && !record["last_error"].is_null()))
      unfinished.push_back(where + ": " + status + ", last_error " + record.value("last_error", json()).dump());
    if (idsByRecipient[to].size() > 1)
      queuedTwice.push_back(where + ": " + std::to_string(idsByRecipient[to].size()) + " messages to " + recipient(n));

    const auto parts = pdus.find(to);
    std::size_t covered = 0;
    int timesTaken = 0;
    if (parts != pdus.end()) {
      for (const auto& [text, count] : parts->second) {
        if (outgoingText(n).find(text) != std::string::npos) covered += text.size();
        timesTaken = std::max(timesTaken, count);
      }
    }
    if (sent && covered != outgoingText(n).size())
      shortOfParts.push_back(where + ": " + status + " but the modems took " + std::to_string(covered) + " of " +
                             std::to_string(outgoingText(n).size()) + " characters");
    if (timesTaken > 1) {
      bool marked = false;
      for (const auto& h : record.value("history", json::array())) marked |= h.value("event", "") == "possibly duplicated";
      if (marked) ++duplicatesMarked;
      else unmarked.push_back(where + ": a part reached the modems " + std::to_string(timesTaken) + " times, status " + status);
    }
  }
  std::map<std::string, int> inboxCount;
  for (const auto& text : inbox()) ++inboxCount[text];
  std::vector<std::string> incomingWrong;
  for (int k = 0; k < kIncoming; ++k) {
    const int times = inboxCount[incomingText(k)];
    const int sim = k % kSims + 1;
    if (times != 1) {
      const bool stillOnSim = simControl(sim, "dump").find(incomingText(k).substr(0, 20)) != std::string::npos;
      incomingWrong.push_back("incoming " + std::to_string(k) + " is in the inbox " + std::to_string(times) +
                              " times" + (stillOnSim ? ", still stored on sim" + std::to_string(sim) : ""));
    }
    inboxCount.erase(incomingText(k));
  }
  for (const auto& [text, times] : inboxCount)
    incomingWrong.push_back("never sent, in the inbox " + std::to_string(times) + " times: " + text.substr(0, 60));

  EXPECT_EQ(accepted_.size(), static_cast<std::size_t>(kMessages));
  EXPECT_TRUE(unfinished.empty()) << "neither sent nor failed with a reason:" << joined(unfinished);
  EXPECT_TRUE(shortOfParts.empty()) << "lost: \"sent\" short of parts:" << joined(shortOfParts);
  EXPECT_TRUE(queuedTwice.empty()) << "one POST (same Idempotency-Key) queued twice:" << joined(queuedTwice);
  EXPECT_TRUE(unmarked.empty()) << "sent more than once without \"possibly duplicated\":" << joined(unmarked);
  EXPECT_TRUE(incomingWrong.empty()) << "inbox:" << joined(incomingWrong);
  std::cout << "[ soak ] " << accepted_.size() << " accepted after " << postRetries_ << " retried POSTs, "
            << duplicatesMarked << " duplicates marked\n";
}

}  // namespace
}  // namespace reviri::gateway
