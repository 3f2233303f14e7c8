// The receive path's cost per arrival must not grow with what arrived before:
// a modem that talks for days (RING, +CREG) keeps each arrival as cheap as
// the first, and the receive buffer small.
#include <benchmark/benchmark.h>

#include "control/state/control_core.h"
#include "reviri/reviri.h"

namespace {

// One arrival of noise lines after `state.range(0)` earlier arrivals.
void BM_NoiseArrivalAfterHistory(benchmark::State& state) {
  reviri::Reviri control;
  for (int64_t i = 0; i < state.range(0); ++i) control.PostTerminal("\r\nRING\r\n\r\n+CREG: 1\r\n");
  for (auto _ : state) control.PostTerminal("\r\nRING\r\n\r\n+CREG: 1\r\n");
  state.counters["buffer_bytes"] = static_cast<double>(reviri::detail::internals(control).surface.receiveBuffer.text().size());
}
BENCHMARK(BM_NoiseArrivalAfterHistory)->Arg(0)->Arg(10000)->Arg(1000000);

// Arrivals that never end a line: the unfinished line is bounded.
void BM_UnendedArrivalAfterHistory(benchmark::State& state) {
  reviri::Reviri control;
  for (int64_t i = 0; i < state.range(0); ++i) control.PostTerminal("noise without a line end ");
  for (auto _ : state) control.PostTerminal("noise without a line end ");
  state.counters["buffer_bytes"] = static_cast<double>(reviri::detail::internals(control).surface.receiveBuffer.text().size());
}
BENCHMARK(BM_UnendedArrivalAfterHistory)->Arg(0)->Arg(10000)->Arg(1000000);

// A send confirmation arriving in three pieces.
void BM_SplitConfirmation(benchmark::State& state) {
  reviri::Reviri control;
  for (auto _ : state) {
    control.PostTerminal("\r\n+CMG");
    control.PostTerminal("S: 1");
    control.PostTerminal("23\r\n\r\nOK\r\n");
  }
}
BENCHMARK(BM_SplitConfirmation);

}  // namespace

BENCHMARK_MAIN();
