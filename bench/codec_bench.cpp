// PDU codec throughput, on one core: building SMS-SUBMIT PDUs and decoding
// SMS-DELIVER PDUs of full message size; planning long messages into parts;
// decoding and joining the parts of long messages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/compat/pdu_compat.h"
#include "sms/reassembly.h"
#include "sms/gsm0340_tpdu.h"
#include "sms/submit_plan.h"

namespace {

using namespace reviri::sms;

const std::string kNumber = "+27821234567";

std::string text160() {
  std::string t;
  while (t.size() < 160) t += "The quick brown fox jumps over the lazy dog 0123456789. ";
  return t.substr(0, 160);
}

std::string text70Cyrillic() {
  std::string t;
  for (int i = 0; i < 70; ++i) t += (i % 7 == 6) ? " " : "Д";
  return t;
}

// SMS-DELIVER as a modem stores it: service centre, sender, time stamp.
std::string deliverPdu(const std::string& dcs, const std::string& userData) {
  return "07917228195339F0" "040B917228214365F7" "00" + dcs + "31308051206180" + userData;
}

void BM_Build7bit160(benchmark::State& state) {
  const std::string text = text160();
  for (auto _ : state) benchmark::DoNotOptimize(buildPdu7bit(kNumber, text));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Build7bit160);

void BM_BuildUcs2_70(benchmark::State& state) {
  const std::string text = text70Cyrillic();
  for (auto _ : state) benchmark::DoNotOptimize(buildPduUcs2(kNumber, text));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildUcs2_70);

void BM_DecodeDeliver7bit160(benchmark::State& state) {
  const std::string pdu = deliverPdu("00", encode7bit(text160()));
  for (auto _ : state) {
    deliverrecord record;
    benchmark::DoNotOptimize(decodeDeliver(pdu, record));
    benchmark::DoNotOptimize(record.ud.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeDeliver7bit160);

void BM_DecodeDeliverUcs2_70(benchmark::State& state) {
  std::string text = text70Cyrillic();
  const std::string pdu = deliverPdu("08", ENCodeunicodestring(text));
  for (auto _ : state) {
    deliverrecord record;
    benchmark::DoNotOptimize(decodeDeliver(pdu, record));
    benchmark::DoNotOptimize(record.ud.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeDeliverUcs2_70);

// Ten parts of text: 1530 septets or 670 UCS2 units.
std::string tenPartsGsm7() {
  std::string t;
  while (t.size() < 1530) t += "The quick brown fox jumps over the lazy dog [0123456789]. ";
  t.resize(1530 - 4);
  return t + "{€}";  // 1530 septets with the escape pairs
}

std::string tenPartsUcs2() {
  std::string t;
  for (int i = 0; i < 670; ++i) t += (i % 7 == 6) ? " " : "Д";
  return t;
}

SubmitRequest longRequest(std::string text) {
  SubmitRequest r;
  r.to = kNumber;
  r.text = std::move(text);
  r.statusReport = true;
  r.validity = std::chrono::minutes(24 * 60);
  r.concatReference = 42;
  return r;
}

// Items are parts: the goal is at least 2 M parts per second.
void planParts(benchmark::State& state, const SubmitRequest& request) {
  std::size_t parts = 0;
  for (auto _ : state) {
    std::vector<SubmitPart> planned = planSubmit(request);
    parts += planned.size();
    benchmark::DoNotOptimize(planned.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(parts));
}

void BM_PlanTenPartsGsm7(benchmark::State& state) { planParts(state, longRequest(tenPartsGsm7())); }
BENCHMARK(BM_PlanTenPartsGsm7);

void BM_PlanTenPartsUcs2(benchmark::State& state) { planParts(state, longRequest(tenPartsUcs2())); }
BENCHMARK(BM_PlanTenPartsUcs2);

// PDUs of a ten-part message as received, reordered so that every part but
// the last waits for another.
std::vector<std::string> receivedParts(const std::string& text) {
  std::vector<std::string> pdus;
  for (const SubmitPart& p : planSubmit(longRequest(text))) {
    // The same coding and user data under an SMS-DELIVER header (first octet
    // 44: UDHI). In the SUBMIT, DCS is octet 12 and TP-UDL octet 14.
    pdus.push_back("07917228195339F0" "440B917228214365F7" "00" + p.pduHex.substr(24, 2) + "31308051206180" +
                   p.pduHex.substr(28));
  }
  std::reverse(pdus.begin(), pdus.end());
  return pdus;
}

// Items are parts: decoding each part and joining the ten.
void decodeAndJoin(benchmark::State& state, const std::string& text) {
  const std::vector<std::string> pdus = receivedParts(text);
  const auto now = Reassembler::Clock::now();
  std::size_t parts = 0;
  for (auto _ : state) {
    Reassembler joiner;
    for (std::size_t i = 0; i < pdus.size(); ++i) {
      Reassembler::Handover out = joiner.add(std::get<Deliver>(decodeTpdu(pdus[i])), static_cast<int>(i), now);
      benchmark::DoNotOptimize(out.messages.data());
    }
    parts += pdus.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(parts));
}

void BM_DecodeAndJoinTenPartsGsm7(benchmark::State& state) { decodeAndJoin(state, tenPartsGsm7()); }
BENCHMARK(BM_DecodeAndJoinTenPartsGsm7);

void BM_DecodeAndJoinTenPartsUcs2(benchmark::State& state) { decodeAndJoin(state, tenPartsUcs2()); }
BENCHMARK(BM_DecodeAndJoinTenPartsUcs2);

// Runs one operation `times` times outside the benchmark library, so that
// valgrind --tool=callgrind counts its instructions: the count of a run with
// 0 operations, subtracted, leaves the operations alone.
int countInstructions(std::string_view operation, int times) {
  const std::string text = text160();
  const std::string pdu = deliverPdu("00", encode7bit(text));
  std::size_t sink = 0;
  for (int i = 0; i < times; ++i) {
    if (operation == "build") {
      sink += buildPdu7bit(kNumber, text).size();
    } else if (operation == "decode") {
      deliverrecord record;
      sink += decodeDeliver(pdu, record) + record.ud.size();
    } else {
      return 2;
    }
  }
  benchmark::DoNotOptimize(sink);
  return 0;
}

}  // namespace

// `codec_bench --count build|decode N`: see countInstructions.
int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--count") return countInstructions(argv[2], std::atoi(argv[3]));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
