// What the headless tools share around their frame loop: the run set up as
// the window program sets it up, the summary line at the end, and how a
// program's failures end it.
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

// Runs a tool's main, `run`. Standard output carries the run's result, so a
// write to it that fails (a full disk, say) fails the run: a message on
// standard error and exit status 1, checked when the program exits. So does
// running out of memory, which ends the run by an exception; owners on the
// way out stop threads and the encoder and remove unfinished files. A
// standard descriptor the caller closed (`>&-`) is kept taken, so that no
// file the tool opens lands on it.
int runTool(const char* program, int (*run)(int argc, char** argv), int argc, char** argv);

}  // namespace sph
