// The picture, for the window and the recorder alike: the camera, a white
// wire cube for the box and one point per particle, coloured by speed. Only
// OpenGL and GLU, no window system: the caller makes a context current.
#pragma once

#include <cstdint>

#include "solver/fluid_system.h"

namespace sph {

// What a picture shows: the particles and the camera turn, in degrees.
struct SceneState {
  const Particle* particles;
  int32_t particleCount;
  float angleX, angleY;
};

// The running program's: fluidSystem and the camera angles.
SceneState currentScene();

// Projection and depth state, once, with the context current. The camera
// offset goes into the projection matrix, so drawing may reset the
// model-view matrix to identity at will.
void setupView();

// Draws the box with `drawBox` (a wire cube of edge 4 about the current
// origin) and the particles, turned by the scene's angles. Expects the
// model-view matrix to be identity and leaves it so.
void drawScene(const SceneState& scene, void (*drawBox)());

// The box as GLUT's wire cube draws it, pixel for pixel, without GLUT (which
// draws only into its own windows): each face a closed loop, traced both
// ways round.
void drawBoxEdges();

// Blue of a particle's point: 0.5 at rest up to about 1.0 at the
// integrator's speed limit (|v|^2 <= 8); not clamped.
float pointBlue(const float velocity[3]);

}  // namespace sph
