// The page's entry. It starts as the window program does, but a page cannot
// block on a console: main asks the question and returns, and page.js hands
// each typed line to sphAnswer. Once a line is taken, the block is seeded
// and the frames run as the browser's main loop, one onIdle per turn.
#include <GL/glut.h>
#include <emscripten.h>

#include <sstream>

#include "app/callbacks.h"
#include "app/console.h"
#include "app/startup.h"
#include "app/view.h"
#include "solver/fluid_system.h"

namespace {
// The threads a pass can start: the workers loaded before main. A pass
// cannot wait for a worker to load (it blocks the thread that would load it).
int32_t threadLimit = 1;

#ifdef __EMSCRIPTEN_PTHREADS__
EM_JS(int, readyWorkers, (), { return PThread.unusedWorkers.length; });
#else
// The build for browsers without shared memory: every pass on the page's thread.
int readyWorkers() { return 1; }
#endif
// What page.js shows on its console: output, an error, or a prompt after
// which it offers a field for the answer.
enum ConsoleText { OUTPUT, ERROR, PROMPT };
EM_JS(void, showOnConsole, (const char* text, int kind), { Module.sphConsole(UTF8ToString(text), kind); });

// Frames drawn since the start, as Module.sphFramesDrawn: the screen shows a
// frame some time after it is drawn (longer on a busy machine), so whoever
// waits for the picture to settle (the page's tests) counts frames, not time.
EM_JS(void, countFrameDrawn, (), { Module.sphFramesDrawn = (Module.sphFramesDrawn || 0) + 1; });

void drawFrame() {
  sph::onIdle();
  countFrameDrawn();
}

void show(const std::ostringstream& text, ConsoleText kind) { showOnConsole(text.str().c_str(), kind); }

void prompt() {
  std::ostringstream prompts;
  sph::promptThreadCount(prompts);
  show(prompts, PROMPT);
}
}  // namespace

int main(int argc, char** argv) {
  sph::openWindow(&argc, argv);
  glutSetWindowTitle(sph::WINDOW_TITLE);
  sph::setupView();
  sph::installFluidSystem(sph::createFluidSystem());
  threadLimit = readyWorkers();
  prompt();
  return 0;  // the runtime stays for the answer and the frames
}

// One typed line. Returns the number of threads taken once the frames have
// started; 0 while the question stands (a blank line is no answer, as on a
// console).
extern "C" EMSCRIPTEN_KEEPALIVE int sphAnswer(const char* line) {
  std::istringstream in(line);
  std::ostringstream errors;
  int32_t count = 0;
  switch (sph::readThreadAnswer(in, threadLimit, errors, count)) {
    case sph::ThreadAnswer::Missing:
      return 0;
    case sph::ThreadAnswer::Refused:
      show(errors, ERROR);
      prompt();
      return 0;
    case sph::ThreadAnswer::Taken:
      break;
  }
  sph::fluidSystem->threadCount = count;
  std::ostringstream out;
  sph::seedProgramBlock(out);
  show(out, OUTPUT);

  glutDisplayFunc(sph::onDisplay);
  glutTimerFunc(1000, sph::onTimer, 0);
  // As fast as the machine allows, like the window's idle callback; the
  // browser still handles input and shows the canvas between frames.
  emscripten_set_main_loop(drawFrame, 0, 0);
  emscripten_set_main_loop_timing(EM_TIMING_SETIMMEDIATE, 0);
  return count;
}

// Keys from page.js: arrows (GLUT's codes) held and released, and the
// character keys, Escape among them.
extern "C" EMSCRIPTEN_KEEPALIVE void sphSpecialKey(int key, int down) {
  if (down) sph::onSpecialDown(key, 0, 0);
  else sph::onSpecialUp(key, 0, 0);
}

extern "C" EMSCRIPTEN_KEEPALIVE void sphKey(int key) { sph::onKeyboard(static_cast<unsigned char>(key), 0, 0); }
