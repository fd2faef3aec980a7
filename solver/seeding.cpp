#include "seeding.h"

#include "fluid_system.h"
#include "parameters.h"

namespace sph {

namespace {
float withOffset(float counter) { return float(double(counter) + double(SEED_OFFSET)); }

float counterAfter(int32_t steps) {
  float counter = 0.0f;
  for (int32_t k = 0; k < steps; ++k) counter = advanceSeedCounter(counter);
  return counter;
}
}  // namespace

bool blockFitsInBox(BlockLayers layers) {
  if (layers.x < 1 || layers.y < 1 || layers.z < 1) return false;
  // A step is about 1/160 of the box, so no axis holds more than 160
  // layers; refusing far larger counts at once keeps the stepping short.
  const int32_t MAX_LAYERS = 200;
  if (layers.x > MAX_LAYERS || layers.y > MAX_LAYERS || layers.z > MAX_LAYERS) return false;
  // The counters only grow, so the last layer on each axis is the farthest.
  const float last[3] = {withOffset(counterAfter(layers.x - 1)), counterAfter(layers.y - 1),
                         withOffset(counterAfter(layers.z - 1))};
  const float box[3] = {BOX_X, BOX_Y, BOX_Z};
  for (int axis = 0; axis < 3; ++axis)
    if (!(seedingToWorld(last[axis]) <= box[axis])) return false;
  return true;
}

void seedBlock(BlockLayers layers) {
  float xCounter = 0.0f;
  for (int32_t ix = 0; ix < layers.x; ++ix, xCounter = advanceSeedCounter(xCounter)) {
    const float x = withOffset(xCounter);
    float yCounter = 0.0f;
    for (int32_t iy = 0; iy < layers.y; ++iy, yCounter = advanceSeedCounter(yCounter)) {
      float zCounter = 0.0f;
      for (int32_t iz = 0; iz < layers.z; ++iz, zCounter = advanceSeedCounter(zCounter))
        addParticle(x, yCounter, withOffset(zCounter));
    }
  }
}

}  // namespace sph
