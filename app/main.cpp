// The window program: opens the window, asks for the number of worker
// threads, seeds the block of liquid and hands control to GLUT for good.
#include <GL/glut.h>

#include <iostream>

#include "callbacks.h"
#include "console.h"
#include "solver/fluid_system.h"
#include "solver/memory.h"
#include "startup.h"
#include "view.h"

int main(int argc, char** argv) {
  sph::openWindow(&argc, argv);

  glutDisplayFunc(sph::onDisplay);
  glutKeyboardFunc(sph::onKeyboard);
  glutSpecialFunc(sph::onSpecialDown);
  glutSpecialUpFunc(sph::onSpecialUp);
  glutIdleFunc(sph::onIdle);
  glutTimerFunc(1000, sph::onTimer, 0);

  sph::setupView();

  try {
    sph::installFluidSystem(sph::createFluidSystem());
    // The window is not serviced until the main loop starts, however long
    // the answer takes.
    sph::fluidSystem->threadCount = sph::readThreadCount(std::cin, std::cout, std::cerr);
    sph::seedProgramBlock(std::cout);
  } catch (const sph::OutOfMemory& error) {
    sph::exitOutOfMemory(error);
  }

  glutMainLoop();
  return 0;
}
