// One run of the Python module. The frame works on process-wide variables
// (the installed system, ids, angles, keys, gravity); each Simulation keeps
// its own set and installs it only while one of its frames runs, under one
// process-wide lock taken in turn, so any number of simulations in any
// number of threads each go on exactly as if alone.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/frame.h"
#include "run_options.h"

namespace sph {

// The frame count and the variables as they are between two frames.
struct SimulationClock {
  int64_t frame;
  FrameState state;
};

struct Simulation {
  FrameState state{};  // state.system is owned by the simulation
  int64_t frame = 0;   // frames run since seeding
  int32_t threads = 1;
  BlockLayers layers = PROGRAM_BLOCK;
  // A step under way, kept by the module (under the interpreter's lock),
  // and the process it was begun in (see beginStep).
  bool stepping = false;
  uint32_t steppingProcess = 0;
  // The clock as of the last whole frame, for readers that must not wait
  // for a frame: its lock is held only to copy it.
  mutable std::mutex clockLock;
  SimulationClock clock{};

  // A seeded block, as the headless tools start a run. The arguments must
  // be within the tools' limits. Out of memory throws OutOfMemory and
  // leaves nothing.
  Simulation(int32_t threads, BlockLayers layers);
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  const FluidSystem& system() const { return *state.system; }
};

// Marks a step of `simulation` as begun; false if one is under way. A step
// begun before this process was forked from its parent has no thread here:
// it is forgotten, and a frame it left half done is undone.
bool beginStep(Simulation& simulation);
void endStep(Simulation& simulation);

// What a step asks between the parts of a frame. `due` is asked with the
// process-wide lock held and must answer at once; only when it says yes is
// `stop` asked, with the lock released (it may wait for the interpreter).
struct FrameInterruption {
  virtual bool due() = 0;
  virtual bool stop() = 0;
};

// One frame with the arrows of `holds` held (holds that cover frame 0, as
// arrowHold makes them). False when `interruption` stopped it: the frame is
// then undone, the simulation as before the call. Out of memory throws
// OutOfMemory, with the same guarantee.
bool runSimulationFrame(Simulation& simulation, const std::vector<KeyHold>& holds,
                        FrameInterruption& interruption);

// The held arrow named `key` ("up", "down", "left" or "right") for every
// frame of a step; false for any other name.
bool arrowHold(const std::string& key, KeyHold& hold);

// The clock as of the last whole frame; never waits for a frame.
SimulationClock simulationClock(const Simulation& simulation);

// The state as sph-bench --dump writes it, and the SHA-256 of that text in
// hex. Each waits for a frame of the simulation running in another thread.
std::string simulationStateCsv(const Simulation& simulation);
std::string sha256Hex(const std::string& text);

// Makes fork() safe while other threads step: the fork waits until no frame
// holds the process-wide lock, and the child, where those threads do not
// exist, starts with the lock free. Called once, when the module loads.
void guardForks();

}  // namespace sph
