// The GLUT callbacks. All of them run on the main thread, one at a time, so
// the globals they share need no locking; worker threads exist only inside
// stepSimulation.
#pragma once

#include <cstdint>

namespace sph {

// Idle frames completed since the last onTimer.
extern int32_t frameCount;

// Redraws the current state without stepping or counting a frame.
void onDisplay();
// One frame: step, gravity, draw, count, turn the camera.
void onIdle();
// Once a second: "FPS: " and the frames of the last second in the title.
void onTimer(int value);

// Escape ends the program (endProgram); every other key does nothing.
void onKeyboard(unsigned char key, int x, int y);
// What Escape does. The window program exits with status 0; a page cannot
// end its process, so there the frames stop and the page says so.
void endProgram();
// Arrow keys set and clear the held flags that turn the camera.
void onSpecialDown(int key, int x, int y);
void onSpecialUp(int key, int x, int y);

}  // namespace sph
