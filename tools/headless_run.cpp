#include "headless_run.h"

#include <cstdio>

#include "app/frame.h"

namespace sph {

FluidSystem* startRun(const RunOptions& options) {
  FluidSystem* system = createFluidSystem();
  installFluidSystem(system);
  resetFrameState();
  system->threadCount = options.threads;
  seedBlock(options.layers);
  return system;
}

void finishRun(FluidSystem* system) {
  installFluidSystem(nullptr);
  destroyFluidSystem(system);
}

void printSummary(const RunOptions& options, double seconds, const std::string& extra) {
  std::printf("frames: %d threads: %d particles: %d seconds: %.3f frames/s: %.2f%s\n", int(options.frames),
              int(options.threads), int(fluidSystem->particleCount), seconds,
              seconds > 0.0 ? options.frames / seconds : 0.0, extra.c_str());
}

}  // namespace sph
