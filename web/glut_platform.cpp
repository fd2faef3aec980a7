// What the window program needs of GLUT and of its platform that the
// browser's GLUT does not have: a window title, the wire cube, and an end
// that is not the end of a process.
#include <GL/glut.h>
#include <emscripten.h>

#include "app/callbacks.h"
#include "app/scene.h"

namespace {
bool ended = false;

EM_JS(void, setDocumentTitle, (const char* title), { document.title = UTF8ToString(title); });
EM_JS(void, showEnded, (), { Module.sphEnded(); });
}  // namespace

extern "C" void glutSetWindowTitle(const char* title) {
  // GLUT's timer cannot be cancelled, so onTimer goes on after the end:
  // the title keeps the last reading instead of turning to "FPS: 0".
  if (!ended) setDocumentTitle(title);
}

extern "C" void glutWireCube(GLdouble size) {
  // The program's only cube has edge 4, which is the box that
  // drawBoxEdges traces, line for line as GLUT's wire cube.
  glPushMatrix();
  glScaled(size / 4.0, size / 4.0, size / 4.0);
  sph::drawBoxEdges();
  glPopMatrix();
}

void sph::endProgram() {
  emscripten_cancel_main_loop();
  ended = true;
  showEnded();
}
