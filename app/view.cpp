#include "view.h"

#include <GL/glut.h>

namespace sph {

namespace {
void drawWireCube() { glutWireCube(4.0); }
}  // namespace

void renderScene() { drawScene(currentScene(), drawWireCube); }

}  // namespace sph
