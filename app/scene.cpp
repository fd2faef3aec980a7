#include "scene.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <initializer_list>

#include "frame.h"
#include "solver/fluid_system.h"
#include "solver/parameters.h"

namespace sph {

namespace {
// Turns the current frame about the centre (2, 2, 2) of the drawn box.
void turnAboutBoxCentre(const SceneState& scene) {
  glTranslatef(2.0f, 2.0f, 2.0f);
  glRotatef(scene.angleX, 1.0f, 0.0f, 0.0f);
  glRotatef(scene.angleY, 0.0f, 1.0f, 0.0f);
}

// World units to drawing units, in which the box spans 0 to 4. The factor is
// the float 0.0008333333 (not 1/1200) applied in double, rounded once.
float toDrawing(float worldCoordinate) {
  return float((double(worldCoordinate) * double(RENDER_SCALE_INV)) * double(0.0008333333f));
}

}  // namespace

float pointBlue(const float velocity[3]) {
  const double vx = velocity[0], vy = velocity[1], vz = velocity[2];
  return float(0.5 + (vx * vx + vy * vy + vz * vz) * 0.125 * 0.5);
}

SceneState currentScene() { return {fluidSystem->particles, fluidSystem->particleCount, angleX, angleY}; }

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

void drawBoxEdges() {
  static const float corners[8][3] = {{-2, -2, -2}, {2, -2, -2}, {2, 2, -2}, {-2, 2, -2},
                                      {-2, -2, 2},  {2, -2, 2},  {2, 2, 2},  {-2, 2, 2}};
  static const int faces[6][4] = {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 5, 4}, {3, 2, 6, 7}, {0, 3, 7, 4}, {1, 2, 6, 5}};
  for (const auto& face : faces) {
    for (const int step : {1, 3}) {  // forward, then backward from the same corner
      glBegin(GL_LINE_LOOP);
      for (int k = 0; k < 4; ++k) glVertex3fv(corners[face[k * step % 4]]);
      glEnd();
    }
  }
}

void drawScene(const SceneState& scene, void (*drawBox)()) {
  glPointSize(3.0f);
  glColor3f(1.0f, 1.0f, 1.0f);
  turnAboutBoxCentre(scene);
  drawBox();
  glLoadIdentity();

  // Particles are in a frame whose origin is the box corner, so the points
  // turn together with the cube.
  turnAboutBoxCentre(scene);
  glTranslatef(-2.0f, -2.0f, -2.0f);
  glBegin(GL_POINTS);
  for (int32_t i = 0; i < scene.particleCount; ++i) {
    const Particle& p = scene.particles[i];
    glColor3f(0.0f, 0.0f, pointBlue(p.velocity));
    glVertex3f(toDrawing(p.position[0]), toDrawing(p.position[1]), toDrawing(p.position[2]));
  }
  glEnd();
  glLoadIdentity();
}

}  // namespace sph
