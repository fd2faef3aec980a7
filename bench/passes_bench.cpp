// The three per-particle passes, each called directly over all particles on
// the calling thread: the cost of the work itself, without thread starts.
//
// Repeating a pass on the same state is harmless here: the pair passes only
// add to accumulators (which grow but stay finite over any run length) and
// the state pass keeps density in its band; positions never change, so the
// grid built once stays valid.
#include <benchmark/benchmark.h>

#include "settled_state.h"
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

}  // namespace
}  // namespace sph::bench
