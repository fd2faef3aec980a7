#include "view.h"

#include <GL/glut.h>

#include "frame.h"
#include "solver/fluid_system.h"
#include "solver/parameters.h"

namespace sph {

namespace {
// Turns the current frame about the centre (2, 2, 2) of the drawn box.
void turnAboutBoxCentre() {
  glTranslatef(2.0f, 2.0f, 2.0f);
  glRotatef(angleX, 1.0f, 0.0f, 0.0f);
  glRotatef(angleY, 0.0f, 1.0f, 0.0f);
}

// World units to drawing units, in which the box spans 0 to 4. The factor is
// the float 0.0008333333 (not 1/1200) applied in double, rounded once.
float toDrawing(float worldCoordinate) {
  return float((double(worldCoordinate) * double(RENDER_SCALE_INV)) * double(0.0008333333f));
}

// 0.5 for a particle at rest up to about 1.0 at the integrator's speed
// limit (|v|^2 <= 8); not clamped.
float blueForVelocity(const float velocity[3]) {
  const double vx = velocity[0], vy = velocity[1], vz = velocity[2];
  return float(0.5 + (vx * vx + vy * vy + vz * vz) * 0.125 * 0.5);
}
}  // namespace

void setupView() {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(60.0, double(4.0f / 3.0f), 1.0, 50.0);
  // Puts the box centre on the view axis, 6 units in front of the eye.
  glTranslatef(-2.0f, -2.0f, -8.0f);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  // The window asks for no depth buffer, so this only matters where the
  // visual has one anyway.
  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_TRUE);
  glDepthFunc(GL_LEQUAL);
}

void renderScene() {
  glPointSize(3.0f);
  glColor3f(1.0f, 1.0f, 1.0f);
  turnAboutBoxCentre();
  glutWireCube(4.0);
  glLoadIdentity();

  // Particles are in a frame whose origin is the box corner, so the points
  // turn together with the cube.
  turnAboutBoxCentre();
  glTranslatef(-2.0f, -2.0f, -2.0f);
  const FluidSystem& system = *fluidSystem;
  glBegin(GL_POINTS);
  for (int32_t i = 0; i < system.particleCount; ++i) {
    const Particle& p = system.particles[i];
    glColor3f(0.0f, 0.0f, blueForVelocity(p.velocity));
    glVertex3f(toDrawing(p.position[0]), toDrawing(p.position[1]), toDrawing(p.position[2]));
  }
  glEnd();
  glLoadIdentity();
}

}  // namespace sph
