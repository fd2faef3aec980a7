#include <GL/glut.h>

#include <cstdint>
#include <cstdlib>

#include "callbacks.h"
#include "frame.h"

namespace sph {

namespace {
constexpr unsigned char ESCAPE = 27;

// The held flag of an arrow key, or null for any other special key.
uint8_t* arrowFlag(int key) {
  switch (key) {
    case GLUT_KEY_LEFT: return &arrowLeft;
    case GLUT_KEY_UP: return &arrowUp;
    case GLUT_KEY_RIGHT: return &arrowRight;
    case GLUT_KEY_DOWN: return &arrowDown;
    default: return nullptr;
  }
}
}  // namespace

void onKeyboard(unsigned char key, int /*x*/, int /*y*/) {
  if (key == ESCAPE) endProgram();
}

#if !defined(__EMSCRIPTEN__)  // the page's is in web/
void endProgram() {
  // exit, not a return from main: glutMainLoop never returns. Exit handlers
  // run and the console streams are flushed.
  std::exit(0);
}
#endif

void onSpecialDown(int key, int /*x*/, int /*y*/) {
  if (uint8_t* flag = arrowFlag(key)) *flag = 1;
}

void onSpecialUp(int key, int /*x*/, int /*y*/) {
  if (uint8_t* flag = arrowFlag(key)) *flag = 0;
}

}  // namespace sph
