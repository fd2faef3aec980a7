// One run of the Python module. The frame works on process-wide variables
// (the installed system, ids, angles, keys, gravity); each Simulation keeps
// its own set and installs it only while one of its frames runs, under one
// process-wide lock, so any number of simulations in any number of threads
// each go on exactly as if alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/frame.h"
#include "run_options.h"

namespace sph {

struct Simulation {
  FrameState state{};  // state.system is owned by the simulation
  int64_t frame = 0;   // frames run since seeding
  int32_t threads = 1;
  BlockLayers layers = PROGRAM_BLOCK;
  bool stepping = false;  // a step is under way (kept by the module)

  // A seeded block, as the headless tools start a run. The arguments must
  // be within the tools' limits.
  Simulation(int32_t threads, BlockLayers layers);
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  const FluidSystem& system() const { return *state.system; }
};

// One frame with the arrows of `holds` held (holds that cover frame 0, as
// arrowHold makes them).
void runSimulationFrame(Simulation& simulation, const std::vector<KeyHold>& holds);

// The held arrow named `key` ("up", "down", "left" or "right") for every
// frame of a step; false for any other name.
bool arrowHold(const std::string& key, KeyHold& hold);

// The frame count and the variables as they are between two frames of the
// simulation (waiting for one that runs in another thread).
struct SimulationClock {
  int64_t frame;
  FrameState state;
};
SimulationClock simulationClock(const Simulation& simulation);

// The state as sph-bench --dump writes it, and the SHA-256 of that text in
// hex. Each waits for a frame of the simulation running in another thread.
std::string simulationStateCsv(const Simulation& simulation);
std::string sha256Hex(const std::string& text);

}  // namespace sph
