// The camera and the picture: a white wire cube for the box and one point
// per particle, coloured by speed.
#pragma once

namespace sph {

// Projection and depth state, once, with the window's context current. The
// camera offset goes into the projection matrix, so drawing may reset the
// model-view matrix to identity at will.
void setupView();

// Draws the box and the particles turned by angleX and angleY. Expects the
// model-view matrix to be identity and leaves it so.
void renderScene();

}  // namespace sph
