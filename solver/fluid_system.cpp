#include "fluid_system.h"

#include <cstdlib>
#include <cstring>

#include "cell_grid.h"
#include "memory.h"
#include "parameters.h"

namespace sph {

FluidSystem* fluidSystem = nullptr;
int32_t nextParticleId = 0;

FluidSystem* createFluidSystem() {
  // Zeroed, so that a system left half made by a failed allocation is
  // released like a whole one.
  auto* system = static_cast<FluidSystem*>(allocateZeroedOrThrow(1, sizeof(FluidSystem), "the fluid system"));
  try {
    initCellGrid(*system);
    system->particles = static_cast<Particle*>(allocateZeroedOrThrow(INITIAL_CAPACITY, sizeof(Particle), "the particle array"));
  } catch (...) {
    destroyFluidSystem(system);
    throw;
  }
  system->particleCount = 0;
  system->capacity = INITIAL_CAPACITY;
  system->threadCount = 1;
  return system;
}

void destroyFluidSystem(FluidSystem* system) {
  if (system == nullptr) return;
  releaseCellGrid(*system);
  std::free(system->particles);
  std::free(system);
}

void installFluidSystem(FluidSystem* system) {
  fluidSystem = system;
  nextParticleId = 0;
}

float seedingToWorld(float coordinate) {
  return float((double(coordinate) * double(0.07f)) * double(WORLD_SCALE));
}

void addParticle(float x, float y, float z) {
  FluidSystem& system = *fluidSystem;
  // Grow while two free slots remain: double the array, zeroed, so every
  // field a new particle does not set starts at zero. A fresh zeroed block
  // rather than realloc and memset: the half no particle reaches is then
  // never touched, so it takes no memory.
  if (system.particleCount + 2 == system.capacity) {
    const int32_t oldCapacity = system.capacity;
    const int32_t newCapacity = oldCapacity * 2;
    auto* grown = static_cast<Particle*>(allocateZeroedOrThrow(std::size_t(newCapacity), sizeof(Particle), "the particle array"));
    std::memcpy(grown, system.particles, sizeof(Particle) * std::size_t(oldCapacity));
    std::free(system.particles);
    system.particles = grown;
    system.capacity = newCapacity;
  }
  Particle& p = system.particles[system.particleCount++];

  p.position[0] = seedingToWorld(x);
  p.position[1] = seedingToWorld(y);
  p.position[2] = seedingToWorld(z);
  p.id = nextParticleId++;
  for (int axis = 0; axis < 3; ++axis) p.prevPosition[axis] = p.position[axis];
  p.density = 0.35f;
  p.mass = float(double(PARTICLE_VOLUME) * double(0.35f));
  p.invMass = float(1.0 / double(p.mass));
}

}  // namespace sph
