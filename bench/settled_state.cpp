#include "settled_state.h"

#include <cstring>
#include <vector>

#include "app/frame.h"
#include "solver/cell_grid.h"
#include "solver/parameters.h"
#include "solver/seeding.h"

namespace sph::bench {

namespace {

struct Saved {
  std::vector<Particle> particles;
  float gravity[3];
};

// Seeds and runs the settling frames on the global system, which stays
// installed for the benchmarks; 2 workers just to get there sooner.
Saved settle() {
  installFluidSystem(createFluidSystem());
  resetFrameState();
  seedBlock(PROGRAM_BLOCK);
  fluidSystem->threadCount = 2;
  for (int32_t frame = 0; frame < SETTLING_FRAMES; ++frame) simulateFrame();
  Saved saved;
  saved.particles.assign(fluidSystem->particles, fluidSystem->particles + fluidSystem->particleCount);
  saved.gravity[0] = GRAVITY_X;
  saved.gravity[1] = GRAVITY_Y;
  saved.gravity[2] = GRAVITY_Z;
  return saved;
}

const Saved& saved() {
  static const Saved state = settle();
  return state;
}

}  // namespace

FluidSystem& restoreSettledState(int32_t threads) {
  const Saved& state = saved();
  FluidSystem& system = *fluidSystem;
  // The saved `next` links point into the array as it was; rebuildGrid
  // below rewrites every one of them.
  std::memcpy(system.particles, state.particles.data(), state.particles.size() * sizeof(Particle));
  GRAVITY_X = state.gravity[0];
  GRAVITY_Y = state.gravity[1];
  GRAVITY_Z = state.gravity[2];
  system.threadCount = threads;
  rebuildGrid(system);
  return system;
}

void restoreSettledMotion() {
  const Saved& state = saved();
  Particle* particles = fluidSystem->particles;
  for (std::size_t k = 0; k < state.particles.size(); ++k) {
    std::memcpy(particles[k].position, state.particles[k].position, sizeof particles[k].position);
    std::memcpy(particles[k].prevPosition, state.particles[k].prevPosition, sizeof particles[k].prevPosition);
    std::memcpy(particles[k].velocity, state.particles[k].velocity, sizeof particles[k].velocity);
  }
}

}  // namespace sph::bench
