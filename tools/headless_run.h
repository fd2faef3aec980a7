// What the headless tools share around their frame loop: the run set up as
// the window program sets it up, and the summary line at the end.
#pragma once

#include <string>

#include "run_options.h"
#include "solver/fluid_system.h"

namespace sph {

// A fresh global system with the options' thread count and block seeded;
// angles, keys and gravity as in a freshly started program.
FluidSystem* startRun(const RunOptions& options);
void finishRun(FluidSystem* system);

// One line on standard output:
//   frames: N threads: T particles: P seconds: S frames/s: F<extra>
void printSummary(const RunOptions& options, double seconds, const std::string& extra);

}  // namespace sph
