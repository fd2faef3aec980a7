// The three per-particle passes, each called directly over all particles on
// the calling thread: the cost of the work itself, without thread starts.
//
// Repeating a pass on the same state is harmless here: the pair passes only
// add to accumulators (which grow but stay finite over any run length) and
// the state pass keeps density in its band; positions never change, so the
// grid built once stays valid.
#include <benchmark/benchmark.h>

#include "settled_state.h"
#include "solver/neighbour_index.h"
#include "solver/passes.h"

namespace sph::bench {
namespace {

void BM_DensityRates(benchmark::State& state) {
  FluidSystem& system = restoreSettledState();
  for (auto _ : state) {
    computeDensityRates(0, system.particleCount);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * system.particleCount);
}
BENCHMARK(BM_DensityRates)->Unit(benchmark::kMicrosecond);

void BM_ParticleState(benchmark::State& state) {
  FluidSystem& system = restoreSettledState();
  for (auto _ : state) {
    updateParticleState(0, system.particleCount);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * system.particleCount);
}
BENCHMARK(BM_ParticleState)->Unit(benchmark::kMicrosecond);

void BM_Forces(benchmark::State& state) {
  FluidSystem& system = restoreSettledState();
  // In a step, pass 3 follows pass 1 on the same grid and may reuse what
  // pass 1 found; run pass 1 once so the timing is of pass 3 as in a step.
  computeDensityRates(0, system.particleCount);
  for (auto _ : state) {
    computeForces(0, system.particleCount);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * system.particleCount);
}
BENCHMARK(BM_Forces)->Unit(benchmark::kMicrosecond);

// Both pair passes over one half of the particles, as each of two workers
// runs them: the lower half (0) and the upper half (1) of the static split.
// The difference between the two is the imbalance that bounds what a second
// thread can gain; the "pairs" counter shows where it comes from.
void BM_PairPassesOnHalf(benchmark::State& state) {
  FluidSystem& system = restoreSettledState();
  const int32_t half = system.particleCount / 2;
  const int32_t begin = state.range(0) == 0 ? 0 : half;
  const int32_t end = state.range(0) == 0 ? half : system.particleCount;
  for (auto _ : state) {
    computeDensityRates(begin, end);
    computeForces(begin, end);
    benchmark::ClobberMemory();
  }
  const RangeNeighbours* lists = gatheredNeighbours(*system.neighbourIndex, begin, end);
  int64_t pairs = 0;
  for (int32_t i = begin; lists != nullptr && i < end; ++i)
    pairs += lists->listEnds[i - begin] - lists->listStarts[i - begin];
  state.counters["pairs"] = double(pairs);
  state.SetItemsProcessed(state.iterations() * (end - begin));
}
BENCHMARK(BM_PairPassesOnHalf)->ArgName("half")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace sph::bench
