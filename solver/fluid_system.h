// The fluid solver: particle store, cell grid, the three passes and the
// integrator. No window-system or OpenGL header is reachable from here, so
// tests, benchmarks and headless tools link the solver without a display.
//
// Memory layout
//   All particle state lives in one contiguous array of fixed-layout
//   `Particle` records owned by the single `FluidSystem`. A particle's index
//   never changes (particles are only appended, during seeding) and its `id`
//   equals that index. The cell grid is a flat array of list heads, one per
//   cell; each cell's list is threaded through the particles' `next` fields,
//   so rebuilding it allocates nothing.
//
// Threading model
//   One step is: rebuildGrid (main thread) -> density rates -> particle
//   state -> forces (each pass on `threadCount` workers over contiguous,
//   disjoint index ranges, joined before the next pass) -> integrate (main
//   thread). There are no locks and no atomics. Within a pass a worker writes
//   only particles of its own range: a neighbour pair with both particles in
//   the range is evaluated once (by the higher id) and updates both; a pair
//   that straddles two ranges is evaluated by each worker for its own
//   particle. What a pass reads from other particles is never written during
//   that pass, and the joins are the only synchronisation. A worker's
//   scratch (its neighbour lists and pair batches) is filed under its
//   worker number in the neighbour index, so it too is written by that
//   worker alone.
//
// Numbers
//   Every stored value is a float. Inside one formula, sums and products are
//   carried in double and rounded to float exactly where the model says, in
//   the grouping it gives; neighbour contributions are summed in a fixed
//   order (27 cells in NEIGHBOUR_OFFSETS order, descending index within a
//   cell). Hence one thread count gives one bit-exact trajectory.
#pragma once

#include <cstdint>

namespace sph {

struct Particle {
  float position[3];
  float prevPosition[3];
  float velocity[3];
  float velocityCorrection[3];
  float acceleration[3];
  float density;
  float invDensity;
  float invDensitySq;
  float densityRate;
  float mass;
  float invMass;
  float pressure;
  float soundSpeed;
  Particle* next;  // next particle in the same grid cell, or null
  int32_t id;      // always equal to the particle's index
};

struct NeighbourIndex;

struct FluidSystem {
  int32_t threadCount;
  int32_t particleCount;
  int32_t capacity;
  Particle* particles;
  // Cell grid: nx * ny * nz cells of edge SMOOTHING_LENGTH.
  int32_t nx, ny, nz;
  int32_t nxy;
  Particle** cellHeads;
  // Derived from the grid each step to find neighbours faster
  // (neighbour_index.h); holds no state of the model.
  NeighbourIndex* neighbourIndex;
};

inline constexpr int32_t INITIAL_CAPACITY = 5000;

// The one system the passes and addParticle work on.
extern FluidSystem* fluidSystem;
// Ids issued so far; equals fluidSystem->particleCount.
extern int32_t nextParticleId;

// Creates a system with no particles, capacity INITIAL_CAPACITY (zeroed) and
// threadCount 1. Throws OutOfMemory (and leaves nothing) if memory is exhausted.
FluidSystem* createFluidSystem();
// Releases a system made by createFluidSystem (the program itself never
// does; tests and tools do).
void destroyFluidSystem(FluidSystem* system);

// Seeding units to world units: (coordinate * 0.07) * WORLD_SCALE in double,
// rounded once.
float seedingToWorld(float coordinate);

// Appends a particle at rest to `fluidSystem` at a seeding position
// (seeding units: 1 unit = 0.07 * WORLD_SCALE = 84 world units). The position
// must lie within the box; it is not checked.
void addParticle(float x, float y, float z);

// Makes `system` the global one with no ids issued yet: the state a fresh
// program has before seeding.
void installFluidSystem(FluidSystem* system);

}  // namespace sph
