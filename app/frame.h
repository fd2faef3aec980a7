// One frame of the simulation without the drawing: the solver step, gravity
// from the camera, and the camera turn from the held arrow keys. Both the
// window program and the headless tools run frames through this module, so
// it holds no OpenGL.
//
// Order inside a frame, written once, in runFrame, for every program:
//   1. stepSimulation()  - uses the gravity computed in the frame before
//   2. updateGravity()   - from the current angles
//   3. the picture       - drawn (the window) or kept (the recorder), or none
//   4. turnCamera()      - angles advance by 2 degrees per held arrow key
// So a frame's picture shows the angles its gravity was computed from. All
// of it runs on the main thread, never while a worker runs.
#pragma once

#include <cstdint>

#include "solver/fluid_system.h"

namespace sph {

// Camera turn in degrees; never wrapped.
extern float angleX;
extern float angleY;
// Arrow keys held (0 or 1).
extern uint8_t arrowLeft, arrowRight, arrowUp, arrowDown;

// rebuildGrid, the three passes on fluidSystem->threadCount workers, integrate.
void stepSimulation();
// Gravity of magnitude 0.042 toward the bottom of the window, in box
// coordinates, from angleX and angleY.
void updateGravity();
// angleX += 2 * (up - down), then angleY += 2 * (left - right).
void turnCamera();
// One frame; `picture()` runs where the picture of the frame is made.
template <class Picture>
void runFrame(Picture&& picture) {
  stepSimulation();
  updateGravity();
  picture();
  turnCamera();
}

// A frame with no picture.
inline void simulateFrame() {
  runFrame([] {});
}

// Angles and keys back to zero and gravity to its initial value: the state
// of a freshly started program.
void resetFrameState();

// Everything a run keeps in process-wide variables: the installed system,
// the ids issued, angles, keys and gravity. A program with several runs (the
// Python module) saves one run's set after its frames and installs the next
// run's before them, so each run goes on as if it were alone.
struct FrameState {
  FluidSystem* system;
  int32_t nextParticleId;
  float angleX, angleY;
  uint8_t arrowLeft, arrowRight, arrowUp, arrowDown;
  float gravity[3];
};
FrameState saveFrameState();
void installFrameState(const FrameState& state);

}  // namespace sph
