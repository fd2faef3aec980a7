// A whole solver step (grid, three parallel passes, integrate) on 1 and 2
// worker threads, stepping the settled liquid forward as the program does.
// Wall-clock time: the main thread mostly waits while workers compute, so
// its CPU time would understate the step.
#include <benchmark/benchmark.h>

#include "app/frame.h"
#include "settled_state.h"

namespace sph::bench {
namespace {

void BM_Step(benchmark::State& state) {
  FluidSystem& system = restoreSettledState(int32_t(state.range(0)));
  for (auto _ : state) {
    stepSimulation();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * system.particleCount);
}
BENCHMARK(BM_Step)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace sph::bench
