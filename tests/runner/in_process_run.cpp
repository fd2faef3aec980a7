#include "in_process_run.h"

#include "app/frame.h"
#include "solver/state_csv.h"

namespace sph::runner_test {

InProcessRun runInProcess(int32_t frames, int32_t threads, int32_t holdUp, BlockLayers layers) {
  FluidSystem* previous = fluidSystem;
  FluidSystem* system = createFluidSystem();
  installFluidSystem(system);
  destroyFluidSystem(previous);
  resetFrameState();
  system->threadCount = threads;
  seedBlock(layers);
  for (int32_t frame = 0; frame < frames; ++frame) {
    arrowUp = frame < holdUp ? 1 : 0;
    simulateFrame();
  }
  InProcessRun run;
  run.csv = formatStateCsv(*system);
  run.particles.assign(system->particles, system->particles + system->particleCount);
  installFluidSystem(nullptr);
  destroyFluidSystem(system);
  resetFrameState();
  return run;
}

}  // namespace sph::runner_test
