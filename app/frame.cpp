#include "frame.h"

#include <cmath>

#include "parallel/run_parallel.h"
#include "solver/cell_grid.h"
#include "solver/parameters.h"
#include "solver/passes.h"

namespace sph {

float angleX = 0.0f;
float angleY = 0.0f;
uint8_t arrowLeft = 0, arrowRight = 0, arrowUp = 0, arrowDown = 0;

void stepSimulation() { stepSimulationUnlessStopped(nullptr, nullptr); }

bool stepSimulationUnlessStopped(StepStop stop, void* context) {
  FluidSystem& system = *fluidSystem;
  // The grid and the neighbour index are derived from the positions, and a
  // rebuild that runs out of memory does so before changing them.
  rebuildGrid(system);
  if (stop != nullptr && stop(context)) return false;
  // Pass 1 only adds to the density rates, which pass 2 leaves at zero.
  try {
    runParallel(system, densityRateWorker);
  } catch (...) {
    undoStartedStep(system);
    throw;
  }
  if (stop != nullptr && stop(context)) {
    undoStartedStep(system);
    return false;
  }
  // From here on nothing allocates: pass 3 replays pass 1's lists.
  runParallel(system, stateWorker);
  runParallel(system, forcesWorker);
  integrate(system);
  return true;
}

void undoStartedStep(FluidSystem& system) {
  for (int32_t k = 0; k < system.particleCount; ++k) system.particles[k].densityRate = 0.0f;
}

void updateGravity() {
  const double degreesToRadians = double(0.017453292f);
  const float a = float(double(angleX) * degreesToRadians);
  const float b = float(double(angleY) * degreesToRadians);
  const float sa = float(std::sin(double(a)));
  const float sb = float(std::sin(double(b)));
  const float ca = float(std::cos(double(a)));
  const float cb = float(std::cos(double(b)));
  // Screen-down (0, -1, 0) carried back through the inverse of the view's
  // rotation (about x by angleX, then about y by angleY), times 0.042.
  const double magnitude = 0.042;
  GRAVITY_X = float(double(float(-double(sb) * double(sa))) * magnitude);
  GRAVITY_Y = float(-double(ca) * magnitude);
  GRAVITY_Z = float(double(float(double(cb) * double(sa))) * magnitude);
}

void turnCamera() {
  angleX = float(double(angleX) + 2.0 * double(int(arrowUp) - int(arrowDown)));
  angleY = float(double(angleY) + 2.0 * double(int(arrowLeft) - int(arrowRight)));
}

void resetFrameState() {
  angleX = angleY = 0.0f;
  arrowLeft = arrowRight = arrowUp = arrowDown = 0;
  GRAVITY_X = INITIAL_GRAVITY_X;
  GRAVITY_Y = INITIAL_GRAVITY_Y;
  GRAVITY_Z = INITIAL_GRAVITY_Z;
}

FrameState saveFrameState() {
  return {fluidSystem, nextParticleId, angleX, angleY, arrowLeft, arrowRight, arrowUp, arrowDown,
          {GRAVITY_X, GRAVITY_Y, GRAVITY_Z}};
}

void installFrameState(const FrameState& state) {
  fluidSystem = state.system;
  nextParticleId = state.nextParticleId;
  angleX = state.angleX;
  angleY = state.angleY;
  arrowLeft = state.arrowLeft;
  arrowRight = state.arrowRight;
  arrowUp = state.arrowUp;
  arrowDown = state.arrowDown;
  GRAVITY_X = state.gravity[0];
  GRAVITY_Y = state.gravity[1];
  GRAVITY_Z = state.gravity[2];
}

}  // namespace sph
