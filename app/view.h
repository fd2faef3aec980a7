// The window's picture: the shared scene, with GLUT drawing the box.
#pragma once

#include "scene.h"

namespace sph {

// Draws the box (GLUT's wire cube) and the particles turned by angleX and
// angleY. Expects the model-view matrix to be identity and leaves it so.
void renderScene();

}  // namespace sph
