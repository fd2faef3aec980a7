// Rebuilding the cell grid: clearing 704969 cell heads, then threading every
// particle into its cell's list. Runs first in every step, on the main thread.
#include <benchmark/benchmark.h>

#include "settled_state.h"
#include "solver/cell_grid.h"

namespace sph::bench {
namespace {

void BM_RebuildGrid(benchmark::State& state) {
  FluidSystem& system = restoreSettledState();
  for (auto _ : state) {
    rebuildGrid(system);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * system.particleCount);
}
BENCHMARK(BM_RebuildGrid)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace sph::bench
