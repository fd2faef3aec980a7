// One frame of the simulation without the drawing: the solver step, gravity
// from the camera, and the camera turn from the held arrow keys. Both the
// window program and the headless tools run frames through this module, so
// it holds no OpenGL.
//
// Order inside a frame, written once, in runFrameUnlessStopped, for every
// program:
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
// Out of memory (OutOfMemory, thrown by the grid's rebuild or pass 1, the
// only parts that allocate) leaves the particles as they were.
void stepSimulation();

// A step that a caller may stop while it can still be undone, for a caller
// that must answer something (Ctrl-C) within a fraction of a step.
// stop(context) is asked after the grid's rebuild and after pass 1: until
// then the step has changed nothing a later step reads but the density
// rates, which undoStartedStep clears again. True stops the step there,
// undone, and the call returns false; from pass 2 on the step always
// completes.
using StepStop = bool (*)(void* context);
bool stepSimulationUnlessStopped(StepStop stop, void* context);
// Undoes a step stopped after its rebuild or pass 1 (or left there by a
// process that forked): the density rates back to zero, as a step starts.
void undoStartedStep(FluidSystem& system);

// Gravity of magnitude 0.042 toward the bottom of the window, in box
// coordinates, from angleX and angleY.
void updateGravity();
// angleX += 2 * (up - down), then angleY += 2 * (left - right).
void turnCamera();
// One frame; `picture()` runs where the picture of the frame is made. Its
// step may be stopped (see stepSimulationUnlessStopped): false, and nothing
// of the frame done, when it is.
template <class Picture>
bool runFrameUnlessStopped(StepStop stop, void* context, Picture&& picture) {
  if (!stepSimulationUnlessStopped(stop, context)) return false;
  updateGravity();
  picture();
  turnCamera();
  return true;
}
template <class Picture>
void runFrame(Picture&& picture) {
  runFrameUnlessStopped(nullptr, nullptr, picture);
}

// A frame with no picture.
inline void simulateFrame() {
  runFrame([] {});
}
inline bool simulateFrameUnlessStopped(StepStop stop, void* context) {
  return runFrameUnlessStopped(stop, context, [] {});
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
