// The start of the program that the window and the page share: the window
// opened, and the block seeded and reported. The order around them differs
// (the window asks for the thread count on the console with its callbacks
// already registered; the page asks on the page and starts its frames after
// the answer), so each entry calls these in its own order.
#pragma once

#include <iosfwd>

namespace sph {

inline constexpr char WINDOW_TITLE[] = "Smoothed particle hydrodynamics";

// glutInit with the program's arguments, then an 800 x 600 single-buffered
// RGB window at (400, 100), titled WINDOW_TITLE, with its context current.
void openWindow(int* argc, char** argv);

// Seeds the program's block of 16000 particles into fluidSystem and writes
// "Number of particles: 16000" and a line end to `out`.
void seedProgramBlock(std::ostream& out);

}  // namespace sph
