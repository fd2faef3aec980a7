#include <cmath>

#include "parameters.h"
#include "passes.h"

namespace sph {

void integrate(FluidSystem& system) {
  const float box[3] = {BOX_X, BOX_Y, BOX_Z};
  const double keep = 1.0 - double(DAMPING);
  for (int32_t index = 0; index < system.particleCount; ++index) {
    Particle& p = system.particles[index];
    const float old[3] = {p.position[0], p.position[1], p.position[2]};
    for (int axis = 0; axis < 3; ++axis) {
      float next = float(double(old[axis]) + (((double(old[axis]) - double(p.prevPosition[axis])) * keep +
                                               double(p.velocityCorrection[axis]) * double(TIME_STEP)) +
                                              double(p.acceleration[axis]) * double(TIME_STEP_SQ)));
      // Strict tests: a coordinate that is not a number passes neither.
      if (next > box[axis])
        next = box[axis];
      else if (next < 0.0f)
        next = 0.0f;
      p.position[axis] = next;
    }
    for (int axis = 0; axis < 3; ++axis) {
      p.prevPosition[axis] = old[axis];
      p.velocity[axis] = float((double(p.position[axis]) - double(old[axis])) * double(INV_TIME_STEP));
    }
    const float v2 = float((double(p.velocity[0]) * double(p.velocity[0]) + double(p.velocity[1]) * double(p.velocity[1])) +
                           double(p.velocity[2]) * double(p.velocity[2]));
    if (v2 > SPEED_LIMIT_SQ) {
      const float scale = std::sqrt(float(double(SPEED_LIMIT_SQ) / double(v2)));
      for (int axis = 0; axis < 3; ++axis) {
        p.velocity[axis] = p.velocity[axis] * scale;
        // Between the old and the clamped position, so still inside the box.
        p.position[axis] = float(double(old[axis]) + double(p.velocity[axis]) * double(TIME_STEP));
      }
    }
  }
}

}  // namespace sph
