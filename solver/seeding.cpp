#include "seeding.h"

#include "fluid_system.h"

namespace sph {

namespace {
float withOffset(float counter) { return float(double(counter) + double(SEED_OFFSET)); }
}  // namespace

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
