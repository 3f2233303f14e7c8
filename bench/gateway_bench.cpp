// Gateway benchmarks: HTTP ingest with 8 concurrent clients on SQLite with
// synchronous=NORMAL and FULL, and the time from the 202 to the message
// recorded as sent by an idle simulated modem. Loopback only; every loop is
// bounded in count.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>
#include <sys/resource.h>
#include <unistd.h>

#include "gateway/gateway.h"
#include "gateway/http_api.h"
#include "gateway/store/postgres_store.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"
#include "sim/simulator.h"

namespace {

using namespace reviri::gateway;
namespace fs = std::filesystem;

constexpr int kClients = 8;
constexpr int kPerClient = 250;
constexpr int kMessagesPerModem = 40;  // in the send throughput runs
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

// The same on PostgreSQL, when REVIRI_BENCH_PG_URL names an empty database
// (tests/gateway/with_postgres.sh starts a private server).
void BM_HttpIngestPostgres(benchmark::State& state) {
  const char* url = std::getenv("REVIRI_BENCH_PG_URL");
  if (!url || !*url) {
    state.SkipWithError("REVIRI_BENCH_PG_URL is not set");
    for (auto _ : state) {
    }
    return;
  }
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

// One message's way through the store as a worker takes it (claim, mark
// the PDU written, record it sent) behind a queue of `depth` messages: the
// claim must not grow with the queue.
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
      if (!claimed || !store->markWriting(claimed->id, "w") || !store->finishSent(claimed->id, "w", {1})) {
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

// Send throughput with N simulated modems paced at 115200 baud, answering
// at once or 50 ms late (a modem waiting for the network): messages queued
// straight into the store (10 per modem), timed until all are sent. CPU per
// message counts the whole process (the simulators' threads too).
void BM_SendThroughput(benchmark::State& state) {
  const int modems = static_cast<int>(state.range(0));
  const int messages = kMessagesPerModem * modems;
  const auto dir = freshDirectory("scale-" + std::to_string(modems));
  auto store = openSqliteStore({(dir / "gateway.db").string()});
  std::vector<std::unique_ptr<reviri::sim::Simulator>> sims;
  std::vector<NamedModem> named;
  for (int i = 0; i < modems; ++i) {
    sims.push_back(std::make_unique<reviri::sim::Simulator>());
    sims.back()->start();
    sims.back()->setLineSpeed(115200);
    sims.back()->setAnswerDelay(std::chrono::milliseconds(state.range(1)));
    named.push_back({"sim" + std::to_string(i + 1), pseudoTerminalPortFactory(sims.back()->devicePath())});
  }
  GatewayOptions options;
  options.port = 0;
  options.api.token = kToken;
  EventLog log;
  Gateway gateway(*store, std::move(named), options, log);
  gateway.start();
  const auto allUp = [&] {
    for (const auto& m : gateway.board().snapshot()) {
      if (m.state != "up") return false;
    }
    return true;
  };
  for (int i = 0; i < 3000 && !allUp(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBefore = processCpuSeconds();
    NewMessage m;
    m.to = "+4917012345";
    m.text = "throughput";
    for (int i = 0; i < messages; ++i) store->enqueue(m);
    gateway.wakeWorkers();
    for (int spin = 0; spin < 6000 && store->counts().queued + store->counts().sending > 0; ++spin) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    cpu += processCpuSeconds() - cpuBefore;
  }
  const double total = static_cast<double>(state.iterations()) * messages;
  state.SetItemsProcessed(static_cast<std::int64_t>(total));
  state.counters["per_modem_per_s"] =
      benchmark::Counter(total / modems, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_msg"] = cpu * 1000 / total;
  gateway.stop();
  store.reset();
  fs::remove_all(dir);
}
BENCHMARK(BM_SendThroughput)
    ->ArgsProduct({{1, 4, 16, 64}, {0, 50}})
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
