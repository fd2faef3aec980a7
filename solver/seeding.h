// The initial block of liquid: a regular lattice in the corner of the box at
// the origin, x slowest and z fastest.
#pragma once

#include <cstdint>

namespace sph {

// Lattice step in seeding units: thirty times the float 0.0008333333, taken
// in double (slightly below 0.025).
inline constexpr double SEED_STEP = 30.0 * double(0.0008333333f);
// Offset of the first x and z layer from the wall (half a step).
inline constexpr float SEED_OFFSET = 0.0125f;

struct BlockLayers {
  int32_t x, y, z;
};
// The program's block. The lattice counters run while below 0.5 (x, y) and
// 0.975 (z); with the float-accumulated step that is 20, 20 and 40 layers.
inline constexpr BlockLayers PROGRAM_BLOCK = {20, 20, 40};

// Advances a lattice counter by one step; the counter is stored as a float
// after every step, so the layers carry the accumulated rounding.
inline float advanceSeedCounter(float counter) { return float(double(counter) + SEED_STEP); }

// The most layers that fit in the box along any axis: the 161st would lie
// beyond the far wall (the step is about 1/160 of the box). Blocks of 1 to
// this many layers along each axis are the ones that fit.
inline constexpr int32_t MAX_BLOCK_LAYERS = 160;

// Adds layers.x * layers.y * layers.z particles to `fluidSystem` through
// addParticle, x slowest and z fastest: index i lies in x layer
// i / (y * z), y layer (i / z) % y and z layer i % z.
void seedBlock(BlockLayers layers);

}  // namespace sph
