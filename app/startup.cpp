#include "startup.h"

#include <GL/glut.h>

#include <ostream>

#include "solver/fluid_system.h"
#include "solver/seeding.h"

namespace sph {

void openWindow(int* argc, char** argv) {
  glutInit(argc, argv);
  // Single-buffered RGB with no depth buffer: frames end with glFlush.
  glutInitDisplayMode(GLUT_RGB | GLUT_SINGLE);
  // Set after glutInit, so they override GLUT's own -geometry option.
  glutInitWindowPosition(400, 100);
  glutInitWindowSize(800, 600);
  glutCreateWindow(WINDOW_TITLE);
}

void seedProgramBlock(std::ostream& out) {
  seedBlock(PROGRAM_BLOCK);
  out << "Number of particles: " << nextParticleId << '\n' << std::flush;
}

}  // namespace sph
