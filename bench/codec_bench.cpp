// PDU codec throughput: building SMS-SUBMIT PDUs and decoding SMS-DELIVER
// PDUs of full message size, on one core.
#include <benchmark/benchmark.h>

#include <string>

#include "sms/decode/decode.h"
#include "sms/encode/encode.h"

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

}  // namespace

BENCHMARK_MAIN();
