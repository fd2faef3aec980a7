#include "callbacks.h"

#include <GL/glut.h>

#include <cstdio>

#include "frame.h"
#include "solver/memory.h"
#include "view.h"

namespace sph {

int32_t frameCount = 0;

void onDisplay() {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  renderScene();
  glFlush();
}

void onIdle() {
  // No exception may pass through GLUT's C main loop.
  try {
    runFrame([] {
      // Single-buffered window: the frame is finished by a flush, not a swap.
      glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
      renderScene();
      glFlush();
      frameCount += 1;
    });
  } catch (const OutOfMemory& error) {
    exitOutOfMemory(error);
  }
}

void onTimer(int /*value*/) {
  char title[64];
  std::snprintf(title, sizeof title, "FPS: %d", int(frameCount));
  glutSetWindowTitle(title);
  // Re-armed before the reset, so the periods follow each other without gap.
  glutTimerFunc(1000, onTimer, 0);
  frameCount = 0;
}

}  // namespace sph
