// The integrator on the main thread. It moves particles, and the stale
// accumulators it re-applies would soon pile them against the walls, where
// the clamp and speed-limit branches run far more often than in a real
// step. So the motion is put back every RESTORE_EVERY calls, with the timer
// paused: often enough to stay close to the settled liquid, rarely enough
// that pausing costs nothing measurable.
#include <benchmark/benchmark.h>

#include "settled_state.h"
#include "solver/passes.h"

namespace sph::bench {
namespace {

constexpr int64_t RESTORE_EVERY = 16;

void BM_Integrate(benchmark::State& state) {
  FluidSystem& system = restoreSettledState();
  int64_t sinceRestore = 0;
  for (auto _ : state) {
    if (sinceRestore == RESTORE_EVERY) {
      state.PauseTiming();
      restoreSettledMotion();
      sinceRestore = 0;
      state.ResumeTiming();
    }
    integrate(system);
    benchmark::ClobberMemory();
    ++sinceRestore;
  }
  state.SetItemsProcessed(state.iterations() * system.particleCount);
}
BENCHMARK(BM_Integrate)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace sph::bench
