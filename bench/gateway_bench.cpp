// Gateway benchmarks: HTTP ingest with 8 concurrent clients on SQLite with
// synchronous=NORMAL and FULL, batch ingest (1,000 messages a request), and the time from the 202 to the message
// recorded as sent by an idle simulated modem. Loopback only; every loop is
// bounded in count.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gateway/gateway.h"
#include "gateway/http_api.h"
#include "gateway/store/forwarding_store.h"
#include "gateway/store/postgres_store.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"

namespace {

using namespace reviri::gateway;
namespace fs = std::filesystem;

constexpr int kClients = 8;
constexpr int kPerClient = 250;
constexpr int kMessagesPerModem = 100;  // in the send throughput runs
constexpr const char* kToken = "bench";

fs::path freshDirectory(const std::string& name) {
  auto dir = fs::temp_directory_path() / ("reviri-bench-" + std::to_string(::getpid()) + "-" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Posts kClients x kPerClient messages over keep-alive connections.
void postConcurrently(int port) {
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([port, c] {
      httplib::Client client("127.0.0.1", port);
      client.set_bearer_token_auth(kToken);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      for (int i = 0; i < kPerClient; ++i) {
        const std::string body = R"({"to":"+4917012345","text":"bench )" + std::to_string(c * kPerClient + i) + "\"}";
        auto r = client.Post("/v1/messages", body, "application/json");
        if (!r || r->status != 202) std::abort();
      }
    });
  }
  for (auto& t : clients) t.join();
}

void ingest(benchmark::State& state, Store& store, const std::string& label) {
  ModemBoard board;
  Signal work, inbox;
  EventLog log;
  ApiOptions options;
  options.token = kToken;
  HttpApi api(ApiContext{store, board, work, inbox, log}, options);
  const int port = api.bind("127.0.0.1", 0);
  api.start();
  for (auto _ : state) postConcurrently(port);
  state.SetItemsProcessed(state.iterations() * kClients * kPerClient);
  state.SetLabel(label);
  api.stop();
}

void BM_HttpIngest(benchmark::State& state) {
  const std::string sync = state.range(0) ? "FULL" : "NORMAL";
  const auto dir = freshDirectory("ingest-" + sync);
  {
    auto store = openSqliteStore({(dir / "gateway.db").string(), sync});
    ingest(state, *store, "SQLite synchronous=" + sync);
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_HttpIngest)->Arg(0)->Arg(1)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// POST /v1/messages/batch with 1,000 messages a request from `clients`
// clients, 10 requests each, on SQLite with durable commits
// (synchronous=FULL): the goal is 20,000 messages/s.
void BM_BatchIngest(benchmark::State& state) {
  constexpr int kBatch = 1000, kRequests = 10;
  const int clients = static_cast<int>(state.range(0));
  const auto dir = freshDirectory("batch");
  {
    auto store = openSqliteStore({(dir / "gateway.db").string(), "FULL"});
    ModemBoard board;
    Signal work, inbox;
    EventLog log;
    ApiOptions options;
    options.token = kToken;
    HttpApi api(ApiContext{*store, board, work, inbox, log}, options);
    const int port = api.bind("127.0.0.1", 0);
    api.start();
    nlohmann::json items = nlohmann::json::array();
    for (int i = 0; i < kBatch; ++i) {
      items.push_back({{"to", "+4917012" + std::to_string(100000 + i)}, {"text", "bench batch " + std::to_string(i)}});
    }
    const std::string body = nlohmann::json{{"messages", items}}.dump();
    for (auto _ : state) {
      std::vector<std::thread> threads;
      for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
          httplib::Client client("127.0.0.1", port);
          client.set_bearer_token_auth(kToken);
          client.set_read_timeout(std::chrono::seconds(60));
          for (int r = 0; r < kRequests; ++r) {
            auto answer = client.Post("/v1/messages/batch", body, "application/json");
            if (!answer || answer->status != 202) std::abort();
          }
        });
      }
      for (auto& t : threads) t.join();
    }
    state.SetItemsProcessed(state.iterations() * clients * kRequests * kBatch);
    state.SetLabel("SQLite synchronous=FULL, " + std::to_string(clients) + " client(s)");
    api.stop();
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_BatchIngest)->Arg(1)->Arg(2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// REVIRI_BENCH_PG_URL, or "" after marking the benchmark skipped.
std::string postgresUrlOrSkip(benchmark::State& state) {
  const char* url = std::getenv("REVIRI_BENCH_PG_URL");
  if (url && *url) return url;
  state.SkipWithError("REVIRI_BENCH_PG_URL is not set");
  for (auto _ : state) {
  }
  return "";
}

// The same on PostgreSQL, when REVIRI_BENCH_PG_URL names an empty database
// (tests/gateway/with_postgres.sh starts a private server).
void BM_HttpIngestPostgres(benchmark::State& state) {
  const std::string url = postgresUrlOrSkip(state);
  if (url.empty()) return;
  auto store = openPostgresStore({url});
  ingest(state, *store, "PostgreSQL");
}
BENCHMARK(BM_HttpIngestPostgres)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// From the 202 to the message recorded as sent, on an idle simulated modem
// (one message at a time; the PDU written and the modem's answer read).
void BM_AcceptedToSent(benchmark::State& state) {
  const auto dir = freshDirectory("latency");
  auto store = openSqliteStore({(dir / "gateway.db").string()});
  reviri::sim::Simulator sim;
  sim.start();
  GatewayOptions options;
  options.port = 0;
  options.api.token = kToken;
  EventLog log;
  Gateway gateway(*store, {{"sim1", pseudoTerminalPortFactory(sim.devicePath())}}, options, log);
  const int port = gateway.start();
  httplib::Client client("127.0.0.1", port);
  client.set_bearer_token_auth(kToken);
  // Wait for the modem to be up.
  for (int i = 0; i < 500 && gateway.board().snapshot().at(0).state != "up"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<double> ms;
  for (auto _ : state) {
    auto r = client.Post("/v1/messages", R"({"to":"+4917012345","text":"latency"})", "application/json");
    const auto accepted = std::chrono::steady_clock::now();
    const auto id = nlohmann::json::parse(r->body)["id"].get<std::int64_t>();
    for (int spin = 0; spin < 200000; ++spin) {  // at most about 20 s
      if (store->message(id)->status == Status::kSent) break;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - accepted).count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  gateway.stop();
  store.reset();
  fs::remove_all(dir);
}
BENCHMARK(BM_AcceptedToSent)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// One message's way through the store as a worker takes it (claim, record
// it sent) behind a queue of `depth` messages: the claim must not grow with
// the queue.
void BM_StoreSendCycle(benchmark::State& state) {
  const auto depth = state.range(0);
  const auto dir = freshDirectory("cycle-" + std::to_string(depth));
  {
    auto store = openSqliteStore({(dir / "gateway.db").string()});
    NewMessage m;
    m.to = "+4917012345";
    m.text = "cycle";
    m.validityMinutes = 60;
    for (std::int64_t i = 0; i < depth; ++i) store->enqueue(m);
    for (auto _ : state) {
      store->enqueue(m);
      auto claimed = store->claim("w", "m", std::chrono::seconds(30));
      if (!claimed || !store->finishSent(claimed->id, "w", {1})) {
        state.SkipWithError("the store refused a step");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_StoreSendCycle)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The machine's busy and total CPU time so far (all cores), from /proc/stat.
std::pair<double, double> machineCpuTicks() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
  stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq;
  const double busy = user + nice + system + irq + softirq;
  return {busy, busy + idle + iowait};
}

// Simulated modems served by a child process, so that the CPU the gateway
// spends is measured apart from the modems'. Forked while this process has
// no other thread; the child serves until the pipe from here closes.
class SimulatorFarm {
 public:
  SimulatorFarm(int count, long baud, std::chrono::milliseconds answerDelay) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      serve(count, baud, answerDelay, down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    stop_ = down[1];
    FILE* paths = ::fdopen(up[0], "r");
    char line[256];
    while (static_cast<int>(devices_.size()) < count && std::fgets(line, sizeof line, paths)) {
      devices_.emplace_back(line, std::strcspn(line, "\n"));
    }
    std::fclose(paths);
    if (static_cast<int>(devices_.size()) != count) std::abort();
  }
  ~SimulatorFarm() {
    ::close(stop_);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::vector<std::string>& devices() const { return devices_; }

 private:
  [[noreturn]] static void serve(int count, long baud, std::chrono::milliseconds delay, int stop, int paths) {
    std::vector<std::unique_ptr<reviri::sim::Simulator>> sims;
    std::string list;
    for (int i = 0; i < count; ++i) {
      sims.push_back(std::make_unique<reviri::sim::Simulator>());
      sims.back()->start();
      sims.back()->setLineSpeed(baud);
      sims.back()->setAnswerDelay(delay);
      list += sims.back()->devicePath() + "\n";
    }
    if (::write(paths, list.data(), list.size()) != static_cast<ssize_t>(list.size())) std::_Exit(1);
    char byte;
    while (::read(stop, &byte, 1) > 0) {
    }
    for (auto& sim : sims) sim->stop();
    std::_Exit(0);
  }

  pid_t pid_ = -1;
  int stop_ = -1;
  std::vector<std::string> devices_;
};

// The store as the gateway sees it, with claims held back until open(), so
// that a run's messages are all queued before the first is sent.
class GatedStore final : public ForwardingStore {
 public:
  explicit GatedStore(Store& inner) : ForwardingStore(inner) {}
  void open(bool open) { open_ = open; }

  std::optional<MessageRecord> claim(const std::string& worker, const std::string& modem, Lease lease) override {
    if (!open_) return std::nullopt;
    return inner_.claim(worker, modem, lease);
  }
  SentAndNext finishSentAndClaim(std::int64_t id, const std::string& worker, const std::vector<int>& references,
                                 const std::string& modem, Lease lease) override {
    if (open_) return inner_.finishSentAndClaim(id, worker, references, modem, lease);
    return {inner_.finishSent(id, worker, references), std::nullopt};
  }

 private:
  std::atomic<bool> open_{false};
};

// Queues `count` messages from 8 threads (the store commits them in groups).
void enqueueMany(Store& store, int count) {
  std::vector<std::thread> threads;
  std::atomic<int> next{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      NewMessage m;
      m.to = "+4917012345";
      m.text = "throughput";
      while (next++ < count) store.enqueue(m);
    });
  }
  for (auto& t : threads) t.join();
}

// Send throughput with N simulated modems paced at 115200 baud that answer
// at once, or 10 or 50 ms late (a modem waiting for the network). Each run
// queues kMessagesPerModem per modem, then opens the gate and wakes the
// workers; its time runs from then to the last message recorded sent. The
// modems run in a child process, so CPU per message is the gateway's alone.
void sendThroughput(benchmark::State& state, const std::function<std::unique_ptr<Store>()>& openStore,
                    int gatewayCount) {
  const int modems = static_cast<int>(state.range(0));
  const int messages = kMessagesPerModem * modems;
  SimulatorFarm farm(modems, 115200, std::chrono::milliseconds(state.range(1)));
  std::vector<std::unique_ptr<Store>> stores;
  std::vector<std::unique_ptr<GatedStore>> gates;
  std::vector<std::vector<NamedModem>> modemsOf(static_cast<std::size_t>(gatewayCount));
  for (int g = 0; g < gatewayCount; ++g) {
    stores.push_back(openStore());
    gates.push_back(std::make_unique<GatedStore>(*stores.back()));
  }
  if (stores.front()->counts().queued > 0) {
    state.SkipWithError("the database already holds queued messages (use one of its own)");
    for (auto _ : state) {
    }
    return;
  }
  for (int i = 0; i < modems; ++i) {
    modemsOf[static_cast<std::size_t>(i % gatewayCount)].push_back(
        {"sim" + std::to_string(i + 1), pseudoTerminalPortFactory(farm.devices()[static_cast<std::size_t>(i)])});
  }
  GatewayOptions options;
  options.port = 0;
  options.api.token = kToken;
  EventLog log;
  std::vector<std::unique_ptr<Gateway>> gateways;
  for (int g = 0; g < gatewayCount; ++g) {
    gateways.push_back(std::make_unique<Gateway>(*gates[static_cast<std::size_t>(g)],
                                                 std::move(modemsOf[static_cast<std::size_t>(g)]), options, log));
    gateways.back()->start();
  }
  // Watched on the gateways' own counters: asking the store would take its
  // lock in the middle of the measurement.
  const auto everyModem = [&](const std::function<void(const ModemState&)>& visit) {
    for (auto& gateway : gateways) {
      for (const auto& m : gateway->board().snapshot()) visit(m);
    }
  };
  const auto allUp = [&] {
    bool up = true;
    everyModem([&](const ModemState& m) { up = up && m.state == "up"; });
    return up;
  };
  for (int i = 0; i < 3000 && !allUp(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Store& store = *stores.front();
  double cpu = 0, busy = 0, ticks = 0;
  for (auto _ : state) {
    const auto sentBefore = store.counts().sent;  // a shared database may hold earlier runs
    enqueueMany(store, messages);
    const double cpuBefore = processCpuSeconds();
    const auto machineBefore = machineCpuTicks();
    const auto opened = systemNowMs();
    for (auto& gate : gates) gate->open(true);
    for (auto& gateway : gateways) gateway->wakeWorkers();
    const auto sentSoFar = [&] {
      std::int64_t sent = 0;
      everyModem([&](const ModemState& m) { sent += m.sent; });
      return sent;
    };
    const std::int64_t goal = static_cast<std::int64_t>(messages) * (state.iterations() + 1);
    for (int spin = 0; spin < 60000 && sentSoFar() < goal; ++spin) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    cpu += processCpuSeconds() - cpuBefore;
    const auto machineAfter = machineCpuTicks();
    busy += machineAfter.first - machineBefore.first;
    ticks += machineAfter.second - machineBefore.second;
    for (auto& gate : gates) gate->open(false);
    std::int64_t lastSent = opened;
    for (const auto& m : store.messages(Status::kSent, messages)) lastSent = std::max(lastSent, m.sentMs.value_or(0));
    if (store.counts().sent != sentBefore + messages) {
      state.SkipWithError("not every message was sent");
      break;
    }
    state.SetIterationTime(static_cast<double>(lastSent - opened) / 1000.0);
  }
  const double total = static_cast<double>(state.iterations()) * messages;
  state.SetItemsProcessed(static_cast<std::int64_t>(total));
  state.counters["per_modem_per_s"] = benchmark::Counter(total / modems, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_msg"] = cpu * 1000 / total;
  state.counters["machine_busy"] = ticks > 0 ? busy / ticks : 0;  // all cores, the modems' process too
  for (auto& gateway : gateways) gateway->stop();
}

void BM_SendThroughput(benchmark::State& state) {
  const auto dir = freshDirectory("scale-" + std::to_string(state.range(0)));
  sendThroughput(
      state, [&] { return openSqliteStore({(dir / "gateway.db").string()}); }, 1);
  fs::remove_all(dir);
}
BENCHMARK(BM_SendThroughput)
    ->ArgsProduct({{1, 4, 16, 64}, {0, 10, 50}})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Two gateways ("hosts") sharing one PostgreSQL database, the modems split
// between them, when REVIRI_BENCH_PG_URL names a database with nothing
// queued (run it apart from the ingest benchmark, which leaves its messages
// queued).
void BM_SendThroughputTwoHostsPostgres(benchmark::State& state) {
  const std::string url = postgresUrlOrSkip(state);
  if (url.empty()) return;
  sendThroughput(
      state, [&] { return openPostgresStore({url}); }, 2);
}
BENCHMARK(BM_SendThroughputTwoHostsPostgres)
    ->ArgsProduct({{2, 16, 64}, {0, 10}})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
